#include "net/chttpaccessmanager.h"

#include "net/ccurlmulti.h"
#include "net/ccurlreply.h"
#include "net/chttpreply.h"
#include "net/proxychoice.h"

#include <QIODevice>
#include <QNetworkRequest>
#include <QTcpSocket>
#include <QUrl>

#ifdef Q_OS_WIN
#include <winsock2.h>
#else
#include <sys/socket.h>

#include <cerrno>
#endif

namespace {

// Idle connections kept per server at most: as many as the worker may have requests
// in flight; more would only hold sockets open on the server.
constexpr int MaxIdlePerServer = 16;

// True when nothing at all waits on an idle connection. Qt hears of bytes that
// arrive only once the event loop gets to them, and until then they lie unread in
// the system's buffer: sent after an answer's end (a duplicate answer, say), they
// would be read as the answer to the next request. A close counts as something
// waiting too. Qt's sockets are non-blocking, so the peek never waits.
bool isQuiet(QTcpSocket *socket)
{
    if (socket->state() != QAbstractSocket::ConnectedState || socket->bytesAvailable() > 0)
        return false;
    char byte = 0;
#ifdef Q_OS_WIN
    const int got = ::recv(SOCKET(socket->socketDescriptor()), &byte, 1, MSG_PEEK);
    return got == SOCKET_ERROR && ::WSAGetLastError() == WSAEWOULDBLOCK;
#else
    ssize_t got = 0;
    do {
        got = ::recv(int(socket->socketDescriptor()), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    } while (got < 0 && errno == EINTR);
    return got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
#endif
}

} // namespace

CHttpAccessManager::CHttpAccessManager(QObject *parent)
    : QNetworkAccessManager(parent)
{
}

CHttpAccessManager::~CHttpAccessManager()
{
    for (QTcpSocket *socket : qAsConst(m_idle)) {
        socket->disconnect(this);
        socket->abort();
        delete socket;
    }
}

bool CHttpAccessManager::takesRequest(Operation op, const QNetworkRequest &request) const
{
    const QUrl url = request.url();
    if (op != GetOperation || url.scheme() != QLatin1String("http") || url.host().isEmpty()
        || !url.userInfo().isEmpty())
        return false;
    // Whatever a proxy would do with the request is left to Qt, which knows proxies.
    return ProxyChoice::proxyFor(this, url).type() == QNetworkProxy::NoProxy;
}

QByteArray CHttpAccessManager::curlVerb(Operation op, const QNetworkRequest &request,
                                        QIODevice *outgoingData) const
{
    if (request.url().scheme() != QLatin1String("https") || request.url().host().isEmpty())
        return QByteArray();
    if (op == GetOperation)
        return QByteArrayLiteral("GET");
    if (op == HeadOperation)
        return QByteArrayLiteral("HEAD");
    const QByteArray verb = request.attribute(QNetworkRequest::CustomVerbAttribute).toByteArray();
    if (op == CustomOperation && (verb == "GET" || verb == "HEAD")
        && (!outgoingData || outgoingData->size() == 0))
        return verb;
    return QByteArray();
}

QNetworkReply *CHttpAccessManager::createRequest(Operation op, const QNetworkRequest &request,
                                                 QIODevice *outgoingData)
{
    const QByteArray verb = curlVerb(op, request, outgoingData);
    if (!verb.isEmpty()) {
        if (!m_curl)
            m_curl = new CCurlMulti(this);
        return new CCurlReply(request, verb, ProxyChoice::proxyFor(this, request.url()), m_curl, this);
    }
    if (!takesRequest(op, request))
        return QNetworkAccessManager::createRequest(op, request, outgoingData);
    return new CHttpReply(request, this);
}

QTcpSocket *CHttpAccessManager::takeIdleConnection(const QString &key)
{
    while (QTcpSocket *socket = m_idle.take(key)) {
        socket->disconnect(this);
        // A server may have closed it, or sent something unasked, since.
        if (isQuiet(socket))
            return socket;
        socket->abort();
        socket->deleteLater();
    }
    return nullptr;
}

void CHttpAccessManager::keepIdleConnection(const QString &key, QTcpSocket *socket)
{
    if (m_idle.count(key) >= MaxIdlePerServer
        || socket->state() != QAbstractSocket::ConnectedState) {
        socket->abort();
        socket->deleteLater();
        return;
    }
    socket->setParent(this);
    m_idle.insert(key, socket);
    // Anything from an idle connection (a close, a time-out notice) ends it.
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] { dropIdleConnection(socket); });
    connect(socket, &QTcpSocket::disconnected, this, [this, socket] { dropIdleConnection(socket); });
    connect(socket, &QTcpSocket::errorOccurred, this, [this, socket] { dropIdleConnection(socket); });
}

void CHttpAccessManager::dropIdleConnection(QTcpSocket *socket)
{
    for (auto it = m_idle.begin(); it != m_idle.end(); ++it) {
        if (it.value() == socket) {
            m_idle.erase(it);
            socket->disconnect(this);
            socket->abort();
            // Its own signal is being delivered.
            socket->deleteLater();
            return;
        }
    }
}
