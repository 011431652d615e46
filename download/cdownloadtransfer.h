#pragma once

#include "update/filelist.h"
#include "update/sha256.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>

class CDownloadPartial;
class QFile;
class BackgroundHashes;
class QNetworkAccessManager;
class QNetworkReply;

/// One file's download: the request, the limits on the answer, the body streamed
/// into a file beside the cached place with its hashes, and the checks by status,
/// size, MD5 text and SHA-256, after which the body replaces the place. A body
/// that may be kept (CDownloadPartial) is resumed where an earlier one stopped.
class CDownloadTransfer : public QObject
{
    Q_OBJECT
public:
    /// shouldStop is asked before anything is done with a notification of the reply;
    /// when it answers true, stopped() is emitted instead. With keepPartial, a body
    /// cut off by the network or a stop is kept for a later resume, and a kept one
    /// is resumed.
    CDownloadTransfer(QNetworkAccessManager *manager, QString url, UpdateFileEntry entry,
                      QFileInfo cached, bool keepPartial, std::function<bool()> shouldStop,
                      QObject *parent = nullptr);
    ~CDownloadTransfer() override;

    /// Rehashes a kept beginning, if any, then sends the request.
    void start();
    /// Drops the request without any further signal; a body that may be kept stays
    /// for a later resume, any other unfinished body is removed.
    void abort();
    /// The window in which at least 1,024 bytes must arrive; restarts the window.
    /// The average speed is judged once the request has run for two windows.
    void setSpeedWindow(int milliseconds);

    /// True once an answer came over HTTP/2 (HTTPS through CHttpAccessManager).
    bool usedHttp2() const { return m_usedHttp2; }
    /// The Retry-After of a 429 or 503 answer that failed the transfer; else empty.
    QByteArray retryAfter() const { return m_retryAfter; }
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
    /// What became of a reply once its status and headers were judged.
    enum class Answer { Accepted, Restarted, Failed };

    /// Sends the request: for the rest of the body when bytes are kept already.
    void sendRequest();
    void onRehashStep();
    void onReadyRead();
    void onReplyProgress(qint64 bytesReceived, qint64 bytesTotal);
    void onReplyFinished();
    void onSpeedCheck();
    void startSpeedCheck();
    /// True when this request, having run long enough to be judged, brought less
    /// than the average floor since it was sent.
    bool belowAverageSpeed() const;
    /// Judges status, encoding and range of the answer before any body is taken,
    /// and opens the file the body goes to.
    Answer checkAnswer();
    /// Drops the kept bytes and the reply, and asks for the whole body afresh.
    void restartFromZero();
    /// Streams what the reply holds into the cache file, counting and hashing it.
    /// False when the transfer has failed.
    bool consumeBody();
    void hashChunk(const char *data, qint64 size);
    void resetHashes();
    /// Whether the hashes of everything taken match the entry; ends those hashes.
    bool hashesMatch();
    /// Size and hash checks of the whole body, then the commit.
    void finishBody();
    /// Puts the verified body in the cached place; succeeded() or failed() follows.
    void commitBody();
    bool openTemporaryFile();
    bool openPartialFile();
    bool commitCacheFile();
    void dropReply();
    /// Stops everything; keep leaves a body that may be kept for a later resume.
    void stopTransfer(bool keep);
    /// Ends the transfer with message; nothing more is read or written. A failure of
    /// the network (cut, reset, stall) keeps what was received for a resume; a body
    /// that failed a check is never resumed.
    void fail(const QString &message, bool keep);
    void failNetwork(const QString &message);
    void failCheck(const QString &message);
    bool checkStop();

    QNetworkAccessManager *m_manager;
    QString m_url;
    QByteArray m_retryAfter;
    UpdateFileEntry m_entry;
    QFileInfo m_cached;
    std::function<bool()> m_shouldStop;

    std::unique_ptr<CDownloadPartial> m_partial; ///< set when the body may be kept
    QNetworkReply *m_reply = nullptr;
    bool m_answerChecked = false;                ///< checkAnswer() accepted m_reply
    bool m_usedHttp2 = false;                    ///< see usedHttp2()
    std::unique_ptr<QFile> m_cacheFile;          ///< the body being written
    bool m_writingPartial = false;               ///< m_cacheFile is m_partial's file
    quint64 m_offset = 0;                        ///< kept bytes the request starts after
    QTimer m_rehashTimer;                        ///< reads the kept bytes step by step
    quint64 m_rehashed = 0;                      ///< kept bytes read so far
    QCryptographicHash m_md5{QCryptographicHash::Md5}; ///< for small entries
    Sha256 m_sha256;                             ///< for small entries of signed releases
    std::unique_ptr<BackgroundHashes> m_backgroundHashes; ///< both, for large entries
    quint64 m_received = 0;                      ///< body bytes so far, kept ones included
    QByteArray m_chunk;                          ///< read buffer
    QTimer m_speedTimer;                         ///< samples m_received while the transfer runs
    QList<quint64> m_speedSamples;               ///< m_received at the last window's steps
    int m_speedWindowMs;                         ///< see setSpeedWindow()
    QElapsedTimer m_requestClock;                ///< since the request was sent
};
