#pragma once

#include "net/chttpaccessmanager.h"
#include "update/filelist.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QTemporaryDir>
#include <QThread>
#include <QThreadPool>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

class CDownloadTransfer;

/// Downloads the given entries into the cache, up to connections of them at once and
/// requested in list order, each verified by its CDownloadTransfer; then installs
/// them all, in list order, into the installation root. An entry whose installed
/// file already matches is neither downloaded nor installed; large bodies cut off
/// are kept and resumed by the next attempt.
/// All work runs on the constructing thread's event loop; the thread itself only
/// idles until the run ends, and its finished() tells the creator so.
class CDownloadThread : public QThread
{
    Q_OBJECT
public:
    /// proxySetting: as "[Update] Proxy" (see ProxyChoice); empty for the system's.
    CDownloadThread(QString url, QDir cacheDir, QDir appDir, QList<UpdateFileEntry> files,
                    QObject *parent, int connections = 1, const QString &proxySetting = QString());
    ~CDownloadThread() override;

    /// True only when every file was installed.
    bool isSuccess() const;
    /// The failure text, "更新成功" after success, empty after a cancel.
    QString errorMsg() const;

    /// How many requests may be under way once answers come over HTTP/2, where
    /// they share one connection (default: connections, at most 16).
    void setHttp2Streams(int streams);

    /// Base addresses of the same version folder on other servers, in order of
    /// preference: a file that the first cannot send is asked of each in turn.
    void setMirrors(const QStringList &baseUrls);
    /// By base address: the Retry-After of a 429 or 503 answer to a file. Read
    /// after the thread has finished.
    QHash<QString, QByteArray> retryAfter() const;

    /// The window in which a transfer must receive at least 1,024 bytes, or be
    /// abandoned (30 s by default); from twice this after its request on, it must
    /// also have averaged 4 KiB/s. For tests; the updater never changes it.
    void setTransferTimeout(int milliseconds);

Q_SIGNALS:
    void downloadStarted(QFileInfo filename, int current, int total);
    void downloadProgress(int64_t bytesReceived, int64_t bytesTotal);
    void downloadFail(QFileInfo filename, QString errormsg);
    /// A file arrived and passed every check (it lies in the cache).
    void downloadFinished(QFileInfo filename);

private:
    /// Takes the next entries while fewer than connections downloads are under way:
    /// skips an entry that lies valid in the cache, requests it otherwise; once
    /// every entry is taken and done, installs.
    void downloadNext();
    /// Clears the cached place of an entry for a download. Sets valid when the file
    /// there already matches; false when the run has failed.
    bool prepareCachedPlace(const UpdateFileEntry &entry, const QFileInfo &cached, bool &valid);
    /// True when the installed file of entry already has its size and hashes.
    bool isInstalled(const UpdateFileEntry &entry) const;
    /// True when the body of the entry at index may be kept for a resume.
    bool mayKeepPartial(int index) const;
    /// Removes non-folders lying where folders leading to the cached place must be,
    /// then creates the missing folders. False when the run has failed.
    bool prepareCacheFolders(const QString &relativePath);
    /// Starts the download of the entry at index by its current route.
    void sendRequest(int index);

    /// The first of the entry's routes from route on that can be taken: a patch
    /// whose base is the installed file, a compressed copy, or, past the last
    /// artefact, the plain file (cdownloadroutes.cpp).
    int usableRoute(int index, int route) const;
    /// The route of the entry at index failed: the next one is taken.
    void takeNextRoute(int index);
    /// Turns the downloaded frame of the entry's route into its cached file, checked
    /// like a downloaded body, on a thread of m_unpackers; then the file has
    /// arrived, or the entry takes its next route.
    void startUnpacking(int index);
    /// The file of the entry at index lies verified in the cache.
    void fileArrived(int index);
    /// Every entry the run may download: the listed ones and the frames of their
    /// artefacts (for what kept bodies to leave alone).
    QList<UpdateFileEntry> fetchableEntries() const;
    /// Leaves a frame that several entries share (identical files) to the first of
    /// them, so that no two transfers write one cached frame; removes what a run
    /// killed while unpacking left in the cache.
    void keepFramesApart();
    /// Removes bytes kept of the entry's frames once its file lies in the cache.
    void discardFrames(int index);
    /// Takes a transfer that has ended out of the ones in flight.
    void dropTransfer(int index);

    void onThreadFinished();

    /// Moves every cached file into the installation root, except those of entries
    /// found installed already (cdownloadinstall.cpp).
    void install();
    /// Moves (from a private cache) or copies (from a shared one) every file to
    /// install from the cache into a private folder of the installation and checks
    /// it there again: size and hashes. False, after failing the run with everything
    /// back in the cache, when one no longer matches its entry or cannot be moved.
    bool stageAndCheck();
    /// Takes back into the cache what a killed run left staged, and removes its
    /// staging folders (cdownloadinstall.cpp).
    void takeBackStaged();
    /// Moves the staged files that did not go in back to the cache.
    void unstage();
    /// Where the entry at index waits between stageAndCheck() and its move.
    QString stagedPath(int index) const;
    /// Moves one staged file into place. False when the run has failed.
    bool installEntry(int index);

    /// A symbolic link or any other reparse point (a junction too), which is not
    /// what it points to; not a Windows shortcut.
    static bool isLink(const QFileInfo &info);
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
    /// Aborts the downloads in flight without any of their notifications reaching us;
    /// each keeps a body that may be resumed and drops any other unfinished one.
    void stopTransfers();

    std::atomic<bool> m_success{false};
    QString m_errorMsg;
    QString m_url;
    QDir m_cacheDir;
    QDir m_appDir;
    QList<UpdateFileEntry> m_files;
    int m_next = 0;                                ///< the first entry not yet taken
    CHttpAccessManager m_manager;

    int m_connections;                             ///< downloads in flight at most
    int m_inFlightLimit = 1;                       ///< m_connections once the thread runs
    int m_streams = 1;                             ///< in flight at most over HTTP/2
    /// The downloads in flight by entry index; the first is the oldest.
    std::map<int, std::unique_ptr<CDownloadTransfer>> m_transfers;
    int m_transferTimeoutMs;                       ///< see setTransferTimeout()
    std::atomic<bool> m_ended{false};              ///< read by the started thread
    std::vector<bool> m_inPlace;                   ///< by index: installed file already matches
    /// By index: the artefact being fetched, or the number of artefacts for the
    /// plain file.
    std::vector<int> m_route;
    QStringList m_mirrors;                         ///< see setMirrors()
    std::vector<int> m_mirror;                     ///< by index: 0 the first address, i m_mirrors[i - 1]
    QHash<int, QString> m_firstFailure;            ///< by index: the first address's failure
    QHash<QString, QByteArray> m_retryAfter;       ///< see retryAfter()
    QSet<QString> m_crowded;                       ///< see CDownloadPartial::crowdedPaths()
    std::unique_ptr<QTemporaryDir> m_staging;      ///< while installing: see stageAndCheck()
    bool m_copyFromCache = false;                  ///< see stageAndCheck()
    QThreadPool m_unpackers;                       ///< see startUnpacking()
    int m_unpacking = 0;                           ///< frames being unpacked
};
