#include "update/filelist.h"

#include <QList>
#include <QStringList>

namespace {

// The size field stores its two 32-bit halves in little-endian word order, the
// same arrangement as the MD5 text; rotating by 32 bits converts either way.
quint64 swapHalves(quint64 value)
{
    return (value << 32) | (value >> 32);
}

} // namespace

UpdateFileMap parseFileList(QByteArray text)
{
    UpdateFileMap files;
    const QList<QByteArray> lines = text.split('\n');
    for (QByteArray line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
        const QList<QByteArray> fields = line.split('\t');
        if (fields.size() != 3)
            continue;

        UpdateFileEntry entry;
        entry.md5 = fields.at(0);
        bool ok = false;
        const quint64 raw = fields.at(1).toULongLong(&ok, 16);
        entry.size = swapHalves(ok ? raw : 0);

        QString path = QString::fromLocal8Bit(fields.at(2));
        path.replace(QLatin1Char('\\'), QLatin1Char('/'));
        if (path.startsWith(QLatin1Char('/')))
            path.remove(0, 1);
        // A list comes from the network; a path that could reach outside the
        // installation (or name the installation folder itself) is never acted on.
        if (!isSafeRelativePath(path))
            continue;
        entry.path = path;
        files.insert(entry.path, entry);
    }
    return files;
}

bool isSafeRelativePath(const QString &path)
{
    if (path.isEmpty() || path.startsWith(QLatin1Char('/')) || path.startsWith(QLatin1Char('\\')))
        return false;
    if (path.contains(QLatin1Char(':')) || path.contains(QChar(0)))
        return false;
    const QStringList components = path.split(QLatin1Char('/'));
    for (const QString &component : components) {
        if (component.isEmpty() || component == QLatin1String(".") || component == QLatin1String(".."))
            return false;
    }
    return true;
}

QByteArray fileListSizeField(quint64 size)
{
    return QByteArray::number(size & 0xffffffffu, 16).rightJustified(8, '0')
         + QByteArray::number(size >> 32, 16).rightJustified(8, '0');
}

QByteArray fileListLine(const QByteArray &md5, quint64 size, const QByteArray &encodedPath)
{
    return md5 + '\t' + fileListSizeField(size) + '\t' + encodedPath;
}
