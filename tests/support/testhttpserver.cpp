#include "support/testhttpserver.h"

#include "support/testhttp2flood.h"

#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QMutexLocker>
#include <QProcess>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <limits>
#include <memory>

#ifdef Q_OS_UNIX
#include <sys/socket.h>
#endif
#ifdef Q_OS_LINUX
#include <linux/sockios.h>
#include <sys/ioctl.h>
#endif

namespace {

// Body bytes queued in the socket beyond this wait for the peer to read, so a
// multi-gigabyte body costs no more memory than a small one.
constexpr qint64 WriteHighWater = 256 * 1024;
// A request head larger than this is refused; no client of ours sends one.
constexpr int MaxHeadSize = 64 * 1024;

QByteArray reasonFor(int status)
{
    switch (status) {
    case 200: return "OK";
    case 204: return "No Content";
    case 206: return "Partial Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 304: return "Not Modified";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 416: return "Range Not Satisfiable";
    case 500: return "Internal Server Error";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

bool hasHeader(const TestHttpServer::HeaderList &headers, const QByteArray &name)
{
    return std::any_of(headers.cbegin(), headers.cend(), [&](const auto &h) {
        return h.first.compare(name, Qt::CaseInsensitive) == 0;
    });
}

// Makes the following close send RST instead of FIN: a linger time of zero tells
// the kernel to drop the connection at once.
void resetSocket(QTcpSocket *socket)
{
#ifdef Q_OS_UNIX
    const qintptr fd = socket->socketDescriptor();
    if (fd >= 0) {
        struct linger lg;
        lg.l_onoff = 1;
        lg.l_linger = 0;
        ::setsockopt(static_cast<int>(fd), SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    }
#endif
    socket->abort();
}

} // namespace

// One accepted connection: reads requests one after another (keep-alive) and
// plays the scripted response for each.
class TestHttpConnection : public QObject
{
public:
    TestHttpConnection(TestHttpServer *owner, QTcpSocket *socket, int number, QObject *parent)
        : QObject(parent), m_owner(owner), m_socket(socket), m_number(number)
    {
        m_owner->follow(this, m_socket, [this] { readInput(); }, [this] { pump(); });
        readInput();
    }

    ~TestHttpConnection() override
    {
        m_socket->disconnect(this);
        m_owner->connectionClosed();
    }

    void sendStrayBytes()
    {
        if (m_state != State::Idle || m_response.strayBytes.isEmpty())
            return;
        // At once, not held back until the peer acknowledges the answer.
        m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        m_socket->write(m_response.strayBytes);
        m_socket->flush();
#ifdef Q_OS_LINUX
        // Once acknowledged, the bytes lie with the peer's system.
        const int fd = int(m_socket->socketDescriptor());
        int queued = 0;
        for (int ms = 0; ms < 5000 && ::ioctl(fd, SIOCOUTQ, &queued) == 0 && queued > 0; ++ms)
            QThread::msleep(1);
#else
        QThread::msleep(20); // a moment for the peer's system to take them
#endif
    }

private:
    enum class State { Idle, Waiting, Sending, Flooding, ResetPending, Done };

    void readInput()
    {
        m_in.append(m_socket->readAll());
        while (m_state == State::Idle) {
            TestHttpServer::Request request;
            if (!takeRequest(request))
                return;
            handle(request);
        }
    }

    bool takeRequest(TestHttpServer::Request &request)
    {
        const int headEnd = m_in.indexOf("\r\n\r\n");
        if (headEnd < 0) {
            if (m_in.size() > MaxHeadSize) {
                m_state = State::Done;
                m_socket->write("HTTP/1.1 400 Bad Request\r\nConnection: close\r\nContent-Length: 0\r\n\r\n");
                m_socket->disconnectFromHost();
            }
            return false;
        }
        const QList<QByteArray> lines = m_in.left(headEnd).split('\n');
        request.requestLine = lines.value(0);
        if (request.requestLine.endsWith('\r'))
            request.requestLine.chop(1);
        const QList<QByteArray> parts = request.requestLine.split(' ');
        request.method = parts.value(0);
        request.target = parts.value(1);
        request.version = parts.value(2);
        qint64 contentLength = 0;
        for (int i = 1; i < lines.size(); ++i) {
            QByteArray line = lines.at(i);
            if (line.endsWith('\r'))
                line.chop(1);
            const int colon = line.indexOf(':');
            if (colon < 0)
                continue;
            const QByteArray name = line.left(colon);
            const QByteArray value = line.mid(colon + 1).trimmed();
            request.headers.append(qMakePair(name, value));
            if (name.compare("content-length", Qt::CaseInsensitive) == 0)
                contentLength = value.toLongLong();
        }
        const qint64 total = headEnd + 4 + contentLength;
        if (m_in.size() < total)
            return false;
        request.body = m_in.mid(headEnd + 4, static_cast<int>(contentLength));
        request.connection = m_number;
        m_in.remove(0, static_cast<int>(total));
        return true;
    }

    void handle(const TestHttpServer::Request &request)
    {
        m_owner->record(request);
        m_response = m_owner->takeResponse(request.target);
        m_bodyOffset = 0;
        if (m_response.ranges == TestHttpServer::Ranges::Honour)
            applyRange(request);
        m_headOnly = request.method == "HEAD";
        m_closeAfter = request.header("Connection").compare("close", Qt::CaseInsensitive) == 0;
        Q_EMIT m_owner->requestReceived(request.target);

        switch (m_response.answer) {
        case TestHttpServer::Answer::Never:
            m_state = State::Done;
            return;
        case TestHttpServer::Answer::CloseWithoutReply:
            m_state = State::Done;
            m_socket->disconnectFromHost();
            return;
        case TestHttpServer::Answer::ResetWithoutReply:
            m_state = State::Done;
            resetSocket(m_socket);
            return;
        case TestHttpServer::Answer::Respond:
        case TestHttpServer::Answer::HeaderFlood:
            break;
        }
        m_state = State::Waiting;
        if (m_response.delayMs > 0)
            QTimer::singleShot(m_response.delayMs, this, [this] { beginResponse(); });
        else
            beginResponse();
    }

    static QByteArray headerValue(const TestHttpServer::HeaderList &headers, const QByteArray &name)
    {
        for (const auto &h : headers) {
            if (h.first.compare(name, Qt::CaseInsensitive) == 0)
                return h.second;
        }
        return QByteArray();
    }

    void applyRange(const TestHttpServer::Request &request)
    {
        TestHttpServer::Response &r = m_response;
        const QByteArray range = request.header("Range");
        if (r.status != 200 || !range.startsWith("bytes=") || !range.endsWith('-'))
            return;
        bool ok = false;
        const qint64 start = range.mid(6, range.size() - 7).toLongLong(&ok);
        const QByteArray ifRange = request.header("If-Range");
        if (!ok || start < 0
            || (!ifRange.isEmpty() && ifRange != headerValue(r.headers, "ETag")
                && ifRange != headerValue(r.headers, "Last-Modified")))
            return;
        const qint64 total = r.bodyFile.isEmpty() ? r.body.size() : QFileInfo(r.bodyFile).size();
        if (start >= total) {
            r.status = 416;
            r.headers.append(qMakePair(QByteArray("Content-Range"), "bytes */" + QByteArray::number(total)));
            r.body.clear();
            r.bodyFile.clear();
            return;
        }
        r.status = 206;
        r.headers.append(qMakePair(QByteArray("Content-Range"), "bytes " + QByteArray::number(start) + '-'
                                       + QByteArray::number(total - 1) + '/' + QByteArray::number(total)));
        if (r.bodyFile.isEmpty())
            r.body = r.body.mid(static_cast<int>(start));
        else
            m_bodyOffset = start;
    }

    void beginResponse()
    {
        const TestHttpServer::Response &r = m_response;
        if (r.answer == TestHttpServer::Answer::HeaderFlood) {
            const QByteArray statusLine("HTTP/1.1 200 OK\r\n");
            m_state = State::Flooding;
            m_socket->write(statusLine);
            m_owner->addFloodBytes(statusLine.size());
            pump();
            return;
        }
        m_sent = 0;
        m_cutDelayed = false;
        m_tile.clear();
        m_file.reset();
        if (!r.bodyFile.isEmpty()) {
            m_file.reset(new QFile(r.bodyFile));
            if (!m_file->open(QIODevice::ReadOnly) || !m_file->seek(m_bodyOffset))
                qWarning("TestHttpServer: cannot open body file %s", qPrintable(r.bodyFile));
            m_total = m_file->isOpen() ? m_file->size() - m_bodyOffset : 0;
        } else if (r.repeatedSize != 0 && !r.body.isEmpty()) {
            m_total = r.repeatedSize > 0 ? r.repeatedSize : std::numeric_limits<qint64>::max();
        } else {
            m_total = r.body.size();
        }
        const bool bodyless = m_headOnly || r.status / 100 == 1 || r.status == 204 || r.status == 304;
        if (bodyless)
            m_total = 0;

        QByteArray head = (r.statusLine.isEmpty()
                               ? "HTTP/1.1 " + QByteArray::number(r.status) + ' '
                                     + (r.reason.isEmpty() ? reasonFor(r.status) : r.reason)
                               : r.statusLine)
                + "\r\n";
        for (const auto &h : r.headers)
            head += h.first + ": " + h.second + "\r\n";
        switch (r.framing) {
        case TestHttpServer::Framing::ContentLength:
            if (!hasHeader(r.headers, "Content-Length") && !(bodyless && !m_headOnly))
                head += "Content-Length: " + QByteArray::number(m_total) + "\r\n";
            break;
        case TestHttpServer::Framing::Chunked:
            if (!bodyless && !hasHeader(r.headers, "Transfer-Encoding"))
                head += "Transfer-Encoding: chunked\r\n";
            break;
        case TestHttpServer::Framing::CloseDelimited:
            m_closeAfter = true;
            break;
        }
        if (m_closeAfter && !hasHeader(r.headers, "Connection"))
            head += "Connection: close\r\n";
        head += "\r\n";
        m_chunked = r.framing == TestHttpServer::Framing::Chunked && !bodyless;
        m_socket->write(head);
        m_state = State::Sending;
        m_pausing = false;
        pump();
    }

    QByteArray readBody(qint64 count)
    {
        if (m_file)
            return m_file->read(count);
        const QByteArray &body = m_response.body;
        if (m_response.repeatedSize == 0 || body.isEmpty())
            return body.mid(static_cast<int>(m_sent), static_cast<int>(count));
        // Cut from a tile of whole repetitions, long enough for any offset.
        const int offset = static_cast<int>(m_sent % body.size());
        if (m_tile.size() < offset + count)
            m_tile = body.repeated(static_cast<int>((offset + count) / body.size() + 2));
        return m_tile.mid(offset, static_cast<int>(count));
    }

    void pump()
    {
        if (m_state == State::Flooding) {
            flood();
            return;
        }
        if (m_state == State::ResetPending) {
            if (TestHttpServer::unsentBytes(m_socket) == 0) {
                m_state = State::Done;
                resetSocket(m_socket);
            }
            return;
        }
        if (m_state != State::Sending || m_pausing)
            return;
        const TestHttpServer::Response &r = m_response;
        const bool cutting = r.cut != TestHttpServer::Cut::None;
        const qint64 limit = cutting ? qBound<qint64>(0, r.cutAfterBytes, m_total) : m_total;
        while (m_sent < limit) {
            if (TestHttpServer::unsentBytes(m_socket) >= WriteHighWater)
                return; // resumed by bytesWritten
            const qint64 want = std::min<qint64>(std::max(1, r.writeChunkSize), limit - m_sent);
            const QByteArray data = readBody(want);
            if (data.isEmpty()) {
                qWarning("TestHttpServer: body source ended early");
                m_state = State::Done;
                m_socket->disconnectFromHost();
                return;
            }
            if (m_chunked)
                m_socket->write(QByteArray::number(data.size(), 16) + "\r\n" + data + "\r\n");
            else
                m_socket->write(data);
            m_sent += data.size();
            if (r.writeIntervalMs > 0 && m_sent < limit) {
                m_pausing = true;
                QTimer::singleShot(r.writeIntervalMs, this, [this] {
                    m_pausing = false;
                    pump();
                });
                return;
            }
        }
        if (cutting && r.cutDelayMs > 0 && !m_cutDelayed) {
            m_cutDelayed = true;
            m_pausing = true;
            QTimer::singleShot(r.cutDelayMs, this, [this] {
                m_pausing = false;
                finishBody(true);
            });
            return;
        }
        finishBody(cutting);
    }

    void flood()
    {
        static const QByteArray value(1000, 'f');
        while (m_socket->state() == QAbstractSocket::ConnectedState
               && TestHttpServer::unsentBytes(m_socket) < WriteHighWater) {
            QByteArray lines;
            for (int i = 0; i < 16; ++i)
                lines += "X-Flood-" + QByteArray::number(++m_floodLines) + ": " + value + "\r\n";
            m_socket->write(lines);
            m_owner->addFloodBytes(lines.size());
        }
    }

    void finishBody(bool cutting)
    {
        m_file.reset();
        if (cutting) {
            switch (m_response.cut) {
            case TestHttpServer::Cut::Stall:
                m_state = State::Done;
                return;
            case TestHttpServer::Cut::Close:
                m_state = State::Done;
                m_socket->disconnectFromHost();
                return;
            case TestHttpServer::Cut::Reset:
                // Let the sent part leave Qt's buffer first, then reset.
                m_state = State::ResetPending;
                m_socket->flush();
                pump();
                return;
            case TestHttpServer::Cut::None:
                break;
            }
        }
        if (m_chunked)
            m_socket->write("0\r\n\r\n");
        if (m_closeAfter) {
            m_state = State::Done;
            m_socket->disconnectFromHost();
            return;
        }
        m_state = State::Idle;
        // The next request of a kept-alive connection may already be buffered.
        QTimer::singleShot(0, this, [this] { readInput(); });
    }

    TestHttpServer *m_owner;
    QTcpSocket *m_socket;
    int m_number;
    QByteArray m_in;
    State m_state = State::Idle;
    TestHttpServer::Response m_response;
    std::unique_ptr<QFile> m_file;
    qint64 m_total = 0;
    qint64 m_sent = 0;
    qint64 m_bodyOffset = 0; ///< where a ranged answer's body starts in bodyFile
    bool m_cutDelayed = false;
    QByteArray m_tile; ///< the repeated body, for generated bodies
    bool m_headOnly = false;
    bool m_closeAfter = false;
    bool m_chunked = false;
    bool m_pausing = false;
    qint64 m_floodLines = 0;
};

// With TLS, accepts each connection as a QSslSocket in server mode and hands it on
// once the handshake is through: then the protocol chosen by ALPN is known, and
// readyRead means request bytes.
class TestHttpListener : public QTcpServer
{
public:
    TestHttpListener(const QSslConfiguration &tls, QObject *parent) : QTcpServer(parent), m_tls(tls) {}

protected:
    void incomingConnection(qintptr descriptor) override
    {
        if (m_tls.isNull()) {
            QTcpServer::incomingConnection(descriptor);
            return;
        }
        auto *socket = new QSslSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            return;
        }
        socket->setSslConfiguration(m_tls);
        connect(socket, &QSslSocket::encrypted, this, [this, socket] {
            socket->disconnect(this);
            addPendingConnection(socket);
            Q_EMIT newConnection();
        });
        connect(socket, &QSslSocket::disconnected, this, [socket] { socket->deleteLater(); });
        socket->startServerEncryption();
    }

private:
    QSslConfiguration m_tls;
};

// Owns the listening socket and the connections; lives on the serving thread.
class TestHttpServerEngine : public QObject
{
public:
    TestHttpServerEngine(TestHttpServer *owner, const QSslConfiguration &tls)
        : m_owner(owner), m_server(new TestHttpListener(tls, this))
    {
        connect(m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = m_server->nextPendingConnection()) {
                const auto *ssl = qobject_cast<QSslSocket *>(socket);
                const QByteArray protocol = ssl ? ssl->sslConfiguration().nextNegotiatedProtocol() : QByteArray();
                if (protocol == QSslConfiguration::ALPNProtocolHTTP2)
                    new TestHttp2Flood(m_owner, socket, ++m_accepted, this);
                else
                    new TestHttpConnection(m_owner, socket, ++m_accepted, this);
            }
        });
    }

