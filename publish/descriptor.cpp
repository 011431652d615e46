#include "publish/descriptor.h"

#include "update/inivalues.h"
#include "update/packindex.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>

namespace {

const QString TypeKey = QStringLiteral("Summary/UpdateType");
const QString FolderKey = QStringLiteral("Version/Folder");
const QString VersionKey = QStringLiteral("Version/Version");
const QString ListKey = QStringLiteral("Version/List");
const QString RolloutKey = QStringLiteral("Version/Rollout");
const QString ReleaseGroup = QStringLiteral("Release");
// What the updater reads of a descriptor at most.
constexpr qint64 MaxDescriptorBytes = 64 * 1024;

bool sameRelease(const ReleaseInfo &a, const ReleaseInfo &b)
{
    return a.sequence == b.sequence && a.listHash == b.listHash && a.hashesHash == b.hashesHash
        && a.expires == b.expires;
}

} // namespace

bool readUpdateDescriptor(const QString &filePath, UpdateDescriptor &descriptor)
{
    descriptor = UpdateDescriptor();
    QFile file(filePath);
    if (!QFileInfo(filePath).isFile() || !file.open(QIODevice::ReadOnly))
        return false;
    // The size the updater accepts, and one byte more to see it passed.
    const QByteArray bytes = file.read(MaxDescriptorBytes + 1);
    if (bytes.size() > MaxDescriptorBytes)
        return false;
    const IniValues values(bytes);
    descriptor.updateType = values.value(TypeKey, 1).toInt();
    descriptor.folder = values.value(FolderKey, QStringLiteral("Base")).toString();
    descriptor.version = values.value(VersionKey, QString()).toString();
    descriptor.index = values.value(PackIndexKey, QString()).toString().toLatin1();
    descriptor.list = values.value(ListKey, QString()).toString().toLatin1();
    if (values.contains(RolloutKey)) {
        bool ok = false;
        const int percent = values.value(RolloutKey).toString().toInt(&ok);
        descriptor.rollout = ok && percent >= 0 && percent <= 100 ? percent : -1;
    }
    descriptor.releaseGroup = values.containsGroup(ReleaseGroup);
    if (descriptor.releaseGroup && !readReleaseGroup(values, descriptor.release))
        descriptor.release = ReleaseInfo();
    return values.isWellFormed();
}

bool updateDescriptorBytes(const UpdateDescriptor &descriptor, QByteArray &bytes, QString &errorMessage)
{
    QTemporaryDir scratch;
    if (!scratch.isValid()) {
        errorMessage = QStringLiteral("cannot create a temporary folder: %1").arg(scratch.errorString());
        return false;
    }
    const QString path = scratch.filePath(QStringLiteral("update.ini"));
    {
        QSettings settings(path, QSettings::IniFormat);
        settings.setValue(TypeKey, descriptor.updateType);
        settings.setValue(FolderKey, descriptor.folder);
        settings.setValue(VersionKey, descriptor.version);
        // Only in a release that has an index: clients that know nothing of it
        // read the same descriptor as before.
        if (!descriptor.index.isEmpty())
            settings.setValue(PackIndexKey, QString::fromLatin1(descriptor.index));
        // Unsigned releases have no [Release] List, yet a client that keeps a copy
        // of md5.txt must still tell whether it is the one this descriptor means.
        if (!descriptor.list.isEmpty())
            settings.setValue(ListKey, QString::fromLatin1(descriptor.list));
        // Text like the [Release] values; a full rollout has no key, so clients
        // that know nothing of rollouts read the same descriptor as before.
        if (descriptor.rollout < 100)
            settings.setValue(RolloutKey, QString::number(descriptor.rollout));
        const ReleaseInfo &release = descriptor.release;
        if (release.sequence >= 0) {
            // Plain text values: a number or a date would be written as a typed
            // @Variant that nothing but Qt reads.
            settings.beginGroup(ReleaseGroup);
            settings.setValue(QStringLiteral("Sequence"), QString::number(release.sequence));
            settings.setValue(QStringLiteral("List"), QString::fromLatin1(release.listHash));
            settings.setValue(QStringLiteral("Hashes"), QString::fromLatin1(release.hashesHash));
            if (release.expires.isValid())
                settings.setValue(QStringLiteral("Expires"), release.expires.toString(Qt::ISODate));
            settings.endGroup();
        }
        settings.sync();
        if (settings.status() != QSettings::NoError) {
            errorMessage = QStringLiteral("cannot write the descriptor in %1").arg(scratch.path());
            return false;
        }
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        errorMessage = QStringLiteral("cannot read back %1: %2").arg(path, file.errorString());
        return false;
    }
    bytes = file.readAll();
    file.close();

    UpdateDescriptor readBack;
    if (!readUpdateDescriptor(path, readBack) || readBack.updateType != descriptor.updateType
        || readBack.folder != descriptor.folder || readBack.version != descriptor.version
        || readBack.index != descriptor.index || readBack.list != descriptor.list
        || readBack.rollout != descriptor.rollout
        || readBack.releaseGroup != (descriptor.release.sequence >= 0)
        || (readBack.releaseGroup && !sameRelease(readBack.release, descriptor.release))) {
        errorMessage = QStringLiteral("the descriptor does not read back as written");
        return false;
    }
    return true;
}
