#pragma once

#include "update/filelist.h"

#include <QDir>
#include <QFileInfo>
#include <QList>
#include <QNetworkAccessManager>
#include <QString>
#include <QThread>

#include <atomic>
#include <cstdint>
#include <memory>

class CDownloadTransfer;

/// Downloads the given entries one after another into the cache, each verified by
/// its CDownloadTransfer, then installs them all into the installation root.
/// All work runs on the constructing thread's event loop; the thread itself only
/// idles until the run ends, and its finished() tells the creator so.
class CDownloadThread : public QThread
{
    Q_OBJECT
public:
    CDownloadThread(QString url, QDir cacheDir, QDir appDir, QList<UpdateFileEntry> files,
                    QObject *parent);
    ~CDownloadThread() override;

    /// True only when every file was installed.
    bool isSuccess() const;
    /// The failure text, "更新成功" after success, empty after a cancel.
    QString errorMsg() const;

    /// The window in which a transfer must receive at least 1,024 bytes, or be
    /// abandoned (30 s by default). For tests; the updater never changes it.
    void setTransferTimeout(int milliseconds);

Q_SIGNALS:
    void downloadStarted(QFileInfo filename, int current, int total);
    void downloadProgress(int64_t bytesReceived, int64_t bytesTotal);
    void downloadFail(QFileInfo filename, QString errormsg);

private:
    /// Processes the entry at m_current: skips it when it lies valid in the cache,
    /// requests it otherwise; past the last entry it installs.
    void downloadNext();
    /// Clears the cached place of an entry for a download. Sets valid when the file
    /// there already matches; false when the run has failed.
    bool prepareCachedPlace(const UpdateFileEntry &entry, const QFileInfo &cached, bool &valid);
    /// Removes non-folders lying where folders leading to the cached place must be,
    /// then creates the missing folders. False when the run has failed.
    bool prepareCacheFolders(const QString &relativePath);
    /// Sends the request for the entry at m_current.
    void sendRequest(const UpdateFileEntry &entry, const QFileInfo &cached);

    void onThreadFinished();

    /// Moves every cached file into the installation root (cdownloadinstall.cpp).
    void install();
    /// Moves one cached file into place. False when the run has failed.
    bool installEntry(const UpdateFileEntry &entry);

    /// The cached place of the entry at index.
    QFileInfo cachedInfo(int index) const;
    /// True once the run is over or the creator asked it to stop.
    bool stopRequested() const;
    /// The failure step: message, downloadFail once, end of the thread's loop.
    void fail(const QFileInfo &file, const QString &message);
    /// Ends a cancelled run without a message.
    void stop();
    /// Ends the run: from now on nothing more is written, sent or installed.
    void endRun();
    /// Aborts the download in flight without any of its notifications reaching us,
    /// and drops its unfinished cache file.
    void stopTransfer();

    std::atomic<bool> m_success{false};
    QString m_errorMsg;
    QString m_url;
    QDir m_cacheDir;
    QDir m_appDir;
    QList<UpdateFileEntry> m_files;
    int m_current = 0;
    QNetworkAccessManager m_manager;

    std::unique_ptr<CDownloadTransfer> m_transfer; ///< the download in flight, if any
    int m_transferTimeoutMs;                       ///< see setTransferTimeout()
    std::atomic<bool> m_ended{false};              ///< read by the started thread
};
