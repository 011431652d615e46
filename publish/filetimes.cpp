#include "publish/filetimes.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

namespace {

qint64 modifiedSecond(const QFileInfo &info)
{
    return info.lastModified().toSecsSinceEpoch();
}

bool setModifiedSecond(QFileDevice &file, qint64 second, QString &error)
{
    if (file.setFileTime(QDateTime::fromSecsSinceEpoch(second, Qt::UTC), QFileDevice::FileModificationTime))
        return true;
    error = QStringLiteral("cannot set the modification time of \"%1\": %2").arg(file.fileName(), file.errorString());
    return false;
}

bool sameBytes(const QString &a, const QString &b)
{
    QFile first(a);
    QFile second(b);
    if (first.size() != second.size() || !first.open(QIODevice::ReadOnly) || !second.open(QIODevice::ReadOnly))
        return false;
    constexpr qint64 Chunk = 1024 * 1024;
    while (!first.atEnd()) {
        const QByteArray chunk = first.read(Chunk);
        if (chunk.isEmpty() || chunk != second.read(Chunk))
            return false;
    }
    return true;
}

} // namespace

bool outdateReplacedFile(QFileDevice &file, const QByteArray &bytes, const QString &replacedPath, QString &error)
{
    const QFileInfo replaced(replacedPath);
    if (!replaced.isFile())
        return true;
    QFile old(replacedPath);
    if (old.size() == bytes.size() && old.open(QIODevice::ReadOnly) && old.readAll() == bytes)
        return true;
    if (!file.flush()) {
        error = QStringLiteral("cannot write \"%1\": %2").arg(file.fileName(), file.errorString());
        return false;
    }
    // Read once the bytes are in the file, so its time is no later than this.
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    return setModifiedSecond(file, qMax(now, modifiedSecond(replaced) + 1), error);
}

bool outdateReplacedTree(const QString &newDir, const QString &oldDir, QString &error)
{
    QDirIterator it(newDir, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo replaced(QDir(oldDir).filePath(QDir(newDir).relativeFilePath(path)));
        if (!replaced.isFile())
            continue;
        const qint64 replacedSecond = modifiedSecond(replaced);
        if (replacedSecond < modifiedSecond(it.fileInfo()) || sameBytes(path, replaced.filePath()))
            continue;
        // Opened for writing as Windows requires to set a time; nothing is written.
        QFile file(path);
        if (!file.open(QIODevice::ReadWrite)) {
            error = QStringLiteral("cannot open \"%1\": %2").arg(path, file.errorString());
            return false;
        }
        if (!setModifiedSecond(file, replacedSecond + 1, error))
            return false;
    }
    return true;
}
