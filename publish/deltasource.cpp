#include "publish/deltasource.h"

#include "publish/descriptor.h"
#include "publish/pathencoding.h"
#include "publish/pathrules.h"
#include "update/filelist.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>

bool DeltaSource::open(const QString &dir, QTextCodec *codec, QString &message)
{
    const QFileInfo info(dir);
    if (!info.isDir()) {
        message = QStringLiteral("--delta-from \"%1\" is not a folder").arg(dir);
        return false;
    }
    m_dir = info.canonicalFilePath();
    m_release.clear();
    m_listed.clear();
    if (QFileInfo::exists(QDir(m_dir).filePath(QStringLiteral("update.ini"))) && !openRoot(dir, message))
        return false;
    QFile list(QDir(m_dir).filePath(QStringLiteral("md5.txt")));
    m_published = list.exists();
    if (!m_published)
        return true;
    if (!list.open(QIODevice::ReadOnly)) {
        message = QStringLiteral("--delta-from \"%1\": cannot read md5.txt: %2").arg(dir, list.errorString());
        return false;
    }
    // One short line per file, read whole as the updater reads it. A line that the
    // updater would skip names no base: its file is simply not patched from.
    const QList<QByteArray> lines = list.readAll().split('\n');
    for (QByteArray line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
        const QList<QByteArray> fields = line.split('\t');
        if (fields.size() != 3 || fields.at(0).size() != 32 || fields.at(1).size() != 16)
            continue;
        bool ok = false;
        const quint64 raw = fields.at(1).toULongLong(&ok, 16);
        Base base;
        QString path;
        if (!ok || !decodeListPath(fields.at(2), codec, path) || !isSafeRelativePath(path))
            continue;
        base.filePath = QDir(m_dir).filePath(path);
        base.size = (raw << 32) | (raw >> 32);
        base.md5 = fields.at(0);
        m_listed.insert(path, base);
    }
    return true;
}

bool DeltaSource::openRoot(const QString &dir, QString &message)
{
    // The folder that a release was published into holds no file of it: its
    // descriptor says which version folder the clients were sent to.
    UpdateDescriptor descriptor;
    if (!readUpdateDescriptor(QDir(m_dir).filePath(QStringLiteral("update.ini")), descriptor)) {
        message = QStringLiteral("--delta-from \"%1\": update.ini cannot be read as INI").arg(dir);
        return false;
    }
    const QFileInfo version(QDir(m_dir).filePath(descriptor.folder));
    if (descriptor.folder.contains(QLatin1Char('/')) || descriptor.folder.contains(QLatin1Char('\\'))
        || !isSafeRelativePath(descriptor.folder) || !version.isDir()) {
        message = QStringLiteral("--delta-from \"%1\": update.ini names the version folder \"%2\", which is not "
                                 "there").arg(dir, displayPath(descriptor.folder));
        return false;
    }
    m_dir = version.canonicalFilePath();
    m_release = descriptor.folder;
    if (!QFileInfo::exists(QDir(m_dir).filePath(QStringLiteral("md5.txt")))) {
        message = QStringLiteral("--delta-from \"%1\": \"%2\" holds no md5.txt").arg(dir, version.filePath());
        return false;
    }
    return true;
}

bool DeltaSource::find(const QString &path, Base &base) const
{
    if (m_published) {
        const auto listed = m_listed.constFind(path);
        if (listed == m_listed.cend() || !QFileInfo(listed->filePath).isFile())
            return false;
        base = *listed;
        return true;
    }
    const QFileInfo info(QDir(m_dir).filePath(path));
    if (!info.isFile())
        return false;
    base.filePath = info.filePath();
    base.size = quint64(info.size());
    base.md5.clear();
    return true;
}
