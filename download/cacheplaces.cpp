#include "download/cacheplaces.h"

#include <QDir>
#include <QFileInfo>

bool removeTree(const QString &path)
{
    if (isLinkPlace(path))
        return removeLinkPlace(path);
    const QFileInfo info(path);
    if (!info.isDir())
        return !info.exists() || QFile::remove(path);
    // QDir::removeRecursively() would enter a Windows junction as a folder and
    // empty the folder it points to.
    QDir dir(path);
    bool removed = true;
    const QStringList names = dir.entryList(QDir::AllEntries | QDir::Hidden | QDir::System
                                            | QDir::NoDotAndDotDot);
    for (const QString &name : names)
        removed = removeTree(dir.filePath(name)) && removed;
    return removed && QDir().rmdir(path);
}
