#include "app/updatecheck.h"

#include "app/folders.h"
#include "app/reporting.h"
#include "ui/cupdateerror.h"
#include "update/changedfiles.h"
#include "net/httprequest.h"
#include "update/inivalues.h"
#include "update/minisign.h"
#include "update/packindex.h"
#include "update/sha256.h"
#include "update/signedrelease.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QNetworkAccessManager>
#include <QSaveFile>
#include <QUrl>

namespace {

constexpr int RequestTimeoutSeconds = 5;
// Far above any real descriptor or list (a list line is about 70 bytes, so the list
// bound allows close to a million files), and small enough that a broken or
// hostile server cannot make the updater hold gigabytes.
constexpr qint64 MaxDescriptorSize = 64 * 1024;
constexpr qint64 MaxFileListSize = 64 * 1024 * 1024;
// A signature file is a few hundred bytes; a key file holds a few keys.
constexpr qint64 MaxSignatureSize = 64 * 1024;

const QString SequenceRecordName = QStringLiteral("update_sequence.info");

/// A failure that a retry may cure: a record in console mode; otherwise the dialog
/// with retry, and without retry the host.
AttemptEnd retryableError(const RunValues &values, const QString &message)
{
    if (values.consoleMode) {
        writeUpdateResult(false, false, message);
        return AttemptEnd::finished(ExitNotInstalled);
    }
    values.errorDialog->setMessage(QObject::tr("更新失败"), message, true);
    if (values.errorDialog->exec() == 1)
        return AttemptEnd::newAttempt();
    startHost(values.hostExePath);
    return AttemptEnd::finished(ExitNotInstalled);
}

/// A failure of the configuration itself: no retry can help.
AttemptEnd configurationError(const RunValues &values, const QString &message)
{
    if (values.consoleMode) {
        writeUpdateResult(false, false, message);
    } else {
        showUpdateError(values.errorDialog, QObject::tr("配置错误"), message, false);
        startHost(values.hostExePath);
    }
    return AttemptEnd::finished(ExitNotInstalled);
}

bool fetch(const RunValues &values, const QUrl &url, qint64 maxSize, QByteArray &buffer,
           QString &errorText)
{
    return sendHttpRequest(values.networkManager, url, buffer, errorText, RequestTimeoutSeconds,
                           RawHeaderMap(), QByteArrayLiteral("GET"), QByteArray(), nullptr,
                           maxSize);
}

// The INI reader splits an unquoted value at its commas ("2.1, beta" reads as a
// list of two); the notice shows the version exactly as the publisher wrote it.
QString rawIniValue(const QByteArray &ini, const QByteArray &group, const QByteArray &key)
{
    QByteArray current;
    const QList<QByteArray> lines = ini.split('\n');
    for (const QByteArray &raw : lines) {
        const QByteArray line = raw.trimmed();
        if (line.startsWith('[') && line.endsWith(']')) {
            current = line.mid(1, line.size() - 2).trimmed();
            continue;
        }
        const int equals = line.indexOf('=');
        if (current == group && equals > 0 && line.left(equals).trimmed() == key)
            return QString::fromUtf8(line.mid(equals + 1).trimmed());
    }
    return QString();
}

/// True when update.ini.minisig on the server is a valid signature of descriptor
/// by one of the keys in the trust anchor file.
bool descriptorSignatureValid(const RunValues &values, const QString &trustAnchor,
                              const QByteArray &descriptor)
{
    QFile anchor(trustAnchor);
    if (!anchor.open(QIODevice::ReadOnly))
        return false;
    QList<MinisignPublicKey> keys;
    QString error;
    if (!parseMinisignPublicKeys(anchor.read(MaxSignatureSize), keys, error))
        return false;
    const QUrl signatureUrl(values.updateUrl + QStringLiteral("/update.ini.minisig"),
                            QUrl::TolerantMode);
    QByteArray signature;
    return fetch(values, signatureUrl, MaxSignatureSize, signature, error)
        && verifyMinisign(descriptor, signature, keys, error);
}

QString versionText(const IniValues &descriptor, const QByteArray &descriptorBytes)
{
    const QVariant value = descriptor.value(QStringLiteral("Version/Version"));
    if (value.type() == QVariant::StringList)
        return rawIniValue(descriptorBytes, "Version", "Version");
    return value.toString();
}

QString trustAnchorPath(const RunValues &values)
{
    return values.exeDir + QStringLiteral("/update.pub");
}

/// True once the installation has held a key or a release floor: update.pub, the
/// update.pub.old that replacing it leaves, or update_sequence.info (which an
/// installer copies from a signed release's published folder). Existence alone
/// counts, links included: whatever lies there, it was not put there unsigned.
bool isSignedInstallation(const RunValues &values)
{
    const QString anchor = trustAnchorPath(values);
    const QStringList traces{anchor, anchor + QStringLiteral(".old"),
                             values.rootDir.absoluteFilePath(SequenceRecordName)};
    for (const QString &trace : traces) {
        const QFileInfo info(trace);
        if (info.exists() || info.isSymLink())
            return true;
    }
    return false;
}

/// Adds the release's compressed copies and patches to the changed entries. The
/// index is only a shortcut: one that cannot be fetched, or is not the one the
/// descriptor names, leaves every file to be fetched whole.
void attachSmallerRoutes(const RunValues &values, UpdateCheckResult &result,
                         const QByteArray &indexHash)
{
    const QUrl indexUrl(result.baseUrl + PackIndexName, QUrl::TolerantMode);
    QByteArray index;
    QString errorText;
    if (fetch(values, indexUrl, MaxFileListSize, index, errorText) && Sha256::hex(index) == indexHash)
        attachPackIndex(result.fileList, index, result.changed);
}

} // namespace

