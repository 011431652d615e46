#include "update/httprequest.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

#include <limits>

namespace {

// timeoutSeconds * 1000 does not fit an int above 2,147,483 s; such a wait is
// "practically forever", so it is clamped instead of overflowing.
int timeoutMilliseconds(int timeoutSeconds)
{
    const qint64 ms = static_cast<qint64>(timeoutSeconds) * 1000;
    return static_cast<int>(qMin<qint64>(ms, std::numeric_limits<int>::max()));
}

} // namespace

bool sendHttpRequest(QNetworkAccessManager *manager, QUrl url, QByteArray &responseBody,
                     QString &errorText, int timeoutSeconds, RawHeaderMap requestHeaders,
                     QByteArray verb, QByteArray body, RawHeaderMap *responseHeaders)
{
    QNetworkRequest request(url);
    for (auto it = requestHeaders.cbegin(); it != requestHeaders.cend(); ++it)
        request.setRawHeader(it.key(), it.value());

    // Qt's own manager always returns a reply; no manager at all is the one way a
    // caller can end up without one.
    QNetworkReply *reply = manager ? manager->sendCustomRequest(request, verb, body) : nullptr;
    if (!reply) {
        errorText = QObject::tr("发送请求失败");
        return false;
    }

    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    if (timeoutSeconds >= 1)
        QTimer::singleShot(timeoutMilliseconds(timeoutSeconds), &loop, &QEventLoop::quit);
    loop.exec(QEventLoop::AllEvents);

    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    // A 200 alone is not enough: a connection that broke after the status line
    // leaves status 200 with an error and a partial body, and a time-out can end
    // the wait after the status line but before the body is complete. Either
    // would hand a truncated descriptor or list to the caller. (Qt 5.15 may still
    // finish a chunked reply cut before its last chunk without error; nothing here
    // can tell, but a plain file server sends a Content-Length, which Qt checks.)
    if (reply->isFinished() && status == 200 && reply->error() == QNetworkReply::NoError) {
        if (responseHeaders) {
            const QList<QNetworkReply::RawHeaderPair> pairs = reply->rawHeaderPairs();
            for (const QNetworkReply::RawHeaderPair &pair : pairs)
                responseHeaders->insert(pair.first, pair.second);
        }
        responseBody = reply->readAll();
        reply->deleteLater();
        return true;
    }

    if (reply->isFinished())
        errorText = reply->errorString();
    else
        errorText = QObject::tr("网络超时");
    // Never abort: the manager may still be using the reply; deferred deletion
    // releases it on a later turn of this thread's loop.
    reply->deleteLater();
    return false;
}
