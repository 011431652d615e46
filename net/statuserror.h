#pragma once

#include <QNetworkReply>
#include <QString>

/// Qt's error code for an answer's HTTP status, as Qt's own reply sets it: NoError
/// below 400, so that callers see the same codes from every reply of ours.
QNetworkReply::NetworkError networkErrorForStatus(int status);

/// Qt's text for a reply that failed by its status: the address and the reason
/// phrase the server gave.
QString statusErrorText(const QNetworkReply *reply);