UpdateFileMap withoutCacheTargets(UpdateFileMap changed, const QDir &rootDir,
                                  const QDir &cacheDir)
{
    const QString cache = comparablePath(cacheDir.absolutePath());
    // Resolving links costs system calls per path component, seconds for a list of
    // a million files; they lie in far fewer folders, so each folder is resolved
    // once. Only an entry that is itself a link needs resolving on its own, and only
    // an existing folder can hold one.
    struct Folder
    {
        QString comparable;
        bool exists;
    };
    QHash<QString, Folder> folders;
    for (auto it = changed.begin(); it != changed.end();) {
        const QFileInfo target(QDir::cleanPath(rootDir.absoluteFilePath(it.key())));
        auto folder = folders.constFind(target.path());
        if (folder == folders.cend()) {
            folder = folders.insert(target.path(), Folder{comparablePath(target.path()),
                                                          QFileInfo(target.path()).isDir()});
        }
        const QString comparable = folder->exists && target.isSymLink()
                ? comparablePath(target.filePath())
                : folder->comparable + QLatin1Char('/') + target.fileName();
        if (isSameOrInsideComparable(comparable, cache))
            it = changed.erase(it);
        else
            ++it;
    }
    return changed;
}

bool recordFloor(const RunValues &values, const UpdateCheckResult &result, QString &errorText)
{
    // A run that installed update.pub for the first time starts the floor with the
    // release it installed.
    const bool signedNow = result.signedMode || QFileInfo::exists(trustAnchorPath(values));
    if (!signedNow || result.sequence < 0)
        return true;
    const QString recordPath = values.rootDir.absoluteFilePath(SequenceRecordName);
    const QByteArray record = QByteArray::number(result.sequence) + '\n';
    QFile current(recordPath);
    const bool unchanged = current.open(QIODevice::ReadOnly) && current.read(64) == record;
    current.close();
    if (unchanged)
        return true;
    // An installer may have copied it read-only; Windows refuses to replace such a file.
    if (QFileInfo(recordPath).isFile())
        QFile::setPermissions(recordPath, QFile::permissions(recordPath) | QFileDevice::WriteOwner | QFileDevice::WriteUser);
    QSaveFile file(recordPath);
    const bool written = file.open(QIODevice::WriteOnly) && file.write(record) == record.size();
    if (!written)
        file.cancelWriting();
    if (!file.commit() || !written) {
        errorText = QObject::tr("创建文件[%1]失败:%2").arg(recordPath, file.errorString());
        return false;
    }
    return true;
}

bool recordAppliedRelease(const RunValues &values, const UpdateCheckResult &result,
                          QString &errorText)
{
    // The floor first: without it a replayed older release would be taken next
    // time, so a run that cannot write it has not finished.
    if (!recordFloor(values, result, errorText))
        return false;
    // Not being able to write this record costs the next run some hashing only.
    writeFileData(values.rootDir.absoluteFilePath(QStringLiteral("update_md5.info")),
                  result.fileList);
    return true;
}

