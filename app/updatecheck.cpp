#include "app/updatecheck.h"

#include "app/folders.h"
#include "app/reporting.h"
#include "ui/cupdateerror.h"
#include "update/changedfiles.h"
#include "update/httprequest.h"

#include <QFile>
#include <QNetworkAccessManager>
#include <QSettings>
#include <QUrl>

namespace {

constexpr int RequestTimeoutSeconds = 5;

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

bool fetch(const RunValues &values, const QUrl &url, QByteArray &buffer, QString &errorText)
{
    return sendHttpRequest(values.networkManager, url, buffer, errorText, RequestTimeoutSeconds,
                           RawHeaderMap(), QByteArrayLiteral("GET"), QByteArray());
}

} // namespace

UpdateFileMap withoutCacheTargets(UpdateFileMap changed, const QDir &rootDir,
                                  const QDir &cacheDir)
{
    const QString cache = cacheDir.absolutePath();
    for (auto it = changed.begin(); it != changed.end();) {
        if (isSameOrInside(rootDir.absoluteFilePath(it.key()), cache))
            it = changed.erase(it);
        else
            ++it;
    }
    return changed;
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

    if (!fetch(values, descriptorUrl, buffer, errorText))
        return retryableError(values, QObject::tr("下载升级描述文件失败:%1").arg(errorText));

    // The descriptor is read back from disk through the INI reader. A write that
    // came up short is reported like a file that could not be created: read back,
    // a truncated descriptor would yield the defaults, a forced "Base" update.
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

    {
        QSettings descriptor(descriptorPath, QSettings::IniFormat);
        result.updateType = descriptor.value(QStringLiteral("Summary/UpdateType"), 1).toInt();
        const QString folder =
            descriptor.value(QStringLiteral("Version/Folder"), QStringLiteral("Base")).toString();
        result.version = descriptor.value(QStringLiteral("Version/Version")).toString();
        // Plain concatenation: no separator before the folder, and the list address
        // keeps its doubled slash. Servers are published for exactly these addresses.
        result.baseUrl = values.updateUrl + folder + QLatin1Char('/');
    }

    const QUrl fileListUrl(result.baseUrl + QStringLiteral("/md5.txt"), QUrl::TolerantMode);
    if (!fetch(values, fileListUrl, buffer, errorText))
        return retryableError(values, QObject::tr("下载更新列表文件失败:%1").arg(errorText));

    result.fileList = buffer;
    result.changed = withoutCacheTargets(findChangedFiles(parseFileList(buffer), values.rootDir),
                                         values.rootDir, values.cacheDir);

    if (values.consoleMode)
        writeUpdateResult(true, !result.changed.isEmpty() && result.updateType != 0, QString());

    if (result.changed.isEmpty()) {
        writeFileData(values.rootDir.absoluteFilePath(QStringLiteral("update_md5.info")), buffer);
        if (!values.consoleMode)
            startHost(values.hostExePath);
        return AttemptEnd::finished(ExitNotInstalled);
    }
    return AttemptEnd::download();
}