    quint16 listen()
    {
        if (!m_server->listen(QHostAddress::LocalHost, 0))
            return 0;
        return m_server->serverPort();
    }

private:
    TestHttpServer *m_owner;
    QTcpServer *m_server;
    int m_accepted = 0;
};

QByteArray TestHttpServer::Request::header(const QByteArray &name) const
{
    QByteArray value;
    for (const auto &h : headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            value = h.second;
    }
    return value;
}

TestHttpServer::TestHttpServer(QObject *parent)
    : QObject(parent), m_default(status(404, "not found"))
{
}

TestHttpServer::~TestHttpServer()
{
    close();
}

bool TestHttpServer::listen()
{
    close();
    QMutexLocker lock(&m_mutex);
    auto *engine = new TestHttpServerEngine(this, m_tls);
    const quint16 port = engine->listen();
    if (port == 0) {
        delete engine;
        return false;
    }
    m_engine = engine;
    m_port = port;
    return true;
}

bool TestHttpServer::start()
{
    close();
    auto *thread = new QThread;
    thread->setObjectName(QStringLiteral("TestHttpServer"));
    QMutexLocker lock(&m_mutex);
    auto *engine = new TestHttpServerEngine(this, m_tls);
    lock.unlock();
    engine->moveToThread(thread);
    thread->start();
    quint16 port = 0;
    QMetaObject::invokeMethod(engine, [engine, &port] { port = engine->listen(); },
                              Qt::BlockingQueuedConnection);
    lock.relock();
    m_engine = engine;
    m_thread = thread;
    m_port = port;
    lock.unlock();
    if (port == 0) {
        close();
        return false;
    }
    return true;
}

