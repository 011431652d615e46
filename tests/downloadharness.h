#pragma once

// Shared by tst_cdownloadthread and tst_install: files on disk, list entries for
// bodies, and one run of CDownloadThread with every signal recorded in order.

#include "download/cdownloadthread.h"
#include "update/md5.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QStringList>
#include <QtTest>

#include <memory>

namespace harness {

inline UpdateFileEntry entryFor(const QString &path, const QByteArray &body)
{
    UpdateFileEntry entry;
    entry.path = path;
    entry.size = static_cast<quint64>(body.size());
    entry.md5 = md5Text(body);
    return entry;
}

/// Writes bytes to path, creating the missing folders.
inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(bytes) == bytes.size();
}

/// The file's bytes, or "<missing>" when it cannot be read.
inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArrayLiteral("<missing>");
    return file.readAll();
}

/// Every non-folder below dir (hidden ones and links too), relative and sorted.
inline QStringList filesBelow(const QString &dir)
{
    QStringList files;
    QDirIterator it(dir, QDir::Files | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        files.append(QDir(dir).relativeFilePath(it.filePath()));
    }
    files.sort();
    return files;
}

/// One run of the worker. Signals sent by the constructor reach no receiver (as
/// in the updater); everything later is logged in order.
class WorkerRun
{
public:
    WorkerRun(const QString &url, const QString &cacheDir, const QString &appDir,
              const QList<UpdateFileEntry> &files, int connections = 1)
        : worker(std::make_unique<CDownloadThread>(url, QDir(cacheDir), QDir(appDir), files,
                                                   nullptr, connections))
        , started(worker.get(), &CDownloadThread::downloadStarted)
        , progress(worker.get(), &CDownloadThread::downloadProgress)
        , failed(worker.get(), &CDownloadThread::downloadFail)
    {
        CDownloadThread *w = worker.get();
        // finished() comes from the worker's own thread; counted through a queued
        // connection to an object of the test thread, like the dialog receives it.
        QObject::connect(w, &QThread::finished, &context, [this] { ++finishedCount; },
                         Qt::QueuedConnection);
        QObject::connect(w, &CDownloadThread::downloadStarted, w,
                         [this](const QFileInfo &file, int current, int total) {
            log.append(QStringLiteral("started %1 %2/%3").arg(file.fileName()).arg(current).arg(total));
        });
        QObject::connect(w, &CDownloadThread::downloadProgress, w,
                         [this](int64_t received, int64_t total) {
            log.append(QStringLiteral("progress %1/%2").arg(received).arg(total));
        });
        QObject::connect(w, &CDownloadThread::downloadFail, w,
                         [this](const QFileInfo &file, const QString &message) {
            log.append(QStringLiteral("fail %1 %2").arg(file.fileName(), message));
        });
    }

    /// Starts the thread and waits for finished().
    bool startAndWait(int timeoutMs = 15000)
    {
        worker->start(QThread::InheritPriority);
        return waitFinished(timeoutMs);
    }

    bool waitFinished(int timeoutMs = 15000)
    {
        return QTest::qWaitFor([this] { return finishedCount > 0; }, timeoutMs)
            && worker->wait(timeoutMs);
    }

    /// Destroys the worker the way the updater does, after its thread finished;
    /// the spies keep what they recorded.
    void destroy()
    {
        QObject::disconnect(worker.get(), nullptr, nullptr, nullptr);
        worker.reset();
    }

    QObject context;
    int finishedCount = 0;
    std::unique_ptr<CDownloadThread> worker;
    QSignalSpy started;
    QSignalSpy progress;
    QSignalSpy failed;
    QStringList log;
};

} // namespace harness
