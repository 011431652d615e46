// Our HTTP/1.1 client's reading of an answer (CHttpReply): status line, headers,
// Content-Length and chunked bodies. The answer comes over one end of a local
// socket pair, handed to the reply as a kept connection, so no network is involved;
// the other end sends the input and closes. The first byte picks how the caller
// reads: the reply's read buffer size and the size of each read.
#include "fuzzinput.h"
#include "net/chttpaccessmanager.h"
#include "net/chttpreply.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QNetworkProxy>
#include <QNetworkRequest>
#include <QTcpSocket>

#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {

bool sendAll(int fd, const std::uint8_t *data, std::size_t size)
{
    while (size > 0) {
        const ssize_t sent = ::write(fd, data, size);
        if (sent <= 0)
            return false;
        data += sent;
        size -= std::size_t(sent);
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // The whole answer must fit the socket pair's buffer, which the write below
    // fills before the reply reads anything.
    if (size == 0 || size > 64 * 1024)
        return 0;
    const std::uint8_t flags = data[0];
    static const qint64 bufferSizes[] = {0, 1, 7, 16 * 1024};
    static const qint64 readSizes[] = {1 << 20, 1, 5, 4096};

    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        return 0;
    CHttpAccessManager manager;
    manager.setProxy(QNetworkProxy::NoProxy);
    auto *socket = new QTcpSocket;
    if (!socket->setSocketDescriptor(fds[0])) {
        std::fprintf(stderr, "socket pair not taken: %s\n", qPrintable(socket->errorString()));
        std::abort();
    }
    // Port 1: a second connection, which the reply opens when a kept one closes
    // before any answer, is refused at once.
    manager.keepIdleConnection(QStringLiteral("127.0.0.1:1"), socket);
    QNetworkReply *reply = manager.get(QNetworkRequest(QUrl(QStringLiteral("http://127.0.0.1:1/f"))));
    if (!qobject_cast<CHttpReply *>(reply)) {
        std::fprintf(stderr, "the request did not go to CHttpReply\n");
        std::abort();
    }
    reply->setReadBufferSize(bufferSizes[flags & 3]);
    const qint64 readSize = readSizes[(flags >> 2) & 3];
    QObject::connect(reply, &QNetworkReply::readyRead, reply, [reply, readSize] {
        char buffer[4096];
        reply->read(buffer, qMin<qint64>(readSize, sizeof buffer));
    });
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    // The reply takes the kept connection from the event loop; an answer that came
    // before would make the pool drop it as not quiet.
    QCoreApplication::processEvents();
    if (!sendAll(fds[1], data + 1, size - 1))
        std::abort();
    ::shutdown(fds[1], SHUT_WR);
    if (!reply->isFinished())
        loop.exec();
    // Whatever the reply offers after finishing.
    reply->readAll();
    reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    delete reply;
    ::close(fds[1]);
    return 0;
}