void TestHttpServer::close()
{
    QMutexLocker lock(&m_mutex);
    QObject *engine = m_engine;
    QThread *thread = m_thread;
    m_engine = nullptr;
    m_thread = nullptr;
    m_port = 0;
    lock.unlock();
    if (!engine)
        return;
    if (thread) {
        QMetaObject::invokeMethod(engine, [engine] { delete engine; }, Qt::BlockingQueuedConnection);
        thread->quit();
        thread->wait();
        delete thread;
    } else {
        delete engine;
    }
}

bool TestHttpServer::setTls(const QString &certificatePath, const QString &keyPath, bool offerHttp2)
{
    const QList<QSslCertificate> chain = QSslCertificate::fromPath(certificatePath);
    QFile keyFile(keyPath);
    const QByteArray pem = keyFile.open(QIODevice::ReadOnly) ? keyFile.readAll() : QByteArray();
    const QSslKey key(pem, QSsl::Rsa);
    if (chain.isEmpty() || key.isNull()) {
        qWarning("TestHttpServer: cannot read %s or %s", qPrintable(certificatePath), qPrintable(keyPath));
        return false;
    }
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setLocalCertificateChain(chain);
    tls.setPrivateKey(key);
    tls.setPeerVerifyMode(QSslSocket::VerifyNone);
    // Qt's server takes the first of the client's protocols that is in this list.
    // A client that offers none of them still gets the list's first one, which
    // OpenSSL clients refuse ("bad extension"), instead of no ALPN answer: Qt's
    // server callback never declines.
    QList<QByteArray> protocols{QSslConfiguration::NextProtocolHttp1_1};
    if (offerHttp2)
        protocols.append(QSslConfiguration::ALPNProtocolHTTP2);
    tls.setAllowedNextProtocols(protocols);
    QMutexLocker lock(&m_mutex);
    m_tls = tls;
    return true;
}

