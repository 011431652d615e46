#include "net/httprequest.h"

#include "net/proxychoice.h"
#include "net/userpart.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

#include <limits>

namespace {

// The most unread body the reply holds at a time.
constexpr qint64 ReadBufferSize = 1024 * 1024;

// timeoutSeconds * 1000 does not fit an int above 2,147,483 s; such a wait is
// "practically forever", so it is clamped instead of overflowing.
int timeoutMilliseconds(int timeoutSeconds)
{
    const qint64 ms = static_cast<qint64>(timeoutSeconds) * 1000;
    return static_cast<int>(qMin<qint64>(ms, std::numeric_limits<int>::max()));
}

int statusOf(const QNetworkReply *reply)
{
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

/// Collects one reply's body while it arrives and stops it at the first sign that
/// it cannot be a complete, plain document within the limit.
class BodyCollector
{
public:
    BodyCollector(QNetworkReply *reply, qint64 maxBodySize, QEventLoop &loop)
        : m_reply(reply), m_maxBodySize(maxBodySize), m_loop(loop)
    {
    }

    /// The headers have arrived: refuse an encoded or announced oversized body
    /// before any of it is read.
    void onMetaData()
    {
        if (!m_failure.isEmpty() || statusOf(m_reply) != 200)
            return;
        const QByteArray encoding = m_reply->rawHeader("Content-Encoding").trimmed();
        if (!encoding.isEmpty() && encoding.toLower() != "identity") {
            failEarly(QObject::tr("不支持的内容编码:%1").arg(QString::fromLatin1(encoding)));
            return;
        }
        bool known = false;
        const qint64 announced = m_reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&known);
        if (known && m_maxBodySize > 0 && announced > m_maxBodySize)
            failEarly(tooLarge());
    }

    void onReadyRead()
    {
        if (!m_failure.isEmpty())
            return;
        if (statusOf(m_reply) != 200) {
            // Failed anyway; drain so that an endless error page cannot fill memory.
            m_reply->skip(m_reply->bytesAvailable());
            return;
        }
        const qint64 available = m_reply->bytesAvailable();
        if (available <= 0)
            return;
        const qint64 held = m_body.size();
        if (m_maxBodySize > 0 && held + available > m_maxBodySize) {
            failEarly(tooLarge());
            return;
        }
        // Room for the announced length, or for the whole limit, at once: a body that
        // grows by reallocation would briefly need its old and its new block.
        if (held == 0 && m_maxBodySize > 0) {
            bool known = false;
            const qint64 announced =
                    m_reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&known);
            m_body.reserve(static_cast<int>(known ? qMin(announced, m_maxBodySize) : m_maxBodySize));
        }
        m_body.resize(static_cast<int>(held + available));
        const qint64 got = m_reply->read(m_body.data() + held, available);
        m_body.resize(static_cast<int>(held + qMax<qint64>(got, 0)));
    }

    QString failure() const { return m_failure; }
    QByteArray body() const { return m_body; }

private:
    QString tooLarge() const
    {
        return QObject::tr("内容超过%1字节的上限").arg(m_maxBodySize);
    }

    void failEarly(const QString &text)
    {
        m_failure = text;
        m_body.clear();
        m_loop.quit();
    }

    QNetworkReply *m_reply;
    qint64 m_maxBodySize;
    QEventLoop &m_loop;
    QByteArray m_body;
    QString m_failure;
};

// A finished 200 without error can still be short: Qt 5.15 sends a request again
// when the connection is reset while a body is being read, and may then finish the
// reply with the part received so far and no error. The announced length is the
// only thing that tells.
bool hasAnnouncedLength(const QNetworkReply *reply, qint64 received, QString &errorText)
{
    bool known = false;
    const qint64 announced = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&known);
    if (!known || announced == received)
        return true;
    errorText = QObject::tr("内容不完整:收到%1字节，应为%2字节").arg(received).arg(announced);
    return false;
}

// A reply without a transport error that still is not a 200 (a redirection, 204,
// 206) has no error text of its own; Qt would call it "Unknown error". "HTTP 404
// Not Found" is also what a 4xx or 5xx answer comes to.
QString statusText(const QNetworkReply *reply)
{
    const QByteArray reason =
            reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toByteArray().trimmed();
    QString text = QStringLiteral("HTTP %1").arg(statusOf(reply));
    if (!reason.isEmpty())
        text += QLatin1Char(' ') + QString::fromLatin1(reason);
    return text;
}

} // namespace

