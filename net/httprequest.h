#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QUrl>

class QNetworkAccessManager;
class QNetworkRequest;

/// Raw header names to values; byte-wise ordered, names compared exactly.
using RawHeaderMap = QMap<QByteArray, QByteArray>;

/// Performs one HTTP exchange and waits for it in a local event loop. True only for
/// a complete, unencoded reply with status 200: responseBody then holds the whole
/// body. On failure errorText gets the reason and responseBody is left as it was. A
/// timeoutSeconds of 0 or less waits without limit; a maxBodySize above 0 fails a
/// body as soon as its announced or received length passes it.
/// A request that carries If-None-Match or If-Modified-Since also succeeds with a
/// 304, responseBody then empty. responseHeaders and statusCode receive what the
/// server answered, also when the answer is a failure (0: no answer at all).
bool sendHttpRequest(QNetworkAccessManager *manager, QUrl url, QByteArray &responseBody,
                     QString &errorText, int timeoutSeconds, RawHeaderMap requestHeaders,
                     QByteArray verb, QByteArray body, RawHeaderMap *responseHeaders = nullptr,
                     qint64 maxBodySize = 0, int *statusCode = nullptr);

/// The value of the header name in headers, names compared without regard to
/// letter case as HTTP wants; empty when it is missing.
QByteArray rawHeaderValue(const RawHeaderMap &headers, const QByteArray &name);