quint16 TestHttpServer::port() const
{
    QMutexLocker lock(&m_mutex);
    return m_port;
}

QString TestHttpServer::baseUrl() const
{
    QMutexLocker lock(&m_mutex);
    return (!m_tls.isNull() ? QStringLiteral("https://127.0.0.1:") : QStringLiteral("http://127.0.0.1:"))
        + QString::number(m_port);
}

QUrl TestHttpServer::url(const QString &path) const
{
    return QUrl(baseUrl() + path, QUrl::StrictMode);
}

void TestHttpServer::setRoute(const QByteArray &path, const Response &response)
{
    setRouteSequence(path, QList<Response>{response});
}

void TestHttpServer::setRouteSequence(const QByteArray &path, const QList<Response> &responses)
{
    QMutexLocker lock(&m_mutex);
    if (responses.isEmpty()) {
        m_routes.remove(path);
        return;
    }
    Route route;
    route.responses = responses;
    m_routes.insert(path, route);
}

void TestHttpServer::removeRoute(const QByteArray &path)
{
    QMutexLocker lock(&m_mutex);
    m_routes.remove(path);
}

void TestHttpServer::setDefaultResponse(const Response &response)
{
    QMutexLocker lock(&m_mutex);
    m_default = response;
}

TestHttpServer::Response TestHttpServer::ok(const QByteArray &body)
{
    return status(200, body);
}

