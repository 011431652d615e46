#include "support/nginxserver.h"

#include "support/linuxtools.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {

constexpr int StartTimeoutMs = 10000;
constexpr int PortAttempts = 5;

// Under Wine (the Windows build's tests) nginx is a Linux process whose handle ends
// at once: it is watched and stopped through its pid file instead.
QString nginxExecutable()
{
    return linuxToolPath(QStringLiteral("nginx"));
}

// nginx reads quoted strings with backslash escapes.
QByteArray quoted(const QString &path)
{
    QByteArray bytes = linuxPath(path).toUtf8();
    bytes.replace('\\', "\\\\");
    bytes.replace('"', "\\\"");
    return bytes;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

NginxServer::NginxServer() = default;

NginxServer::~NginxServer()
{
    stop();
}

bool NginxServer::isAvailable()
{
    return !nginxExecutable().isEmpty();
}

void NginxServer::setExtraServerConfig(const QByteArray &directives)
{
    m_extra = directives;
}

void NginxServer::setTls(const QString &certificatePath, const QString &keyPath, bool http2)
{
    m_http2 = http2;
    m_certificate = QFileInfo(certificatePath).absoluteFilePath();
    m_key = QFileInfo(keyPath).absoluteFilePath();
}

quint16 freeLoopbackPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}

bool NginxServer::start(const QString &rootDir, QString &errorMessage)
{
    stop();
    if (!isAvailable()) {
        errorMessage = QStringLiteral("nginx is not installed");
        return false;
    }
    const QFileInfo root(rootDir);
    if (!root.isDir()) {
        errorMessage = QStringLiteral("not a folder: %1").arg(rootDir);
        return false;
    }
    for (int attempt = 0; attempt < PortAttempts; ++attempt) {
        const quint16 port = freeLoopbackPort();
        if (port == 0) {
            errorMessage = QStringLiteral("no free loopback port");
            return false;
        }
        if (startOnPort(root.absoluteFilePath(), port, errorMessage))
            return true;
        // Only a lost race for the port is worth another attempt.
        if (!errorLog().contains("Address already in use"))
            return false;
    }
    return false;
}

bool NginxServer::startOnPort(const QString &root, quint16 port, QString &errorMessage)
{
    m_prefix = std::make_unique<QTemporaryDir>();
    if (!m_prefix->isValid()) {
        errorMessage = QStringLiteral("cannot create a temporary folder: %1").arg(m_prefix->errorString());
        return false;
    }
    const QString prefix = m_prefix->path();
    QDir dir(prefix);
    if (!dir.mkpath(QStringLiteral("logs")) || !dir.mkpath(QStringLiteral("temp"))) {
        errorMessage = QStringLiteral("cannot create the nginx folders in %1").arg(prefix);
        return false;
    }

    const QString templatePath = QStringLiteral(UPDATER_SOURCE_DIR "/tests/support/nginx.conf.in");
    QByteArray conf = readAll(templatePath);
    if (conf.isEmpty()) {
        errorMessage = QStringLiteral("cannot read %1").arg(templatePath);
        return false;
    }
#ifdef Q_OS_WIN
    // Wine's user cannot be asked for; nginx ignores the line when not root.
    const bool asRoot = true;
#else
    const bool asRoot = geteuid() == 0;
#endif
    conf.replace("@USER_LINE@", asRoot ? "user root;" : "");
    conf.replace("@PREFIX@", quoted(prefix));
    conf.replace("@ROOT@", quoted(root));
    conf.replace("@PORT@", QByteArray::number(port));
    const bool tls = !m_certificate.isEmpty();
    conf.replace("@SSL@", tls ? (m_http2 ? " ssl http2" : " ssl") : "");
    // A server block with an access_log of its own inherits none: both are named.
    conf.replace("@TLS@", tls ? "        ssl_certificate \"" + quoted(m_certificate) + "\";\n"
                                "        ssl_certificate_key \"" + quoted(m_key) + "\";\n"
                                "        access_log \"" + quoted(prefix) + "/logs/access.log\" tests;\n"
                                "        access_log \"" + quoted(prefix) + "/logs/protocols.log\" protocols;"
                              : QByteArray());
    conf.replace("@MERGE_SLASHES@", m_extra.contains("merge_slashes") ? "" : "merge_slashes on;");
    conf.replace("@EXTRA@", m_extra);

    const QString confPath = dir.filePath(QStringLiteral("nginx.conf"));
    QFile confFile(confPath);
    if (!confFile.open(QIODevice::WriteOnly) || confFile.write(conf) != conf.size() || !confFile.flush()) {
        errorMessage = QStringLiteral("cannot write %1").arg(confPath);
        return false;
    }
    confFile.close();

    // In the foreground, nginx's master is our child: stopping it cannot miss and
    // no stray daemon outlives a crashed test. -e keeps even the very first log
    // lines (before the configuration is read) out of /var/log.
    const QStringList arguments = nginxArguments({QStringLiteral("-g"), QStringLiteral("daemon off;")});
    if (LinuxChildUnderWine) {
        // A QProcess would wait for the end of a process that Wine cannot see.
        m_detached = QProcess::startDetached(nginxExecutable(), arguments);
        if (!m_detached) {
            errorMessage = QStringLiteral("cannot start nginx");
            return false;
        }
    } else {
        m_process = std::make_unique<QProcess>();
        m_process->setProcessChannelMode(QProcess::MergedChannels);
        m_process->start(nginxExecutable(), arguments);
        if (!m_process->waitForStarted(StartTimeoutMs)) {
            errorMessage = QStringLiteral("cannot start nginx: %1").arg(m_process->errorString());
            m_process.reset();
            return false;
        }
    }

    // nginx writes its pid file only after it has bound the listening socket, so a
    // pid file plus an accepted connection means the server on the port is ours.
    const QString pidPath = dir.filePath(QStringLiteral("nginx.pid"));
    QDeadlineTimer deadline(StartTimeoutMs);
    while (!deadline.hasExpired()) {
        if (m_process && m_process->state() == QProcess::NotRunning)
            break;
        if (!readAll(pidPath).trimmed().isEmpty()) {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, port);
            if (socket.waitForConnected(1000)) {
                m_port = port;
                return true;
            }
        }
        if (m_process)
            m_process->waitForFinished(50);
        else
            QThread::msleep(50);
    }

    const QByteArray output = m_process ? m_process->readAll() : QByteArray();
    stop();
    errorMessage = QStringLiteral("nginx did not start on port %1:\n%2%3")
                       .arg(port)
                       .arg(QString::fromLocal8Bit(output), QString::fromLocal8Bit(errorLog()));
    return false;
}

