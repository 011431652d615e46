#include "app/downloadphase.h"

#include "app/pushback.h"
#include "app/reporting.h"
#include "download/cdownloadthread.h"
#include "ui/cupdateerror.h"
#include "ui/cupdatenotice.h"
#include "ui/cupdateprogress.h"

#include <QCoreApplication>

#include <memory>

namespace {

/// Asks before an optional update. True when the user chose to update now.
bool noticeAccepted(const QString &version)
{
    CUpdateNotice notice;
    notice.setVersion(version);
    return notice.exec() == 1;
}

/// Runs the worker to its end: in the progress dialog, or without any window in
/// the application's own loop.
void waitForWorker(CDownloadThread *worker, bool silent)
{
    if (silent) {
        // finished() is emitted on the worker's thread and queued to the application
        // object, so quit() always comes from inside exec(), never before it.
        QObject::connect(worker, &QThread::finished, QCoreApplication::instance(),
                         &QCoreApplication::quit);
        worker->start(QThread::InheritPriority);
        QCoreApplication::exec();
    } else {
        CUpdateProgress progress(worker);
        progress.exec();
    }
    // finished() may be handled while the thread is still winding down; the worker
    // must not be destroyed or read before it has really ended.
    worker->wait();
}

/// Ends an attempt that failed with message: a record in console mode; otherwise
/// the error dialog, which a forced update leaves only into the next attempt.
AttemptEnd failedAttempt(const RunValues &values, bool optional, const QString &message)
{
    if (values.consoleMode) {
        writeUpdateResult(false, false, message);
        return AttemptEnd::finished(ExitNotInstalled);
    }
    if (!optional) {
        // A forced update has no way out but success: the dialog offers nothing, and
        // however it is closed the next attempt begins.
        values.errorDialog->setMessage(QObject::tr("更新失败"), message, false);
        values.errorDialog->exec();
        return AttemptEnd::newAttempt();
    }
    values.errorDialog->setMessage(QObject::tr("更新失败"), message, true);
    if (values.errorDialog->exec() == 1)
        return AttemptEnd::newAttempt();
    startHost(values.hostExePath);
    return AttemptEnd::finished(ExitNotInstalled);
}

/// The entries in ascending path order, the order the files are fetched in. Each is
/// taken out of the map as it is put in the list: with a million files the map and
/// the list are never held whole side by side.
QList<UpdateFileEntry> takeEntries(UpdateFileMap &changed)
{
    QList<UpdateFileEntry> entries;
    entries.reserve(changed.size());
    for (auto it = changed.begin(); it != changed.end(); it = changed.erase(it))
        entries.append(it.value());
    return entries;
}

} // namespace

AttemptEnd runDownloadPhase(const RunValues &values, UpdateCheckResult &check)
{
    const bool optional = check.updateType == 0;
    const bool silent = optional && values.consoleMode;

    if (optional && !values.consoleMode && !noticeAccepted(check.version)) {
        startHost(values.hostExePath);
        return AttemptEnd::finished(ExitNotInstalled);
    }

    // A signed release's floor is raised before anything of it is installed: a run
    // that fails halfway has installed files (update.pub among them, perhaps) of
    // this release, and an older one must not be taken over them.
    QString message;
    if (check.signedMode && !recordFloor(values, check, message))
        return failedAttempt(values, optional, message);

    auto worker = std::make_unique<CDownloadThread>(check.baseUrl, values.cacheDir,
                                                    values.rootDir, takeEntries(check.changed),
                                                    nullptr, values.connections, values.proxy);
    worker->setHttp2Streams(values.http2Streams);
    worker->setMirrors(check.mirrorBaseUrls);
    waitForWorker(worker.get(), silent);
    QObject::disconnect(worker.get(), nullptr, nullptr, nullptr);
    // A server that pushed back on a file is left alone like one that pushed back
    // on the descriptor; the base address minus the version folder is the address.
    const QHash<QString, QByteArray> retryAfter = worker->retryAfter();
    if (!retryAfter.isEmpty()) {
        const int folderLength = check.baseUrl.size() - check.address.size();
        PushBack pushBack(values.rootDir);
        for (auto it = retryAfter.cbegin(); it != retryAfter.cend(); ++it)
            pushBack.record(it.key().chopped(folderLength), it.value());
    }

    if (worker->isSuccess()) {
        if (recordAppliedRelease(values, check, message)) {
            if (!silent)
                startHost(values.hostExePath);
            return AttemptEnd::finished(ExitInstalled);
        }
    } else {
        message = worker->errorMsg();
    }
    worker.reset();
    return failedAttempt(values, optional, message);
}

