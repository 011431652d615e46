#include "net/ccurlreply.h"

#include "net/ccurlmulti.h"
#include "net/statuserror.h"

#include <QDir>
#include <QFileInfo>
#include <QMetaObject>
#include <QNetworkRequest>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QUrl>

#include <cstring>

namespace {

// The status line and headers of one answer, as for our plain-HTTP client. curl's
// own bounds are larger, and an HTTP/2 header block only meets them after a
// hundred kilobytes or more.
constexpr int MaxHeaderBytes = 64 * 1024;
// Every header section of one exchange together: interim answers, and the first
// answer of an authentication that curl answers itself.
constexpr qint64 MaxAllHeaderBytes = 4 * MaxHeaderBytes;
constexpr int MaxHeaderLines = 256;
// What curl reads from a connection at once.
constexpr long ReceiveBufferSize = 256 * 1024;
// Below this the transfer is never paused for an unread buffer: pausing and
// resuming an HTTP/2 stream costs more than the memory it would save.
constexpr qint64 MinPauseBuffer = 1024 * 1024;

// The roots the system trusts, where Qt finds them, so that HTTPS trusts what it
// trusted when it went through Qt.
// - Windows: the ROOT store, read once per process.
// - Elsewhere: the certificate folders Qt looks a root up in, by the hash of its
//   subject, as OpenSSL does: only the roots a server's chain needs are read. Qt
//   also reads two bundle files of other systems, which curl gets as its CA file,
//   as it gets the system's bundle where no folder holds hashed roots.
#ifdef Q_OS_WIN
const QByteArray &systemRoots()
{
    static const QByteArray pem = [] {
        QByteArray all;
        const QList<QSslCertificate> roots = QSslConfiguration::systemCaCertificates();
        for (const QSslCertificate &root : roots)
            all += root.toPem();
        return all;
    }();
    return pem;
}
#else
QByteArray existing(std::initializer_list<const char *> paths, bool folders, bool all)
{
    QByteArray list;
    for (const char *path : paths) {
        const QFileInfo info(QString::fromLatin1(path));
        if (folders ? !info.isDir() : !info.isFile())
            continue;
        // OpenSSL takes several folders as one list.
        list += (list.isEmpty() ? "" : ":") + QByteArray(path);
        if (!all)
            break;
    }
    return list;
}

const QByteArray &rootFolders()
{
    static const QByteArray folders =
        existing({"/etc/ssl/certs", "/usr/lib/ssl/certs", "/usr/share/ssl", "/usr/local/ssl", "/var/ssl/certs",
                  "/usr/local/ssl/certs", "/etc/openssl/certs", "/opt/openssl/certs", "/etc/ssl"},
                 true, true);
    return folders;
}

// True when some root folder holds a root by its hash ("<hash>.0"), as Debian's do.
bool hasHashedRoots()
{
    for (const QByteArray &folder : rootFolders().split(':')) {
        if (!QDir(QString::fromLatin1(folder), QStringLiteral("*.0"), QDir::NoSort, QDir::Files).isEmpty())
            return true;
    }
    return false;
}

const QByteArray &rootBundle()
{
    // Without hashed roots Qt read every root of the folders, the system's bundle
    // among them: that bundle, then, is the roots.
    static const QByteArray bundle = [] {
        QByteArray found =
            existing({"/etc/pki/tls/certs/ca-bundle.crt", "/usr/local/share/certs/ca-root-nss.crt"}, false, false);
        if (found.isEmpty() && !hasHashedRoots())
            found = existing({"/etc/ssl/certs/ca-certificates.crt", "/etc/ssl/cert.pem"}, false, false);
        return found;
    }();
    return bundle;
}
#endif

QByteArray chomped(const char *data, size_t size)
{
    QByteArray line(data, int(size));
    while (line.endsWith('\n') || line.endsWith('\r'))
        line.chop(1);
    return line;
}

} // namespace

