#include "support/nginxserver.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>

#include <unistd.h>

namespace {

constexpr int StartTimeoutMs = 10000;
constexpr int PortAttempts = 5;

QString nginxExecutable()
{
    const QStringList extra = {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/local/sbin"),
                               QStringLiteral("/sbin")};
    QString exe = QStandardPaths::findExecutable(QStringLiteral("nginx"));
    if (exe.isEmpty())
        exe = QStandardPaths::findExecutable(QStringLiteral("nginx"), extra);
    return exe;
}

// A port that nobody listens on right now. Someone may take it before nginx binds
// it; start() notices that from nginx's error log and tries another one.
quint16 freeLoopbackPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}

// nginx reads quoted strings with backslash escapes.
QByteArray quoted(const QString &path)
{
    QByteArray bytes = QFile::encodeName(path);
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
    conf.replace("@USER_LINE@", geteuid() == 0 ? "user root;" : "");
    conf.replace("@PREFIX@", quoted(prefix));
    conf.replace("@ROOT@", quoted(root));
    conf.replace("@PORT@", QByteArray::number(port));
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
    m_process = std::make_unique<QProcess>();
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    m_process->start(nginxExecutable(),
                     {QStringLiteral("-p"), prefix, QStringLiteral("-c"), confPath,
                      QStringLiteral("-e"), dir.filePath(QStringLiteral("logs/error.log")),
                      QStringLiteral("-g"), QStringLiteral("daemon off;")});
    if (!m_process->waitForStarted(StartTimeoutMs)) {
        errorMessage = QStringLiteral("cannot start nginx: %1").arg(m_process->errorString());
        m_process.reset();
        return false;
    }

    // nginx writes its pid file only after it has bound the listening socket, so a
    // pid file plus an accepted connection means the server on the port is ours.
    const QString pidPath = dir.filePath(QStringLiteral("nginx.pid"));
    QDeadlineTimer deadline(StartTimeoutMs);
    while (!deadline.hasExpired()) {
        if (m_process->state() == QProcess::NotRunning)
            break;
        if (!readAll(pidPath).trimmed().isEmpty()) {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, port);
            if (socket.waitForConnected(1000)) {
                m_port = port;
                return true;
            }
        }
        m_process->waitForFinished(50);
    }

    const QByteArray output = m_process->readAll();
    stop();
    errorMessage = QStringLiteral("nginx did not start on port %1:\n%2%3")
                       .arg(port)
                       .arg(QString::fromLocal8Bit(output), QString::fromLocal8Bit(errorLog()));
    return false;
}

void NginxServer::stop()
{
    if (m_process) {
        if (m_process->state() != QProcess::NotRunning) {
            // SIGTERM is nginx's fast shutdown; the master stops its workers first.
            m_process->terminate();
            if (!m_process->waitForFinished(5000)) {
                m_process->kill();
                m_process->waitForFinished(5000);
            }
        }
        m_process.reset();
    }
    m_port = 0;
}

bool NginxServer::isRunning() const
{
    return m_process && m_process->state() == QProcess::Running && m_port != 0;
}

QString NginxServer::baseAddress() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(m_port);
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

QByteArray NginxServer::errorLog() const
{
    return readAll(prefixPath() + QStringLiteral("/logs/error.log"));
}

QString NginxServer::prefixPath() const
{
    return m_prefix ? m_prefix->path() : QString();
}