AttemptEnd checkForUpdate(const RunValues &values, UpdateCheckResult &result)
{
    values.networkManager->clearAccessCache();
    QByteArray buffer;
    QString errorText;

    const QUrl descriptorUrl(values.updateUrl + QLatin1Char('/') + QStringLiteral("update.ini"),
                             QUrl::TolerantMode);
    if (!descriptorUrl.isValid()) {
        return configurationError(
            values, QObject::tr("升级描述文件地址不合法:%1").arg(descriptorUrl.toDisplayString()));
    }

    if (!fetch(values, descriptorUrl, MaxDescriptorSize, buffer, errorText))
        return retryableError(values, QObject::tr("下载升级描述文件失败:%1").arg(errorText));

    // Once an installation is signed, nothing of a release counts until its
    // signature does: not even the descriptor is saved before that. A missing key
    // file then refuses every release instead of switching the check off.
    const bool signedMode = isSignedInstallation(values);
    if (signedMode && !descriptorSignatureValid(values, trustAnchorPath(values), buffer))
        return retryableError(values, QObject::tr("升级描述文件签名无效"));

    // The descriptor is kept in the cache for whoever looks into it afterwards; its
    // values are read from the bytes in memory, the ones whose signature was checked.
    // A write that came up short is still reported like a file that could not be created.
    const QString descriptorPath = values.cacheDir.absoluteFilePath(QStringLiteral("update.ini"));
    {
        QFile descriptor(descriptorPath);
        if (!descriptor.open(QIODevice::ReadWrite | QIODevice::Truncate)) {
            return retryableError(values, QObject::tr("创建文件[%1]失败:%2")
                                              .arg(descriptorPath, descriptor.errorString()));
        }
        const bool written = descriptor.write(buffer) == buffer.size() && descriptor.flush();
        if (!written) {
            const QString reason = descriptor.errorString();
            descriptor.close();
            return retryableError(values,
                                  QObject::tr("创建文件[%1]失败:%2").arg(descriptorPath, reason));
        }
    }

    ReleaseInfo release;
    QByteArray indexHash;
    {
        // Publishers write the file by hand in UTF-8 as often as with QSettings, whose
        // escapes read the same either way.
        const IniValues descriptor(buffer);
        result.updateType = descriptor.value(QStringLiteral("Summary/UpdateType"), 1).toInt();
        const QString folder =
            descriptor.value(QStringLiteral("Version/Folder"), QStringLiteral("Base")).toString();
        result.version = versionText(descriptor, buffer);
        // Plain concatenation: no separator before the folder, and the list address
        // keeps its doubled slash. Servers are published for exactly these addresses.
        result.baseUrl = values.updateUrl + folder + QLatin1Char('/');
        indexHash = descriptor.value(PackIndexKey).toString().toLatin1();
        // Unsigned, the group is only a hint: the sequence to begin the floor with
        // should this run install update.pub.
        if (!readReleaseGroup(descriptor, release)) {
            if (signedMode)
                return retryableError(values, QObject::tr("升级描述文件签名无效"));
            release.sequence = 0;
        }
    }
    result.signedMode = signedMode;
    result.sequence = release.sequence;
    if (signedMode) {
        // A replayed older release, validly signed, would install old, perhaps
        // vulnerable files; a stale one keeps clients from hearing of a newer one.
        // A floor that cannot be read might have been any number: nothing is below it.
        qint64 floor = 0;
        if (!recordedSequence(values.rootDir.absoluteFilePath(SequenceRecordName), floor)
            || release.sequence < floor)
            return retryableError(values, QObject::tr("升级版本低于已安装版本"));
        if (release.expires.isValid() && release.expires < QDateTime::currentDateTimeUtc())
            return retryableError(values, QObject::tr("升级描述文件已过期"));
    }

    const QUrl fileListUrl(result.baseUrl + QStringLiteral("/md5.txt"), QUrl::TolerantMode);
    if (!fetch(values, fileListUrl, MaxFileListSize, buffer, errorText))
        return retryableError(values, QObject::tr("下载更新列表文件失败:%1").arg(errorText));

    UpdateFileMap listed = parseFileList(buffer);
    if (signedMode) {
        // The signed descriptor pins the list, and the list's companion pins every
        // file by SHA-256: MD5 texts alone can be matched by a forged file.
        const QString listMismatch = QObject::tr("更新列表文件校验不对");
        if (Sha256::hex(buffer) != release.listHash)
            return retryableError(values, listMismatch);
        const QUrl sumsUrl(result.baseUrl + QStringLiteral("/sha256.txt"), QUrl::TolerantMode);
        QByteArray sums;
        if (!fetch(values, sumsUrl, MaxFileListSize, sums, errorText))
            return retryableError(values, QObject::tr("下载更新列表文件失败:%1").arg(errorText));
        if (Sha256::hex(sums) != release.hashesHash || !attachSha256(buffer, sums, listed))
            return retryableError(values, listMismatch);
    }

    result.fileList = buffer;
    // Moved, not copied: the comparison takes unchanged entries out of the map itself.
    // A repair trusts no record: a file that was deleted or damaged after it was
    // installed is found only by reading it.
    result.changed = withoutCacheTargets(values.repairMode ? findDamagedFiles(std::move(listed), values.rootDir)
                                                           : findChangedFiles(std::move(listed), values.rootDir),
                                         values.rootDir, values.cacheDir);

    if (!result.changed.isEmpty() && !indexHash.isEmpty())
        attachSmallerRoutes(values, result, indexHash);

    if (values.consoleMode)
        writeUpdateResult(true, !result.changed.isEmpty() && result.updateType != 0, QString());

    if (result.changed.isEmpty()) {
        if (!recordAppliedRelease(values, result, errorText))
            return retryableError(values, errorText);
        if (!values.consoleMode)
            startHost(values.hostExePath);
        return AttemptEnd::finished(ExitNotInstalled);
    }
    return AttemptEnd::download();
}
