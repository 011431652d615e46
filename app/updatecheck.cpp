#include "app/updatecheck.h"

#include "app/addresscheck.h"
#include "app/folders.h"
#include "app/pushback.h"
#include "app/reporting.h"
#include "ui/cupdateerror.h"
#include "update/changedfiles.h"
#include "update/sha256.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QNetworkAccessManager>
#include <QSaveFile>
#include <QUrl>

namespace {

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

QString pushBackMessage(const QDateTime &until)
{
    return QObject::tr("服务器繁忙，请在%1之后再试")
        .arg(until.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
}

/// Every server asked not to be sent anything before until: this run sends nothing.
/// A user sees no dialog, only the host; a calling program learns until when.
AttemptEnd pushedBack(const RunValues &values, const QDateTime &until)
{
    if (values.consoleMode)
        writeUpdateResult(false, false, pushBackMessage(until));
    else
        startHost(values.hostExePath);
    return AttemptEnd::finished(ExitNotInstalled);
}

/// Nothing to fetch: the result of the check, the host where the mode starts it.
AttemptEnd nothingToDo(const RunValues &values)
{
    if (values.consoleMode)
        writeUpdateResult(true, false, QString());
    else
        startHost(values.hostExePath);
    return AttemptEnd::finished(ExitNotInstalled);
}

/// The addresses the run may use, in order of preference.
QStringList addressesOf(const RunValues &values)
{
    return values.updateUrls.isEmpty() ? QStringList{values.updateUrl} : values.updateUrls;
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
    const QString recordPath = sequenceRecordPath(values);
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
                          QString &errorText, bool keepEqualRecord)
{
    // The floor first: without it a replayed older release would be taken next
    // time, so a run that cannot write it has not finished.
    if (!recordFloor(values, result, errorText))
        return false;
    // Not being able to write this record costs the next run some hashing only. An
    // equal one is left alone: for a large release that is tens of megabytes.
    const QString recordPath = values.rootDir.absoluteFilePath(QStringLiteral("update_md5.info"));
    QByteArray current = result.recordHash;
    if (keepEqualRecord && current.isEmpty())
        current = Sha256::fileHex(recordPath);
    if (!keepEqualRecord || current != Sha256::hex(result.fileList))
        writeFileData(recordPath, result.fileList);
    return true;
}

AttemptEnd checkForUpdate(const RunValues &values, UpdateCheckResult &result)
{
    values.networkManager->clearAccessCache();
    const QStringList addresses = addressesOf(values);
    for (const QString &address : addresses) {
        const QUrl descriptorUrl(address + QLatin1Char('/') + QStringLiteral("update.ini"), QUrl::TolerantMode);
        if (!descriptorUrl.isValid()) {
            return configurationError(
                values, QObject::tr("升级描述文件地址不合法:%1").arg(descriptorUrl.toDisplayString(QUrl::RemoveUserInfo)));
        }
    }

    // Addresses are tried in order of preference; one that cannot serve the release
    // (unreachable, slow, failing, lacking a document, or serving one that fails a
    // check) hands over to the next. A run that none could serve reports the first
    // address's failure: the one the publisher configured as the server.
    PushBack pushBack(values.rootDir);
    UpdateFileMap listed;
    QString firstFailure;
    QDateTime earliestFree;
    bool sent = false;
    int served = -1;
    for (int i = 0; i < addresses.size() && served < 0; ++i) {
        const QDateTime until = pushBack.until(addresses.at(i));
        if (until.isValid()) {
            earliestFree = earliestFree.isValid() ? qMin(earliestFree, until) : until;
            if (i == 0)
                firstFailure = pushBackMessage(until);
            continue;
        }
        sent = true;
        const AddressOutcome outcome = checkAddress(values, addresses.at(i), pushBack, result, listed);
        switch (outcome.kind) {
        case AddressOutcome::Listed:
            served = i;
            break;
        case AddressOutcome::UpToDate: {
            // The release's list is the applied one: the record stays as it is; a
            // signed release still raises the floor.
            QString errorText;
            if (!recordFloor(values, result, errorText))
                return retryableError(values, errorText);
            return nothingToDo(values);
        }
        case AddressOutcome::NotOut:
            return nothingToDo(values);
        case AddressOutcome::LocalFailure:
            return retryableError(values, outcome.message);
        case AddressOutcome::AddressFailed:
            if (firstFailure.isEmpty())
                firstFailure = outcome.message;
            break;
        }
    }
    if (served < 0)
        return sent ? retryableError(values, firstFailure) : pushedBack(values, earliestFree);
    // Files the serving address lacks or cannot send are asked of the others.
    const QString folderAndSlash = result.baseUrl.mid(result.address.size());
    for (int i = 0; i < addresses.size(); ++i) {
        if (i != served)
            result.mirrorBaseUrls.append(addresses.at(i) + folderAndSlash);
    }

    // Moved, not copied: the comparison takes unchanged entries out of the map itself.
    // A repair trusts no record: a file that was deleted or damaged after it was
    // installed is found only by reading it.
    result.changed = withoutCacheTargets(values.repairMode ? findDamagedFiles(std::move(listed), values.rootDir)
                                                           : findChangedFiles(std::move(listed), values.rootDir),
                                         values.rootDir, values.cacheDir);

    if (!result.changed.isEmpty() && !result.indexHash.isEmpty())
        attachSmallerRoutes(values, result);

    if (values.consoleMode)
        writeUpdateResult(true, !result.changed.isEmpty() && result.updateType != 0, QString());

    if (result.changed.isEmpty()) {
        QString errorText;
        if (!recordAppliedRelease(values, result, errorText, true))
            return retryableError(values, errorText);
        if (!values.consoleMode)
            startHost(values.hostExePath);
        return AttemptEnd::finished(ExitNotInstalled);
    }
    return AttemptEnd::download();
}
