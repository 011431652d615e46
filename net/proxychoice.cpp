#include "net/proxychoice.h"

#include <QNetworkRequest>
#include <QMutexLocker>
#include <QObject>
#include <QRegularExpression>

namespace {

// curl's default port for a proxy given without one.
constexpr int DefaultProxyPort = 1080;

QString environment(const char *name)
{
    return QString::fromLocal8Bit(qgetenv(name)).trimmed();
}

// no_proxy: names and addresses separated by commas (or blanks); a name also covers
// its subdomains, a leading dot changes nothing, and "*" covers every host.
bool bypassed(const QString &host)
{
    QString list = environment("no_proxy");
    if (list.isEmpty())
        list = environment("NO_PROXY");
    const QString lowerHost = host.toLower();
    for (QString entry : list.split(QRegularExpression(QStringLiteral("[,\\s]+")), Qt::SkipEmptyParts)) {
        entry = entry.toLower();
        if (entry == QLatin1String("*"))
            return true;
        if (entry.startsWith(QLatin1Char('.')))
            entry.remove(0, 1);
        if (!entry.isEmpty() && (lowerHost == entry || lowerHost.endsWith(QLatin1Char('.') + entry)))
            return true;
    }
    return false;
}

} // namespace

ProxyChoice::ProxyChoice(const QString &setting)
{
    const QString trimmed = setting.trimmed();
    if (trimmed.isEmpty())
        return;
    m_fixed = true;
    if (trimmed.compare(QLatin1String("none"), Qt::CaseInsensitive) == 0)
        m_proxy = QNetworkProxy(QNetworkProxy::NoProxy);
    else
        m_valid = parseProxy(trimmed, m_proxy);
}

QList<QNetworkProxy> ProxyChoice::queryProxy(const QNetworkProxyQuery &query)
{
    const QUrl url = query.url();
    // Sockets that did not come from a request (our own client's, which only
    // takes requests that go direct) never go through a proxy; Qt's client sets
    // the proxy of a request on its sockets itself.
    if (!m_valid || query.queryType() != QNetworkProxyQuery::UrlRequest)
        return {QNetworkProxy(QNetworkProxy::NoProxy)};
    if (m_fixed)
        return {m_proxy};
#ifdef Q_OS_WIN
    // WinHTTP may detect the configuration or run a script for every question, and
    // every file of a release asks about the same server: asked once per server.
    const QString origin = url.scheme() + QStringLiteral("://") + url.authority();
    QMutexLocker locker(&m_mutex);
    auto known = m_systemAnswers.constFind(origin);
    if (known == m_systemAnswers.cend())
        known = m_systemAnswers.insert(origin, QNetworkProxyFactory::systemProxyForQuery(query));
    return *known;
#else
    return {fromEnvironment(url)};
#endif
}

QNetworkProxy ProxyChoice::proxyFor(const QNetworkAccessManager *manager, const QUrl &url)
{
    // The order in which Qt's manager asks.
    QList<QNetworkProxy> proxies;
    const QNetworkProxyQuery query(url);
    if (manager->proxyFactory())
        proxies = manager->proxyFactory()->queryProxy(query);
    else if (manager->proxy().type() != QNetworkProxy::DefaultProxy)
        proxies = {manager->proxy()};
    else
        proxies = QNetworkProxyFactory::proxyForQuery(query);
    return proxies.isEmpty() ? QNetworkProxy(QNetworkProxy::NoProxy) : proxies.constFirst();
}

QString ProxyChoice::failureText(const QNetworkReply *reply, const QNetworkAccessManager *manager)
{
    const QNetworkProxy proxy = proxyFor(manager, reply->url());
    if (proxy.type() == QNetworkProxy::NoProxy)
        return QString();
    const QString name = QStringLiteral("%1:%2").arg(proxy.hostName()).arg(proxy.port());
    const QNetworkReply::NetworkError error = reply->error();
    // Credentials that the proxy refused come back as the server's refusal.
    if (error == QNetworkReply::ProxyAuthenticationRequiredError
        || reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 407)
        return QObject::tr("代理服务器%1需要有效的用户名和密码").arg(name);
    // Through a proxy, the only connection the updater opens is the one to it.
    if ((error >= QNetworkReply::ProxyConnectionRefusedError && error <= QNetworkReply::UnknownProxyError)
        || error == QNetworkReply::ConnectionRefusedError || error == QNetworkReply::HostNotFoundError)
        return QObject::tr("连接代理服务器%1失败").arg(name);
    return QString();
}

bool ProxyChoice::parseProxy(const QString &text, QNetworkProxy &proxy)
{
    const QUrl url(text.contains(QLatin1String("://")) ? text : QStringLiteral("http://") + text,
                   QUrl::StrictMode);
    QNetworkProxy::ProxyType type;
    if (url.scheme().compare(QLatin1String("http"), Qt::CaseInsensitive) == 0)
        type = QNetworkProxy::HttpProxy;
    else if (url.scheme().compare(QLatin1String("socks5"), Qt::CaseInsensitive) == 0)
        type = QNetworkProxy::Socks5Proxy;
    else
        return false;
    if (!url.isValid() || url.host().isEmpty() || !(url.path().isEmpty() || url.path() == QLatin1String("/")))
        return false;
    proxy = QNetworkProxy(type, url.host(), quint16(url.port(DefaultProxyPort)),
                          url.userName(QUrl::FullyDecoded), url.password(QUrl::FullyDecoded));
    return true;
}

QNetworkProxy ProxyChoice::fromEnvironment(const QUrl &url)
{
    QString value;
    if (url.scheme() == QLatin1String("https"))
        value = environment("https_proxy").isEmpty() ? environment("HTTPS_PROXY") : environment("https_proxy");
    else if (url.scheme() == QLatin1String("http"))
        // Not HTTP_PROXY: a web server's CGI sets it from a request's "Proxy" header.
        value = environment("http_proxy");
    if (value.isEmpty())
        value = environment("all_proxy").isEmpty() ? environment("ALL_PROXY") : environment("all_proxy");
    QNetworkProxy proxy(QNetworkProxy::NoProxy);
    if (value.isEmpty() || bypassed(url.host()) || !parseProxy(value, proxy))
        return QNetworkProxy(QNetworkProxy::NoProxy);
    return proxy;
}