CCurlReply::CCurlReply(const QNetworkRequest &request, const QByteArray &verb,
                       const QNetworkProxy &proxy, CCurlMulti *multi, QObject *parent)
    : QNetworkReply(parent)
    , m_multi(multi)
{
    setRequest(request);
    setUrl(request.url());
    setOperation(verb == "HEAD" ? QNetworkAccessManager::HeadOperation
                                : QNetworkAccessManager::GetOperation);
    // Unbuffered: the body is read from the chunks curl handed over, not copied once more.
    open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    if (setUp(request, verb, proxy) && m_multi && m_multi->add(this, m_easy))
        return;
    // Not from here: finished() would go out before the caller has connected to it.
    QMetaObject::invokeMethod(this, [this] {
        finishWithError(UnknownNetworkError, tr("Cannot start the HTTPS request"));
    }, Qt::QueuedConnection);
}

CCurlReply::~CCurlReply()
{
    if (m_easy) {
        if (m_multi)
            m_multi->remove(m_easy);
        curl_easy_cleanup(m_easy);
    }
    curl_slist_free_all(m_headerList);
}

bool CCurlReply::setUp(const QNetworkRequest &request, const QByteArray &verb, const QNetworkProxy &proxy)
{
    m_easy = curl_easy_init();
    if (!m_easy)
        return false;
    QUrl url = request.url();
    const QString user = url.userName(QUrl::FullyDecoded);
    const QString password = url.password(QUrl::FullyDecoded);
    url.setUserInfo(QString());
    bool ok = curl_easy_setopt(m_easy, CURLOPT_URL, url.toEncoded(QUrl::RemoveFragment).constData()) == CURLE_OK;
    curl_easy_setopt(m_easy, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(m_easy, CURLOPT_ERRORBUFFER, m_errorBuffer);
    curl_easy_setopt(m_easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(m_easy, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_2TLS));
    // A request started while the first connection to a server is being set up
    // waits for it, and shares it if it turns out to speak HTTP/2.
    curl_easy_setopt(m_easy, CURLOPT_PIPEWAIT, 1L);
    curl_easy_setopt(m_easy, CURLOPT_BUFFERSIZE, ReceiveBufferSize);
    curl_easy_setopt(m_easy, CURLOPT_HEADERFUNCTION, &CCurlReply::onHeader);
    curl_easy_setopt(m_easy, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(m_easy, CURLOPT_WRITEFUNCTION, &CCurlReply::onBody);
    curl_easy_setopt(m_easy, CURLOPT_WRITEDATA, this);
    if (verb == "HEAD")
        curl_easy_setopt(m_easy, CURLOPT_NOBODY, 1L);

    bool agentGiven = false;
    const QList<QByteArray> names = request.rawHeaderList();
    for (const QByteArray &name : names) {
        agentGiven = agentGiven || name.compare("User-Agent", Qt::CaseInsensitive) == 0;
        const QByteArray value = request.rawHeader(name);
        // "Name;" is how curl is told to send a header with an empty value.
        const QByteArray line = value.isEmpty() ? QByteArray(name + ';') : QByteArray(name + ": " + value);
        m_headerList = curl_slist_append(m_headerList, line.constData());
    }
    // What Qt's own client sends: servers and firewalls that filter on it see no change.
    if (!agentGiven)
        m_headerList = curl_slist_append(m_headerList, "User-Agent: Mozilla/5.0");
    curl_easy_setopt(m_easy, CURLOPT_HTTPHEADER, m_headerList);

    if (!user.isEmpty()) {
        // Sent only when the server asks, as Qt does.
        curl_easy_setopt(m_easy, CURLOPT_USERNAME, user.toUtf8().constData());
        curl_easy_setopt(m_easy, CURLOPT_PASSWORD, password.toUtf8().constData());
        curl_easy_setopt(m_easy, CURLOPT_HTTPAUTH, long(CURLAUTH_BASIC | CURLAUTH_DIGEST | CURLAUTH_NTLM));
    }

    QByteArray scheme;
    if (proxy.type() == QNetworkProxy::HttpProxy || proxy.type() == QNetworkProxy::HttpCachingProxy)
        scheme = "http";
    else if (proxy.type() == QNetworkProxy::Socks5Proxy)
        // The proxy resolves the name, as Qt lets a SOCKS5 proxy do.
        scheme = "socks5h";
    m_viaProxy = !scheme.isEmpty();
    // The choice is ProxyChoice's, made already: curl must not read no_proxy again.
    curl_easy_setopt(m_easy, CURLOPT_NOPROXY, "");
    if (m_viaProxy) {
        QString host = proxy.hostName();
        if (host.contains(QLatin1Char(':')))
            host = QLatin1Char('[') + host + QLatin1Char(']');
        const QByteArray address = scheme + "://" + QUrl::toAce(host) + ':' + QByteArray::number(proxy.port());
        curl_easy_setopt(m_easy, CURLOPT_PROXY, address.constData());
        if (!proxy.user().isEmpty()) {
            curl_easy_setopt(m_easy, CURLOPT_PROXYUSERNAME, proxy.user().toUtf8().constData());
            curl_easy_setopt(m_easy, CURLOPT_PROXYPASSWORD, proxy.password().toUtf8().constData());
            curl_easy_setopt(m_easy, CURLOPT_PROXYAUTH, long(CURLAUTH_ANY));
        }
        // A refused tunnel shows in CURLINFO_HTTP_CONNECTCODE, not as the answer.
        curl_easy_setopt(m_easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    } else {
        // Empty: no proxy at all, the environment's included; the choice was made.
        curl_easy_setopt(m_easy, CURLOPT_PROXY, "");
    }

    // Only the system's roots: no bundle file or folder of curl's own build.
#ifdef Q_OS_WIN
    m_roots = systemRoots();
    curl_easy_setopt(m_easy, CURLOPT_CAINFO, nullptr);
    curl_easy_setopt(m_easy, CURLOPT_CAPATH, nullptr);
#else
    curl_easy_setopt(m_easy, CURLOPT_CAINFO, rootBundle().isEmpty() ? nullptr : rootBundle().constData());
    curl_easy_setopt(m_easy, CURLOPT_CAPATH, rootFolders().isEmpty() ? nullptr : rootFolders().constData());
#endif
    // And those the caller added to the request's configuration.
    const QList<QSslCertificate> own = request.sslConfiguration().caCertificates();
    for (const QSslCertificate &root : own)
        m_roots += root.toPem();
    if (!m_roots.isEmpty()) {
        curl_blob roots{m_roots.data(), size_t(m_roots.size()), CURL_BLOB_NOCOPY};
        ok = ok && curl_easy_setopt(m_easy, CURLOPT_CAINFO_BLOB, &roots) == CURLE_OK;
    }
    return ok;
}

size_t CCurlReply::onHeader(char *data, size_t size, size_t count, void *self)
{
    auto *reply = static_cast<CCurlReply *>(self);
    const size_t bytes = size * count;
    reply->m_sectionBytes += int(qMin<size_t>(bytes, MaxHeaderBytes + 1));
    reply->m_allHeaderBytes += qint64(bytes);
    if (reply->m_sectionBytes > MaxHeaderBytes || reply->m_allHeaderBytes > MaxAllHeaderBytes) {
        reply->m_headersTooLarge = true;
        return 0; // ends the transfer
    }
    return reply->takeHeaderLine(chomped(data, bytes)) ? bytes : 0;
}

bool CCurlReply::takeHeaderLine(const QByteArray &line)
{
    // Trailers after the body, and anything once the answer is known, only count.
    if (m_headersTaken)
        return true;
    if (line.startsWith("HTTP/")) {
        // "HTTP/1.1 404 Not Found", "HTTP/2 200 ": a new answer, interim or final.
        const QList<QByteArray> parts = line.split(' ');
        m_sectionStatus = parts.size() > 1 ? parts.at(1).toInt() : 0;
        const int reason = line.indexOf(' ', line.indexOf(' ') + 1);
        m_sectionReason = reason > 0 ? line.mid(reason + 1).trimmed() : QByteArray();
        m_sectionHeaders.clear();
        m_sectionBytes = line.size() + 2;
        return true;
    }
    if (line.isEmpty()) {
        // An interim answer, or a server's refusal that curl answers with the
        // credentials of the address; the real answer follows.
        const bool interim = m_sectionStatus < 200
            || (m_sectionStatus == 401 && !url().userName().isEmpty());
        if (!interim)
            takeHeaders();
        return true;
    }
    if (m_sectionHeaders.size() >= MaxHeaderLines) {
        m_headersTooLarge = true;
        return false;
    }
    const int colon = line.indexOf(':');
    if (colon > 0)
        m_sectionHeaders.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
    return true;
}

void CCurlReply::takeHeaders()
{
    m_headersTaken = true;
    setAttribute(QNetworkRequest::HttpStatusCodeAttribute, m_sectionStatus);
    setAttribute(QNetworkRequest::HttpReasonPhraseAttribute, m_sectionReason);
    long version = 0;
    curl_easy_getinfo(m_easy, CURLINFO_HTTP_VERSION, &version);
    setAttribute(QNetworkRequest::Http2WasUsedAttribute, version == CURL_HTTP_VERSION_2_0);
    for (const auto &header : qAsConst(m_sectionHeaders)) {
        // Repeated headers are joined as Qt joins them.
        const QByteArray earlier = rawHeader(header.first);
        setRawHeader(header.first, earlier.isNull() ? header.second : earlier + ", " + header.second);
    }
    bool known = false;
    const qint64 length = rawHeader("Content-Length").toLongLong(&known);
    m_bodyTotal = known && length >= 0 ? length : -1;
    m_metaDataPending = true;
    if (m_multi)
        m_multi->touch(this);
}

size_t CCurlReply::onBody(char *data, size_t size, size_t count, void *self)
{
    auto *reply = static_cast<CCurlReply *>(self);
    const size_t bytes = size * count;
    // The answer after a refusal that curl did not answer itself.
    if (!reply->m_headersTaken)
        reply->takeHeaders();
    const qint64 limit = reply->readBufferSize();
    if (limit > 0 && reply->m_buffered >= qMax(limit, MinPauseBuffer)) {
        // curl keeps these bytes and offers them again once resumed.
        reply->m_paused = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    reply->m_chunks.append(QByteArray(data, int(bytes)));
    reply->m_buffered += qint64(bytes);
    reply->m_received += qint64(bytes);
    reply->m_bodyPending = true;
    if (reply->m_multi)
        reply->m_multi->touch(reply);
    return bytes;
}

qint64 CCurlReply::bytesAvailable() const
{
    return QNetworkReply::bytesAvailable() + m_buffered;
}

qint64 CCurlReply::readData(char *data, qint64 maxSize)
{
    qint64 total = 0;
    while (total < maxSize && !m_chunks.isEmpty()) {
        QByteArray &front = m_chunks.first();
        const qint64 take = qMin<qint64>(front.size(), maxSize - total);
        std::memcpy(data + total, front.constData(), size_t(take));
        total += take;
        if (take == front.size())
            m_chunks.removeFirst();
        else
            front.remove(0, int(take));
    }
    m_buffered -= total;
    resumeIfRoom();
    if (total == 0 && m_finished)
        return -1;
    return total;
}

void CCurlReply::setReadBufferSize(qint64 size)
{
    QNetworkReply::setReadBufferSize(size);
    resumeIfRoom();
}

void CCurlReply::resumeIfRoom()
{
    const qint64 limit = readBufferSize();
    if (!m_paused || m_resumeQueued || (limit > 0 && m_buffered >= qMax(limit, MinPauseBuffer)))
        return;
    m_resumeQueued = true;
    // Never from inside the reader's call: resuming may hand over bytes at once.
    QMetaObject::invokeMethod(this, [this] {
        m_resumeQueued = false;
        if (!m_paused || m_finished || !m_multi)
            return;
        m_paused = false;
        m_multi->resume(m_easy);
    }, Qt::QueuedConnection);
}

void CCurlReply::transferDone(CURLcode result)
{
    m_done = true;
    m_result = result;
    // A refusal held back in case curl answered it, which it did not, and which
    // had no body to make it known.
    if (result == CURLE_OK && !m_headersTaken && m_sectionStatus >= 200)
        takeHeaders();
}

void CCurlReply::publish()
{
    if (m_finished)
        return;
    QPointer<CCurlReply> alive(this);
    if (m_metaDataPending) {
        m_metaDataPending = false;
        emit metaDataChanged();
        if (!alive || m_finished)
            return;
    }
    if (m_bodyPending) {
        m_bodyPending = false;
        emit readyRead();
        if (!alive || m_finished)
            return;
        // After readyRead, as Qt's own does: a receiver of the progress finds what it
        // counts already taken by whoever reads the body.
        emit downloadProgress(m_received, m_bodyTotal);
        if (!alive || m_finished)
            return;
    }
    if (m_done)
        finishTransfer();
}

void CCurlReply::finishTransfer()
{
    if (m_headersTooLarge) {
        finishWithError(ProtocolFailure, tr("HTTP header section too large"));
        return;
    }
    if (m_result != CURLE_OK) {
        long connectStatus = 0;
        curl_easy_getinfo(m_easy, CURLINFO_HTTP_CONNECTCODE, &connectStatus);
        const QString text = m_errorBuffer[0] ? QString::fromUtf8(m_errorBuffer)
                                              : QString::fromUtf8(curl_easy_strerror(m_result));
        NetworkError code = UnknownNetworkError;
        switch (m_result) {
        case CURLE_COULDNT_RESOLVE_PROXY: code = ProxyNotFoundError; break;
        case CURLE_COULDNT_RESOLVE_HOST: code = HostNotFoundError; break;
        case CURLE_COULDNT_CONNECT: code = m_viaProxy ? ProxyConnectionRefusedError : ConnectionRefusedError; break;
        case CURLE_OPERATION_TIMEDOUT: code = TimeoutError; break;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS: code = SslHandshakeFailedError; break;
        case CURLE_PARTIAL_FILE:
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
        case CURLE_GOT_NOTHING: code = RemoteHostClosedError; break;
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM:
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_UNSUPPORTED_PROTOCOL: code = ProtocolFailure; break;
        default: break;
        }
        // A tunnel the proxy refused: its answer says why.
        if (m_viaProxy && connectStatus == 407)
            code = ProxyAuthenticationRequiredError;
        else if (m_viaProxy && connectStatus >= 300)
            code = UnknownProxyError;
        // Qt's words for a failed handshake, which callers have always seen; curl's
        // reason goes to the log.
        if (code == SslHandshakeFailedError) {
            qWarning("%s: %s", qPrintable(url().host()), qPrintable(text));
            finishWithError(code, tr("SSL handshake failed"));
            return;
        }
        finishWithError(code, text);
        return;
    }
    const int status = attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const NetworkError code = networkErrorForStatus(status);
    if (code != NoError) {
        finishWithError(code, statusErrorText(this));
        return;
    }
    // Like Qt's own: a body of unknown length reports its final size as the total.
    if (m_bodyTotal < 0) {
        QPointer<CCurlReply> alive(this);
        emit downloadProgress(m_received, m_received);
        if (!alive || m_finished)
            return;
    }
    m_finished = true;
    setFinished(true);
    emit finished();
}

void CCurlReply::finishWithError(NetworkError code, const QString &message)
{
    if (m_finished)
        return;
    m_finished = true;
    setError(code, message);
    setFinished(true);
    QPointer<CCurlReply> alive(this);
    emit errorOccurred(code);
    if (alive)
        emit finished();
}

void CCurlReply::abort()
{
    if (m_finished)
        return;
    if (m_multi && m_easy)
        m_multi->remove(m_easy);
    finishWithError(OperationCanceledError, tr("Operation canceled"));
    close();
}
