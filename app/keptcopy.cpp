#include "app/keptcopy.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace {

// The validators file: the address, the ETag and the Last-Modified value, one a
// line. Header values never hold a line end.
constexpr qint64 MaxValidatorsSize = 8 * 1024;

bool writeWhole(const QString &path, const QByteArray &bytes)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

} // namespace

KeptCopy::KeptCopy(const QDir &cacheDir, const QString &name, const QUrl &url)
    : m_bodyPath(cacheDir.absoluteFilePath(QStringLiteral("#kept/") + name)),
      m_validatorPath(m_bodyPath + QStringLiteral(".validators")),
      m_url(url)
{
}

RawHeaderMap KeptCopy::conditionalHeaders() const
{
    RawHeaderMap headers;
    QFile file(m_validatorPath);
    if (!QFile::exists(m_bodyPath) || !file.open(QIODevice::ReadOnly))
        return headers;
    const QList<QByteArray> lines = file.read(MaxValidatorsSize).split('\n');
    if (lines.size() < 3 || lines.at(0) != m_url.toEncoded())
        return headers;
    const QByteArray etag = lines.at(1);
    // A weak ETag only says the content is equivalent; a server need not answer a
    // weak If-None-Match with 304 for the same bytes, nor promise them.
    if (etag.startsWith('"'))
        headers.insert("If-None-Match", etag);
    else if (!lines.at(2).isEmpty())
        headers.insert("If-Modified-Since", lines.at(2));
    return headers;
}

bool KeptCopy::read(qint64 maxSize, QByteArray &bytes) const
{
    QFile file(m_bodyPath);
    if (!file.open(QIODevice::ReadOnly) || file.size() > maxSize)
        return false;
    bytes = file.read(maxSize + 1);
    return bytes.size() <= maxSize && file.error() == QFileDevice::NoError;
}

void KeptCopy::keep(const QByteArray &bytes, const RawHeaderMap &responseHeaders) const
{
    const QByteArray etag = rawHeaderValue(responseHeaders, "ETag");
    const QByteArray lastModified = rawHeaderValue(responseHeaders, "Last-Modified");
    if ((etag.isEmpty() && lastModified.isEmpty()) || etag.contains('\n') || lastModified.contains('\n')) {
        drop();
        return;
    }
    // A folder that is a link could lead the writes anywhere: a cache outside the
    // installation may be open to other users.
    const QFileInfo folder(QFileInfo(m_bodyPath).path());
    if (folder.isSymLink() || (folder.exists() && !folder.isDir()))
        return;
    QDir().mkpath(folder.filePath());
    // The validators go last: they never name bytes other than the ones kept.
    QFile::remove(m_validatorPath);
    if (writeWhole(m_bodyPath, bytes))
        writeWhole(m_validatorPath, m_url.toEncoded() + '\n' + etag + '\n' + lastModified + '\n');
}

void KeptCopy::drop() const
{
    QFile::remove(m_validatorPath);
    QFile::remove(m_bodyPath);
}