TestHttpServer::Response TestHttpServer::status(int code, const QByteArray &body)
{
    Response response;
    response.status = code;
    response.body = body;
    return response;
}

TestHttpServer::Response TestHttpServer::file(const QString &filePath)
{
    Response response;
    response.bodyFile = filePath;
    return response;
}

namespace {

QByteArray runGzip(const QString &command, const QByteArray &input)
{
    QProcess gzip;
    gzip.start(QStringLiteral("sh"), {QStringLiteral("-c"), command});
    gzip.write(input);
    gzip.closeWriteChannel();
    gzip.waitForFinished(-1);
    if (gzip.exitStatus() != QProcess::NormalExit || gzip.exitCode() != 0)
        qWarning("TestHttpServer: gzip failed");
    return gzip.readAllStandardOutput();
}

TestHttpServer::Response gzipResponse(const QByteArray &compressed)
{
    TestHttpServer::Response response = TestHttpServer::ok(compressed);
    response.headers.append(qMakePair(QByteArray("Content-Encoding"), QByteArray("gzip")));
    return response;
}

} // namespace

TestHttpServer::Response TestHttpServer::gzipBomb(qint64 inflatedSize)
{
    return gzipResponse(runGzip(QStringLiteral("head -c %1 /dev/zero | gzip -1").arg(inflatedSize),
                                QByteArray()));
}

