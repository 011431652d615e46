#pragma once

// A real nginx on 127.0.0.1 that serves one folder as static files, for tests and
// benchmarks that need a production-like HTTP server (merged "//", sendfile,
// keep-alive, Range, HEAD...).
//
//   NginxServer nginx;
//   if (!NginxServer::isAvailable())
//       QSKIP("nginx is not installed");
//   QString error;
//   QVERIFY2(nginx.start(wwwDir, error), qPrintable(error)); // root = wwwDir
//   QUrl url = nginx.url("/app//update.ini");  // http://127.0.0.1:<port>/app//update.ini
//   ...
//   QStringList log = nginx.accessLog();       // "200 GET \"/app//update.ini\" 57"
//
// The configuration comes from tests/support/nginx.conf.in and is written into a
// private temporary prefix together with the logs, the pid file and nginx's
// temporary folders. A free port is taken by binding port 0 on loopback; if another
// process grabs it before nginx binds it, start() tries again with a new port.
// When the process runs as root, nginx's workers would switch to an unprivileged
// user that cannot read 0700 temporary folders, so the configuration then says
// "user root;". The destructor stops nginx (SIGTERM, then SIGKILL) and waits for it.
// The Windows build's tests, run under Wine, start the same Linux nginx.
// With setTls() it serves HTTPS instead of HTTP on the same kind of port.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QUrl>

#include <memory>

class QProcess;

/// A loopback port that nobody listens on right now. Someone may take it before
/// the server that asked binds it: servers notice and try another one.
quint16 freeLoopbackPort();

class NginxServer
{
public:
    NginxServer();
    ~NginxServer();
    NginxServer(const NginxServer &) = delete;
    NginxServer &operator=(const NginxServer &) = delete;

    /// True when an nginx executable is found (PATH, /usr/sbin, /usr/local/sbin).
    static bool isAvailable();

    /// Directives added inside the server block, e.g. "limit_rate 1m;" or
    /// "merge_slashes off;" (then the default "merge_slashes on;" is left out). Call before start().
    void setExtraServerConfig(const QByteArray &directives);

    /// Serves HTTPS with this certificate (PEM, may hold the chain) and its private
    /// key instead of HTTP. Call before start(). Keep both files until stop(): under
    /// Wine, "nginx -s stop" reads the whole configuration again, and fails without them.
    /// With http2, HTTP/2 is offered beside HTTP/1.1.
    void setTls(const QString &certificatePath, const QString &keyPath, bool http2 = true);

    /// Starts nginx serving rootDir (absolute or relative to the working folder) and
    /// returns once it accepts connections. False with a message (including nginx's
    /// error log) when it cannot be started within 10 seconds.
    bool start(const QString &rootDir, QString &errorMessage);

    /// Stops nginx and waits for it; also done by the destructor. Idempotent.
    void stop();

    /// True between a successful start() and stop() while nginx is still running.
    bool isRunning() const;

    /// The listening port (0 before start()).
    quint16 port() const { return m_port; }

    /// "http://127.0.0.1:<port>" (with TLS "https://...") with no trailing slash.
    QString baseAddress() const;

    /// baseAddress() + path, parsed tolerantly; path should begin with "/".
    QUrl url(const QString &path) const;

    /// Lines of the access log so far: status, method, quoted raw request target,
    /// body bytes sent, e.g. 200 GET "/app/Base//md5.txt" 1234.
    QStringList accessLog() const;

    /// With TLS: the protocol of each request so far ("HTTP/2.0", "HTTP/1.1").
    QStringList protocolLog() const;

    /// The error log so far (for failure messages).
    QByteArray errorLog() const;

    /// The private prefix folder holding nginx.conf, logs/ and temp/.
    QString prefixPath() const;

private:
    bool startOnPort(const QString &root, quint16 port, QString &errorMessage);
    QStringList nginxArguments(const QStringList &more) const;

    std::unique_ptr<QTemporaryDir> m_prefix;
    std::unique_ptr<QProcess> m_process;
    bool m_detached = false; ///< started through Wine, watched by its pid file
    QByteArray m_extra;
    QString m_certificate;
    QString m_key;
    bool m_http2 = true;
    quint16 m_port = 0;
};
