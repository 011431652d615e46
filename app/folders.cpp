#include "app/folders.h"

#include "update/windowsnames.h"

#include <QFileInfo>

namespace {

#ifdef Q_OS_WIN
constexpr bool CaseBlind = true;
#else
constexpr bool CaseBlind = false;
#endif

} // namespace

// A link or a "bin/.." spelling must not hide that two paths meet.
QString comparablePath(const QString &path)
{
    const QString clean = QDir::cleanPath(QDir(path).absolutePath());
    QString head = clean;
    QString tail;
    while (!QFileInfo::exists(head)) {
        const QString parent = QFileInfo(head).path();
        if (parent == head)
            return clean;
        tail = QFileInfo(head).fileName() + (tail.isEmpty() ? QString() : QLatin1Char('/') + tail);
        head = parent;
    }
    const QString canonical = QFileInfo(head).canonicalFilePath();
    if (canonical.isEmpty())
        return clean;
    return tail.isEmpty() ? canonical : QDir::cleanPath(canonical + QLatin1Char('/') + tail);
}

bool makeDirectory(QDir &dir)
{
    const QString full = QDir::cleanPath(dir.absolutePath());
    QString ancestor = full;
    while (!QFileInfo(ancestor).isDir()) {
        const QString parent = QFileInfo(ancestor).path();
        if (parent == ancestor)
            break; // reached the root of the path
        ancestor = parent;
    }
    QDir base(ancestor);
    const QString missing = base.relativeFilePath(full);
    if (!missing.isEmpty() && missing != QLatin1String("."))
        base.mkpath(missing);
    dir.setPath(full);
    return dir.exists();
}

QDir installationRoot(const QString &exeDir)
{
    QDir root(exeDir);
    if (root.isRelative())
        root.makeAbsolute();
    if (!root.exists())
        makeDirectory(root);
    if (root.dirName().compare(QLatin1String("bin"), Qt::CaseInsensitive) == 0)
        root.setPath(QFileInfo(QDir::cleanPath(root.absolutePath())).path());
    return root;
}

bool isSameOrInside(const QString &path, const QString &folder)
{
    return isSameOrInsideComparable(comparablePath(path), comparablePath(folder));
}

bool isSameOrInsideComparable(const QString &inner, const QString &outer)
{
    const QString in = CaseBlind ? windowsUpcase(inner) : inner;
    const QString out = CaseBlind ? windowsUpcase(outer) : outer;
    if (in == out)
        return true;
    return in.startsWith(out.endsWith(QLatin1Char('/')) ? out : out + QLatin1Char('/'));
}
