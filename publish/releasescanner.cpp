#include "publish/releasescanner.h"

#include "publish/pathencoding.h"
#include "publish/pathrules.h"
#include "update/windowsnames.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>

ReleaseScanner::ReleaseScanner(const QString &root, const QStringList &excludes, QTextCodec *codec)
    : m_root(root)
    , m_excludes(excludes)
    , m_codec(codec)
{
}

bool ReleaseScanner::scan()
{
    m_files.clear();
    m_problems.clear();
    walk(m_root, QString());
    checkLetterCase();
    if (m_files.isEmpty() && m_problems.isEmpty())
        m_problems.insert(QString(), QStringLiteral("RELEASE_DIR holds no file to publish"));
    return m_problems.isEmpty();
}

QStringList ReleaseScanner::problems() const
{
    QStringList lines;
    for (auto it = m_problems.cbegin(); it != m_problems.cend(); ++it) {
        if (it.key().isEmpty())
            lines.append(it.value());
        else
            lines.append(QStringLiteral("\"%1\": %2").arg(displayPath(it.key()), it.value()));
    }
    return lines;
}

quint64 ReleaseScanner::totalBytes() const
{
    quint64 total = 0;
    for (const ReleaseFile &file : m_files)
        total += file.size;
    return total;
}

void ReleaseScanner::walk(const QString &folder, const QString &prefix)
{
    const QDir dir(folder);
    const QFileInfoList entries = dir.entryInfoList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo &entry : entries) {
        const QString path = prefix + entry.fileName();
        const bool isFolder = entry.isDir();
        if (isExcluded(path, isFolder))
            continue;
        if (entry.isSymLink() && !entry.exists()) {
            refuse(path, QStringLiteral("is a broken symbolic link"));
        } else if (isFolder) {
            // Following a linked folder could publish a tree twice or loop forever.
            if (entry.isSymLink())
                refuse(path, QStringLiteral("is a symbolic link to a folder, which is not followed"));
            else if (!entry.isReadable() || !entry.isExecutable())
                refuse(path, QStringLiteral("cannot read this folder"));
            else
                walk(entry.filePath(), path + QLatin1Char('/'));
        } else if (!entry.isFile()) {
            refuse(path, QStringLiteral("is not a regular file"));
        } else {
            addFile(path, entry.absoluteFilePath());
        }
    }
}

void ReleaseScanner::addFile(const QString &path, const QString &sourcePath)
{
    const QString problem = publishPathProblem(path);
    if (!problem.isEmpty()) {
        refuse(path, problem);
        return;
    }
    ReleaseFile file;
    QString reason;
    if (!encodeListPath(path, m_codec, file.listPath, reason)) {
        refuse(path, reason);
        return;
    }
    QFile probe(sourcePath);
    if (!probe.open(QIODevice::ReadOnly)) {
        refuse(path, QStringLiteral("cannot read this file: %1").arg(probe.errorString()));
        return;
    }
    file.path = path;
    file.sourcePath = sourcePath;
    file.size = static_cast<quint64>(probe.size());
    m_files.insert(path, file);
}

void ReleaseScanner::checkLetterCase()
{
    // Windows keeps one file (or folder) for names that differ only in case, so a
    // client would end up with whichever copy happens to arrive last.
    QHash<QString, QString> files;
    QHash<QString, QString> folders;
    for (const ReleaseFile &file : qAsConst(m_files)) {
        const QStringList names = file.path.split(QLatin1Char('/'));
        QString folder;
        for (int i = 0; i + 1 < names.size(); ++i) {
            folder += (i ? QStringLiteral("/") : QString()) + names.at(i);
            folders.insert(windowsUpcase(folder), folder);
        }
    }
    for (const ReleaseFile &file : qAsConst(m_files)) {
        const QString folded = windowsUpcase(file.path);
        const auto known = files.constFind(folded);
        if (known != files.constEnd()) {
            refuse(file.path, QStringLiteral("differs only in letter case from \"%1\" (one file on Windows)")
                                  .arg(displayPath(known.value())));
            continue;
        }
        files.insert(folded, file.path);
        const auto folder = folders.constFind(folded);
        if (folder != folders.constEnd()) {
            refuse(file.path, QStringLiteral("differs only in letter case from the folder \"%1\" (one name on Windows)")
                                  .arg(displayPath(folder.value())));
        }
    }
}

bool ReleaseScanner::isExcluded(const QString &path, bool isFolder) const
{
    if (isExcludedByDefault(path, isFolder))
        return true;
    for (const QString &glob : m_excludes) {
        if (matchesExcludeGlob(glob, path, isFolder))
            return true;
    }
    return false;
}

void ReleaseScanner::refuse(const QString &path, const QString &reason)
{
    if (!m_problems.contains(path))
        m_problems.insert(path, reason);
}