TestHttpServer::Response TestHttpServer::gzipped(const QByteArray &data)
{
    return gzipResponse(runGzip(QStringLiteral("gzip -c"), data));
}

QList<TestHttpServer::Request> TestHttpServer::requests() const
{
    QMutexLocker lock(&m_mutex);
    return m_requests;
}

QList<TestHttpServer::Request> TestHttpServer::requestsFor(const QByteArray &path) const
{
    QMutexLocker lock(&m_mutex);
    QList<Request> result;
    for (const Request &request : m_requests) {
        if (request.target == path)
            result.append(request);
    }
    return result;
}

int TestHttpServer::requestCount() const
{
    QMutexLocker lock(&m_mutex);
    return m_requests.size();
}

int TestHttpServer::requestCount(const QByteArray &path) const
{
    return requestsFor(path).size();
}

int TestHttpServer::connectionCount() const
{
    QMutexLocker lock(&m_mutex);
    return m_connections;
}

int TestHttpServer::openConnectionCount() const
{
    QMutexLocker lock(&m_mutex);
    return m_openConnections;
}

int TestHttpServer::peakOpenConnectionCount() const
{
    QMutexLocker lock(&m_mutex);
    return m_peakOpenConnections;
}

qint64 TestHttpServer::floodBytesSent() const
{
    QMutexLocker lock(&m_mutex);
    return m_floodBytes;
}

