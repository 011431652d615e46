#pragma once

#include <curl/curl.h>

#include <QByteArray>
#include <QList>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QPointer>

class CCurlMulti;

/// One HTTPS GET (or HEAD) through libcurl, over HTTP/2 where the server offers it
/// and HTTP/1.1 otherwise, as a QNetworkReply that behaves as Qt's own does for what
/// the updater uses: status and reason attributes, raw headers, Http2WasUsed, an
/// error for 4xx and 5xx answers and for broken transfers, the read buffer size,
/// metaDataChanged, readyRead, downloadProgress and finished.
///
/// Answers are bounded before anything of them is trusted: a header section beyond
/// 64 KiB (HTTP/2 header blocks included, which Qt 5.15's client collects without
/// end) ends the reply with ProtocolFailure, as our plain-HTTP client does. The body
/// waits in curl while the reader's buffer is full.
///
/// The roots trusted are the system's as Qt finds them, with the request's own CA
/// certificates added; the proxy is the one given, "none" included.
class CCurlReply : public QNetworkReply
{
    Q_OBJECT
public:
    CCurlReply(const QNetworkRequest &request, const QByteArray &verb, const QNetworkProxy &proxy,
               CCurlMulti *multi, QObject *parent);
    ~CCurlReply() override;

    void abort() override;
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override;
    void setReadBufferSize(qint64 size) override;

    /// From CCurlMulti: curl has ended the transfer with result.
    void transferDone(CURLcode result);
    /// From CCurlMulti, outside curl's calls: emits what happened since the last time.
    void publish();

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    static size_t onHeader(char *data, size_t size, size_t count, void *self);
    static size_t onBody(char *data, size_t size, size_t count, void *self);
    bool setUp(const QNetworkRequest &request, const QByteArray &verb, const QNetworkProxy &proxy);
    /// False when the line ends the transfer.
    bool takeHeaderLine(const QByteArray &line);
    /// The header section just read becomes the reply's.
    void takeHeaders();
    void resumeIfRoom();
    void finishTransfer();
    void finishWithError(NetworkError code, const QString &message);

    QPointer<CCurlMulti> m_multi;
    CURL *m_easy = nullptr;
    curl_slist *m_headerList = nullptr;
    QByteArray m_roots;            ///< PEM, handed to curl without a copy
    char m_errorBuffer[CURL_ERROR_SIZE] = {};
    bool m_viaProxy = false;

    int m_sectionBytes = 0;        ///< of the header section being read
    qint64 m_allHeaderBytes = 0;
    bool m_headersTooLarge = false;
    int m_sectionStatus = 0;
    QByteArray m_sectionReason;
    QList<QPair<QByteArray, QByteArray>> m_sectionHeaders;
    bool m_headersTaken = false;
    bool m_metaDataPending = false;

    QList<QByteArray> m_chunks;    ///< body received, not yet read
    qint64 m_buffered = 0;
    qint64 m_received = 0;
    qint64 m_bodyTotal = -1;
    bool m_paused = false;
    bool m_resumeQueued = false;
    bool m_bodyPending = false;    ///< readyRead owed

    bool m_done = false;
    CURLcode m_result = CURLE_OK;
    bool m_finished = false;
};
