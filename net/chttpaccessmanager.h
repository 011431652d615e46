#pragma once

#include <QMultiHash>
#include <QNetworkAccessManager>
#include <QString>

class CCurlMulti;
class QTcpSocket;

/// A QNetworkAccessManager whose plain-HTTP GET requests are answered by CHttpReply,
/// over connections it keeps open between requests, and whose HTTPS GET and HEAD
/// requests go through libcurl (CCurlReply); everything else (other methods, plain
/// HTTP through a proxy or with credentials in the address) goes to Qt's own
/// implementation.
///
/// Qt 5 reads the status line and headers of a plain-HTTP answer one byte per
/// system call, on a thread of its own that then hands the body over: for the
/// thousands of small files of a large release that costs more than the transfer.
/// CHttpReply reads through a buffered socket on the caller's thread instead.
///
/// Qt 5's HTTP/2 client collects a header block without any bound: a server that
/// never ends one fills memory before anything it sent can be checked. libcurl with
/// nghttp2 bounds header blocks, and CCurlReply bounds them as CHttpReply does.
class CHttpAccessManager : public QNetworkAccessManager
{
    Q_OBJECT
public:
    explicit CHttpAccessManager(QObject *parent = nullptr);
    ~CHttpAccessManager() override;

    /// An idle open connection to the host and port of key, taken out of the pool;
    /// nullptr when there is none.
    QTcpSocket *takeIdleConnection(const QString &key);
    /// Keeps an open connection, between two answers, for the next request of key.
    void keepIdleConnection(const QString &key, QTcpSocket *socket);

protected:
    QNetworkReply *createRequest(Operation op, const QNetworkRequest &request,
                                 QIODevice *outgoingData) override;

private:
    /// True when a request may go through CHttpReply.
    bool takesRequest(Operation op, const QNetworkRequest &request) const;
    /// The verb when an HTTPS request goes through CCurlReply, else empty.
    QByteArray curlVerb(Operation op, const QNetworkRequest &request, QIODevice *outgoingData) const;
    void dropIdleConnection(QTcpSocket *socket);

    QMultiHash<QString, QTcpSocket *> m_idle; ///< by "host:port"
    CCurlMulti *m_curl = nullptr;             ///< made with the first HTTPS request
};