void TestHttpServer::sendStrayBytes()
{
    QMutexLocker lock(&m_mutex);
    QObject *engine = m_engine;
    const Qt::ConnectionType type = m_thread ? Qt::BlockingQueuedConnection : Qt::DirectConnection;
    lock.unlock();
    if (!engine)
        return;
    QMetaObject::invokeMethod(engine, [engine] {
        for (QObject *child : engine->children()) {
            if (auto *connection = dynamic_cast<TestHttpConnection *>(child))
                connection->sendStrayBytes();
        }
    }, type);
}

void TestHttpServer::clearRequests()
{
    QMutexLocker lock(&m_mutex);
    m_requests.clear();
}

TestHttpServer::Response TestHttpServer::takeResponse(const QByteArray &target)
{
    QMutexLocker lock(&m_mutex);
    auto it = m_routes.find(target);
    if (it == m_routes.end())
        return m_default;
    Route &route = it.value();
    const Response response = route.responses.at(route.next);
    if (route.next + 1 < route.responses.size())
        ++route.next;
    return response;
}

void TestHttpServer::record(const Request &request)
{
    QMutexLocker lock(&m_mutex);
    m_requests.append(request);
}

void TestHttpServer::connectionOpened()
{
    QMutexLocker lock(&m_mutex);
    ++m_connections;
    m_peakOpenConnections = qMax(m_peakOpenConnections, ++m_openConnections);
}

void TestHttpServer::connectionClosed()
{
    QMutexLocker lock(&m_mutex);
    --m_openConnections;
}

qint64 TestHttpServer::unsentBytes(QTcpSocket *socket)
{
    // A QSslSocket moves what is written into its plain socket at once, encrypted:
    // bytesToWrite() alone would let a body pile up there without limit.
    const auto *ssl = qobject_cast<QSslSocket *>(socket);
    return socket->bytesToWrite() + (ssl ? ssl->encryptedBytesToWrite() : 0);
}

void TestHttpServer::follow(QObject *connection, QTcpSocket *socket, const std::function<void()> &onInput,
                            const std::function<void()> &onDrained)
{
    socket->setParent(connection);
    connectionOpened();
    QObject::connect(socket, &QTcpSocket::readyRead, connection, onInput);
    QObject::connect(socket, &QTcpSocket::bytesWritten, connection, onDrained);
    if (auto *ssl = qobject_cast<QSslSocket *>(socket))
        QObject::connect(ssl, &QSslSocket::encryptedBytesWritten, connection, onDrained);
    QObject::connect(socket, &QTcpSocket::disconnected, connection, &QObject::deleteLater);
}

void TestHttpServer::addFloodBytes(qint64 count)
{
    QMutexLocker lock(&m_mutex);
    m_floodBytes += count;
}
