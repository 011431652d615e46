#pragma once

// A scriptable HTTP/1.1 server on 127.0.0.1 for the tests. It serves the answer
// configured for the exact request target and records every request it reads.
//
//   TestHttpServer server;
//   QVERIFY(server.start());            // own thread; or listen() on this thread
//   server.setRoute("/pub/update.ini", TestHttpServer::ok("[Summary]\n"));
//   TestHttpServer::Response slow = TestHttpServer::ok("late");
//   slow.delayMs = 3000;
//   server.setRoute("/slow", slow);
//   QUrl url = server.url("/pub/update.ini");   // http://127.0.0.1:<port>/pub/update.ini
//   ...
//   QCOMPARE(server.requestCount("/pub/update.ini"), 1);
//
// Routes may be replaced at any time, also while a client is connected; a request
// takes the route as it is when the request has been read completely. All public
// functions are thread-safe. With start(), requestReceived is emitted on the
// server's thread: wait with QTRY_COMPARE(server.requestCount(...), n) rather
// than a QSignalSpy (which would record from that thread).
//
// A Content-Length given in Response::headers replaces the automatic one while
// the body is still sent as given, so a test can announce more or fewer bytes
// than it sends (a raw chunked text can be sent close-delimited with its own
// "Transfer-Encoding: chunked" header). Cut::Close on a close-delimited body looks
// complete to the client.
//
// Range requests are ignored (the whole body, 200) unless a response says
// Ranges::Honour; odd answers to them (416, a wrong Content-Range, another ETag)
// are scripted like any other response, with status and headers given.
//
// With setTls() before listen() or start() it serves HTTPS, and all of the above
// works alike over TLS. A client that chooses h2 by ALPN (offered only when asked
// for) gets TestHttp2Flood's endless header block for every request.

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QPair>
#include <QSslConfiguration>
#include <QString>
#include <QUrl>

#include <functional>

class QTcpSocket;
class QThread;

class TestHttpServer : public QObject
{
    Q_OBJECT
public:
    using HeaderList = QList<QPair<QByteArray, QByteArray>>;

    /// How the end of the body is made known to the client.
    enum class Framing {
        ContentLength,  ///< "Content-Length: <body size>" (unless headers already hold one)
        Chunked,        ///< "Transfer-Encoding: chunked", one HTTP chunk per write
        CloseDelimited  ///< neither; "Connection: close" and the body ends with the connection
    };

    /// What happens to the connection once the request has been read.
    enum class Answer {
        Respond,           ///< send the response below (after delayMs)
        Never,             ///< send nothing and keep the connection open
        CloseWithoutReply, ///< close the connection in an orderly way (FIN), no bytes sent
        ResetWithoutReply, ///< reset the connection (RST), no bytes sent
        /// after delayMs, "HTTP/1.1 200 OK" and then header lines "X-Flood-<n>: <1000
        /// bytes>" without end, as fast as the peer reads, until it goes away
        HeaderFlood
    };

    /// What a response does with "Range: bytes=N-".
    enum class Ranges {
        Ignore, ///< the whole body with its own status, as servers without range support
        /// as a static file server: with no If-Range, or one equal to the response's
        /// ETag or Last-Modified header, 206 with the body from N on and its
        /// Content-Range (416 when N is not below the size); else the whole body
        Honour
    };

    /// How a response is cut short after cutAfterBytes body bytes.
    enum class Cut {
        None,   ///< the whole body is sent
        Stall,  ///< stop sending and keep the connection open (0 bytes: "headers then stall")
        Close,  ///< flush what was sent and close the connection (FIN)
        Reset   ///< reset the connection (RST); bytes not yet read by the peer may be lost
    };

    /// One scripted answer. Copies are cheap: the body is implicitly shared.
    struct Response
    {
        Answer answer = Answer::Respond;
        int status = 200;
        QByteArray reason;        ///< status text; empty picks the usual one ("OK", "Not Found")
        /// When set, sent instead of "HTTP/1.1 <status> <reason>" (an older version, a
        /// malformed line, an interim answer followed by the real status line).
        QByteArray statusLine;
        HeaderList headers;       ///< sent in this order, duplicates allowed, before the automatic ones
        QByteArray body;          ///< the body, unless bodyFile is set
        QString bodyFile;         ///< stream the body from this file (never held in memory whole)
        /// When not 0, the body is `body` repeated until it is this long, generated while
        /// it is sent; negative: without end (announced as the largest Content-Length).
        qint64 repeatedSize = 0;
        Framing framing = Framing::ContentLength;
        int delayMs = 0;          ///< wait this long after the request before answering
        Cut cut = Cut::None;
        qint64 cutAfterBytes = 0; ///< body bytes sent before the cut
        int cutDelayMs = 0;       ///< pause between the last byte sent and the cut
        int writeChunkSize = 64 * 1024; ///< body bytes per write (and per HTTP chunk)
        int writeIntervalMs = 0;  ///< pause between two writes (0: as fast as the peer reads)
        Ranges ranges = Ranges::Ignore; ///< for body and bodyFile, not generated bodies
        /// Sent by sendStrayBytes() once the answer is over: bytes nobody asked for.
        QByteArray strayBytes;
    };