QStringList NginxServer::nginxArguments(const QStringList &more) const
{
    const QString prefix = prefixPath();
    return QStringList{QStringLiteral("-p"), linuxPath(prefix),
                       QStringLiteral("-c"), linuxPath(prefix + QStringLiteral("/nginx.conf")),
                       QStringLiteral("-e"), linuxPath(prefix + QStringLiteral("/logs/error.log"))}
         + more;
}

void NginxServer::stop()
{
    if (m_detached) {
        // "-s stop" sends nginx's fast shutdown to the pid in the pid file; nginx
        // removes the file as its last act.
        const QString pidPath = prefixPath() + QStringLiteral("/nginx.pid");
        if (QFileInfo::exists(pidPath)) {
            QProcess::startDetached(nginxExecutable(), nginxArguments({QStringLiteral("-s"), QStringLiteral("stop")}));
            QDeadlineTimer deadline(5000);
            while (QFileInfo::exists(pidPath) && !deadline.hasExpired())
                QThread::msleep(20);
        }
        m_detached = false;
    }
    if (m_process) {
        // SIGTERM is nginx's fast shutdown; the master stops its workers first.
        stopChild(*m_process);
        m_process.reset();
    }
    m_port = 0;
}

bool NginxServer::isRunning() const
{
    if (LinuxChildUnderWine)
        return m_detached && m_port != 0 && QFileInfo::exists(prefixPath() + QStringLiteral("/nginx.pid"));
    return m_process && m_process->state() == QProcess::Running && m_port != 0;
}

QString NginxServer::baseAddress() const
{
    return (m_certificate.isEmpty() ? QStringLiteral("http://127.0.0.1:%1") : QStringLiteral("https://127.0.0.1:%1"))
        .arg(m_port);
}

QUrl NginxServer::url(const QString &path) const
{
    return QUrl(baseAddress() + path, QUrl::TolerantMode);
}

QStringList NginxServer::accessLog() const
{
    const QString text = QString::fromUtf8(readAll(prefixPath() + QStringLiteral("/logs/access.log")));
    return text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QStringList NginxServer::protocolLog() const
{
    const QString text = QString::fromUtf8(readAll(prefixPath() + QStringLiteral("/logs/protocols.log")));
    return text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QByteArray NginxServer::errorLog() const
{
    return readAll(prefixPath() + QStringLiteral("/logs/error.log"));
}

QString NginxServer::prefixPath() const
{
    return m_prefix ? m_prefix->path() : QString();
}
