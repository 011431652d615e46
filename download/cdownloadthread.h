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

class QNetworkReply;
class QSaveFile;
class QCryptographicHash;

/// Downloads the given entries one after another into the cache, verifies each by
/// status, size and MD5 text, then installs them all into the installation root.
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

    /// Milliseconds without any received data after which a transfer is abandoned
    /// (30 s by default). For tests; the updater never changes it.
    void setTransferTimeout(int milliseconds);

Q_SIGNALS:
    void downloadStarted(QFileInfo filename, int current, int total);
    void downloadProgress(int64_t bytesReceived, int64_t bytesTotal);
    void downloadFail(QFileInfo filename, QString errormsg);

    // Members and private operations below are the implementer's (download helper);
    // the public interface above is fixed.
};