    /// One request as it arrived.
    struct Request
    {
        QByteArray requestLine;   ///< e.g. "GET /pub//md5.txt HTTP/1.1", without the line end
        QByteArray method;
        QByteArray target;        ///< request target exactly as sent (path and query)
        QByteArray version;
        HeaderList headers;       ///< in arrival order, names and values as sent (values trimmed)
        QByteArray body;          ///< read by Content-Length
        int connection = 0;       ///< 1-based number of the TCP connection it came on

        /// Value of the last header with this name (case-insensitive), empty if none.
        QByteArray header(const QByteArray &name) const;
    };

    explicit TestHttpServer(QObject *parent = nullptr);
    ~TestHttpServer() override;

    /// Listens on 127.0.0.1 with a free port, serving on the calling thread's loop.
    bool listen();
    /// Listens on 127.0.0.1 with a free port, serving on an internal thread, so a
    /// blocking wait or modal dialog on the test's thread does not stall it.
    bool start();
    /// Stops listening, drops all connections and ends the internal thread.
    void close();
    /// Makes the next listen() or start() serve HTTPS with this certificate and its
    /// RSA key (PEM files, as makeTestCertificates() writes), offering "http/1.1" and,
    /// with offerHttp2, "h2" by ALPN. False, with a warning, if they cannot be read.
    bool setTls(const QString &certificatePath, const QString &keyPath, bool offerHttp2 = false);

    quint16 port() const;
    /// "http://127.0.0.1:<port>" ("https://" with TLS), for building addresses by concatenation.
    QString baseUrl() const;
    /// baseUrl() + path, parsed strictly; doubled slashes in path are kept.
    QUrl url(const QString &path) const;

    /// Serves response for requests whose target equals path exactly.
    void setRoute(const QByteArray &path, const Response &response);
    /// Serves the responses one per request in this order; the last one repeats.
    void setRouteSequence(const QByteArray &path, const QList<Response> &responses);
    void removeRoute(const QByteArray &path);
    /// The answer for targets without a route (default: 404 with body "not found").
    void setDefaultResponse(const Response &response);

    /// Shorthands for the common answers.
    static Response ok(const QByteArray &body);
    static Response status(int code, const QByteArray &body = QByteArray());
    static Response file(const QString &filePath);
    /// A 200 whose body is inflatedSize zero bytes, gzip-compressed (about a
    /// thousandth of that on the wire), sent with "Content-Encoding: gzip".
    static Response gzipBomb(qint64 inflatedSize);
    /// A 200 whose body is data gzip-compressed, with "Content-Encoding: gzip".
    static Response gzipped(const QByteArray &data);

    /// Every request read so far, in arrival order.
    QList<Request> requests() const;
    /// The requests for one target.
    QList<Request> requestsFor(const QByteArray &path) const;
    int requestCount() const;
    int requestCount(const QByteArray &path) const;
    /// TCP connections accepted so far, with TLS once through the handshake (shows
    /// whether keep-alive reused one).
    int connectionCount() const;
    /// Connections currently open.
    int openConnectionCount() const;
    /// The most connections that were open at one time.
    int peakOpenConnectionCount() const;
    /// Bytes of header flood (HTTP/1.1 or HTTP/2, from the status on) handed to the
    /// sockets so far; at most about 256 KiB per connection wait in the server.
    qint64 floodBytesSent() const;
    /// Sends the strayBytes of their last answer on the connections waiting for their
    /// next request; returns once the peer's system has them.
    void sendStrayBytes();
    void clearRequests();

Q_SIGNALS:
    /// A request has been read completely (emitted on the serving thread).
    void requestReceived(const QByteArray &target);

private:
    friend class TestHttpConnection;
    friend class TestHttp2Flood;
    struct Route
    {
        QList<Response> responses;
        int next = 0;
    };

    Response takeResponse(const QByteArray &target);
    void record(const Request &request);
    void connectionOpened();
    void connectionClosed();
    void addFloodBytes(qint64 count);
    /// Bytes written to socket that Qt still holds, TLS included.
    static qint64 unsentBytes(QTcpSocket *socket);
    /// Makes socket a child of connection, counts it open, calls onInput for its
    /// input and onDrained as its output (encrypted, with TLS) leaves, and deletes
    /// connection once the socket is disconnected.
    void follow(QObject *connection, QTcpSocket *socket, const std::function<void()> &onInput,
                const std::function<void()> &onDrained);

    mutable QMutex m_mutex;
    QHash<QByteArray, Route> m_routes;
    Response m_default;
    QList<Request> m_requests;
    int m_connections = 0;
    int m_openConnections = 0;
    int m_peakOpenConnections = 0;
    qint64 m_floodBytes = 0;
    QSslConfiguration m_tls; ///< null without TLS
    quint16 m_port = 0;
    QObject *m_engine = nullptr;
    QThread *m_thread = nullptr;
};

Q_DECLARE_METATYPE(TestHttpServer::Request)
