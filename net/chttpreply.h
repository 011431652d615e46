#pragma once

#include <QByteArray>
#include <QList>
#include <QNetworkReply>
#include <QPair>
#include <QPointer>
#include <QString>

class CHttpAccessManager;
class QTcpSocket;

/// One HTTP/1.1 GET over a buffered TCP connection of CHttpAccessManager's pool:
/// the status line and headers are taken line by line from the socket's buffer, and
/// the body (by Content-Length, chunked or until the connection closes) is read
/// straight from that buffer into the caller's. Behaves as Qt's own reply does for
/// what the download worker uses: status and reason attributes, raw headers, an
/// error for 4xx and 5xx answers and for broken transfers, the read buffer size,
/// readyRead, downloadProgress and finished.
///
/// Answers are bounded: a header section beyond 64 KiB, a malformed status line,
/// header, chunk or Content-Length, and transfer codings other than "chunked" end
/// the reply with ProtocolFailure.
class CHttpReply : public QNetworkReply
{
    Q_OBJECT
public:
    CHttpReply(const QNetworkRequest &request, CHttpAccessManager *pool);
    ~CHttpReply() override;

    void abort() override;
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override;
    /// Also bounds what the socket buffers; 0 means without bound, as for Qt's own.
    void setReadBufferSize(qint64 size) override;

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    enum class Phase {
        Connecting,
        StatusLine,
        Headers,
        Body,      ///< by Content-Length or until the connection closes
        ChunkSize,
        ChunkData,
        ChunkEnd,  ///< the line break after a chunk's data
        Trailers,
        Done
    };

    void connectSocket(bool allowReuse);
    void sendRequest();
    void onSocketReadyRead();
    void onSocketError();
    /// Emits readyRead while body bytes wait and the caller takes them. False when the
    /// reply has finished (or is gone) meanwhile.
    bool offerBody();
    /// Takes header and chunk lines while the socket holds them. False when the
    /// reply has failed.
    bool advance();
    bool takeStatusLine(const QByteArray &line);
    bool takeHeaderLine(const QByteArray &line);
    bool takeHeaders();
    bool takeChunkSize(const QByteArray &line);
    /// Body bytes the socket holds that may be read now.
    qint64 bodyBytesReady() const;
    /// Ends the reply once its body has been read to the end.
    void finishIfDone();
    void finishWithError(NetworkError code, const QString &message);
    void finish();
    /// Stops listening to the socket and gives it back to the pool or closes it.
    void releaseSocket(bool keep);

    QPointer<CHttpAccessManager> m_pool;
    QString m_poolKey;
    QByteArray m_requestBytes;
    QTcpSocket *m_socket = nullptr;
    bool m_reusedSocket = false;
    bool m_retried = false;       ///< sent again once on a fresh connection
    bool m_anyAnswerBytes = false;

    Phase m_phase = Phase::Connecting;
    bool m_closeDelimited = false;
    bool m_keepAlive = false;
    int m_headerBytes = 0;        ///< of the status line, headers and trailers
    QList<QPair<QByteArray, QByteArray>> m_headers;
    qint64 m_remaining = 0;       ///< of the body or of the current chunk
    qint64 m_bodyRead = 0;        ///< body bytes handed to the caller
    qint64 m_bodyTotal = -1;      ///< the Content-Length, when there is one
    bool m_finished = false;
    bool m_finishQueued = false;
    bool m_reading = false;
    bool m_metaDataPending = false; ///< headers taken, metaDataChanged() not yet emitted
    int m_status = 0;             ///< of the status line being read
    QByteArray m_reason;       ///< inside readData(): signals wait for the event loop
};