QByteArray rawHeaderValue(const RawHeaderMap &headers, const QByteArray &name)
{
    for (auto it = headers.cbegin(); it != headers.cend(); ++it) {
        if (it.key().compare(name, Qt::CaseInsensitive) == 0)
            return it.value().trimmed();
    }
    return QByteArray();
}

bool sendHttpRequest(QNetworkAccessManager *manager, QUrl url, QByteArray &responseBody,
                     QString &errorText, int timeoutSeconds, RawHeaderMap requestHeaders,
                     QByteArray verb, QByteArray body, RawHeaderMap *responseHeaders,
                     qint64 maxBodySize, int *statusCode)
{
    const bool conditional = requestHeaders.contains("If-None-Match")
        || requestHeaders.contains("If-Modified-Since");
    QNetworkRequest request(url);
    // Asking for the identity encoding keeps Qt from inflating anything: a small
    // compressed body could otherwise expand to gigabytes in memory.
    request.setRawHeader("Accept-Encoding", "identity");
    for (auto it = requestHeaders.cbegin(); it != requestHeaders.cend(); ++it)
        request.setRawHeader(it.key(), it.value());

    // Qt's own manager always returns a reply; no manager at all is the one way a
    // caller can end up without one.
    QNetworkReply *reply = manager ? manager->sendCustomRequest(request, verb, body) : nullptr;
    if (!reply) {
        errorText = QObject::tr("发送请求失败");
        return false;
    }
    // Without a limit Qt 5.15 keeps reading an endless chunked body in its network
    // thread and never hands any of it over; a small one makes it wait tens of
    // milliseconds per chunk.
    reply->setReadBufferSize(ReadBufferSize);

    QEventLoop loop;
    BodyCollector collector(reply, maxBodySize, loop);
    QObject::connect(reply, &QNetworkReply::metaDataChanged, &loop, [&] { collector.onMetaData(); });
    QObject::connect(reply, &QNetworkReply::readyRead, &loop, [&] { collector.onReadyRead(); });
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    if (timeoutSeconds >= 1)
        QTimer::singleShot(timeoutMilliseconds(timeoutSeconds), &loop, &QEventLoop::quit);
    if (!reply->isFinished())
        loop.exec(QEventLoop::AllEvents);
    // Whatever arrived together with the finish is still unread.
    if (reply->isFinished())
        collector.onReadyRead();
    reply->disconnect(&loop);

    bool success = false;
    if (!collector.failure().isEmpty()) {
        errorText = collector.failure();
    } else if (!reply->isFinished()) {
        errorText = QObject::tr("网络超时");
    } else if (reply->error() != QNetworkReply::NoError) {
        // A connection that broke after the status line leaves status 200 with an
        // error and a partial body. Qt's texts for a proxy's refusal do not say
        // which proxy, or say "Unknown error"; for an HTTP error they name the
        // whole address, user part included, where the status says it all.
        errorText = ProxyChoice::failureText(reply, manager);
        if (errorText.isEmpty() && statusOf(reply) >= 400)
            errorText = statusText(reply);
        if (errorText.isEmpty())
            errorText = withoutUserParts(reply->errorString());
    } else if (conditional && statusOf(reply) == 304) {
        success = true;
    } else if (statusOf(reply) != 200) {
        errorText = statusText(reply);
    } else if (hasAnnouncedLength(reply, collector.body().size(), errorText)) {
        success = true;
    }

    // A refusal's headers matter too: Retry-After comes with a 429 or a 503.
    if (statusCode)
        *statusCode = reply->isFinished() ? statusOf(reply) : 0;
    if (responseHeaders && reply->isFinished()) {
        const QList<QNetworkReply::RawHeaderPair> pairs = reply->rawHeaderPairs();
        for (const QNetworkReply::RawHeaderPair &pair : pairs)
            responseHeaders->insert(pair.first, pair.second);
    }
    if (success)
        responseBody = collector.body();
    // Never abort: the manager may still be using the reply; deferred deletion
    // releases it on a later turn of this thread's loop.
    reply->deleteLater();
    return success;
}
