#pragma once

#include "update/filelist.h"
#include "update/sha256.h"

#include <QCryptographicHash>
#include <QFileInfo>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>

class QNetworkAccessManager;
class QNetworkReply;
class QTemporaryFile;

/// One file's download: the request, the limits on the answer, the body streamed
/// into a temporary file beside the cached place with its hashes, and the checks
/// by status, size, MD5 text and SHA-256, after which the body replaces the place.
class CDownloadTransfer : public QObject
{
    Q_OBJECT
public:
    /// shouldStop is asked before anything is done with a notification of the reply;
    /// when it answers true, stopped() is emitted instead.
    CDownloadTransfer(QNetworkAccessManager *manager, QString url, UpdateFileEntry entry,
                      QFileInfo cached, std::function<bool()> shouldStop, QObject *parent = nullptr);
    ~CDownloadTransfer() override;

    /// Sends the request. False when no reply could be made (failed() follows).
    void start();
    /// Drops the request and the unfinished body without any further signal.
    void abort();
    /// The window in which at least 1,024 bytes must arrive; restarts the window.
    void setSpeedWindow(int milliseconds);

    const UpdateFileEntry &entry() const { return m_entry; }
    const QFileInfo &cached() const { return m_cached; }

Q_SIGNALS:
    void progress(qint64 bytesReceived, qint64 bytesTotal);
    /// The verified body lies in the cached place.
    void succeeded();
    void failed(QString message);
    /// shouldStop answered true; nothing more happens.
    void stopped();

private:
    class BackgroundSha256;

    void onReadyRead();
    void onReplyProgress(qint64 bytesReceived, qint64 bytesTotal);
    void onReplyFinished();
    void onSpeedCheck();
    void startSpeedCheck();
    /// Streams what the reply holds into the cache file, counting and hashing it.
    /// False when the transfer has failed.
    bool consumeBody();
    bool openCacheFile();
    bool commitCacheFile();
    /// Ends the transfer with message; nothing more is read or written.
    void fail(const QString &message);
    bool checkStop();

    QNetworkAccessManager *m_manager;
    QString m_url;
    UpdateFileEntry m_entry;
    QFileInfo m_cached;
    std::function<bool()> m_shouldStop;

    QNetworkReply *m_reply = nullptr;
    std::unique_ptr<QTemporaryFile> m_cacheFile; ///< the body being written
    QCryptographicHash m_md5{QCryptographicHash::Md5};
    Sha256 m_sha256;                             ///< only for small entries of signed releases
    std::unique_ptr<BackgroundSha256> m_backgroundSha256; ///< for large ones
    quint64 m_received = 0;                      ///< body bytes so far
    QByteArray m_chunk;                          ///< read buffer
    QTimer m_speedTimer;                         ///< samples m_received while the transfer runs
    QList<quint64> m_speedSamples;               ///< m_received at the last window's steps
};
