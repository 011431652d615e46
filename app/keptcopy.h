#pragma once

#include "net/httprequest.h"

#include <QByteArray>
#include <QDir>
#include <QString>
#include <QUrl>

/// A document of the server kept in the cache with the validators it came with
/// (ETag, Last-Modified), so that the next run can ask for it conditionally: a 304
/// then costs a few hundred bytes instead of the document. The kept bytes are
/// treated exactly as fresh ones by the caller, so a copy that someone changed in
/// the cache fails the same checks as a forged answer would.
class KeptCopy
{
public:
    /// The copy of the document at url, kept under name in the cache's "#kept"
    /// folder (release paths cannot hold "#", so no release file lies there).
    KeptCopy(const QDir &cacheDir, const QString &name, const QUrl &url);

    /// If-None-Match for a strong ETag, else If-Modified-Since; nothing when no copy
    /// of this very address is kept, or the server gave no validator for it.
    RawHeaderMap conditionalHeaders() const;
    /// The kept bytes, at most maxSize of them. False when they cannot be read whole.
    bool read(qint64 maxSize, QByteArray &bytes) const;
    /// Keeps bytes with the validators of responseHeaders; a document that came
    /// without one is not kept, and any older copy is dropped.
    void keep(const QByteArray &bytes, const RawHeaderMap &responseHeaders) const;
    /// Drops the copy and its validators.
    void drop() const;

private:
    QString m_bodyPath;
    QString m_validatorPath;
    QUrl m_url;
};
