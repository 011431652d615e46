#include "support/forwardproxy.h"

#include "support/linuxtools.h"
#include "support/nginxserver.h"
#include "support/publishrun.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QProcess>
#include <QTcpSocket>
#include <QThread>

namespace {

constexpr int StartTimeoutMs = 10000;

} // namespace

ForwardProxy::ForwardProxy() = default;

ForwardProxy::~ForwardProxy()
{
    stop();
}

bool ForwardProxy::isAvailable()
{
    return !linuxToolPath(QStringLiteral("tinyproxy")).isEmpty();
}

bool ForwardProxy::start(QString &errorMessage, const QString &user, const QString &password)
{
    for (int attempt = 0; attempt < 5; ++attempt) {
        const quint16 port = freeLoopbackPort();
        const QString pidPath = m_dir.filePath(QStringLiteral("tinyproxy.pid"));
        const QString logPath = m_dir.filePath(QStringLiteral("tinyproxy.log"));
        QFile::remove(pidPath);
        // LogLevel Connect logs the request line of every request; without ConnectPort
        // lines tunnels may go to any port.
        QByteArray conf = "Port " + QByteArray::number(port) + "\nListen 127.0.0.1\nAllow 127.0.0.1\n"
                          "Timeout 60\nMaxClients 100\nLogLevel Connect\n"
                          "LogFile \"" + linuxPath(logPath).toUtf8() + "\"\n"
                          "PidFile \"" + linuxPath(pidPath).toUtf8() + "\"\n";
        if (!user.isEmpty())
            conf += "BasicAuth " + user.toUtf8() + ' ' + password.toUtf8() + '\n';
        const QString confPath = m_dir.filePath(QStringLiteral("tinyproxy.conf"));
        if (port == 0 || !writeFile(confPath, conf)) {
            errorMessage = QStringLiteral("no free port or configuration file");
            return false;
        }
        const QStringList arguments{QStringLiteral("-d"), QStringLiteral("-c"), linuxPath(confPath)};
        if (LinuxChildUnderWine) {
            m_detached = QProcess::startDetached(linuxToolPath(QStringLiteral("tinyproxy")), arguments);
        } else {
            m_process = std::make_unique<QProcess>();
            m_process->setProcessChannelMode(QProcess::MergedChannels);
            m_process->start(linuxToolPath(QStringLiteral("tinyproxy")), arguments);
        }
        QDeadlineTimer deadline(StartTimeoutMs);
        while (!deadline.hasExpired() && !(m_process && m_process->state() == QProcess::NotRunning)) {
            if (QFileInfo(pidPath).size() > 0) {
                QTcpSocket socket;
                socket.connectToHost(QHostAddress::LocalHost, port);
                if (socket.waitForConnected(1000)) {
                    m_port = port;
                    return true;
                }
            }
            QThread::msleep(50);
        }
        errorMessage = QStringLiteral("tinyproxy did not start on port %1:\n%2%3")
                           .arg(port)
                           .arg(QString::fromLocal8Bit(m_process ? m_process->readAll() : QByteArray()),
                                QString::fromLocal8Bit(readFile(logPath)));
        stop();
    }
    return false;
}

void ForwardProxy::stop()
{
    const QString pidPath = m_dir.filePath(QStringLiteral("tinyproxy.pid"));
    if (m_detached) {
        const QByteArray pid = QFileInfo::exists(pidPath) ? readFile(pidPath).trimmed() : QByteArray();
        if (!pid.isEmpty())
            runLinuxTool(QStringLiteral("kill"), {QString::fromLatin1(pid)});
        m_detached = false;
    }
    if (m_process) {
        stopChild(*m_process);
        m_process.reset();
    }
    m_port = 0;
}

QByteArray ForwardProxy::log() const
{
    return readFile(m_dir.filePath(QStringLiteral("tinyproxy.log")));
}
