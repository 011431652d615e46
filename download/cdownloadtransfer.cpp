#include "download/cdownloadtransfer.h"

#include "update/md5.h"

#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTemporaryFile>
#include <QUrl>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace {

// The reply holds at most this much unread body; the socket is not read further
// until we have taken it, so memory stays the same for any file size.
constexpr qint64 ReadBufferSize = 256 * 1024;
// Body bytes moved from the reply into the cache file per read.
constexpr int ChunkSize = 64 * 1024;
// A transfer that receives less than MinBytesPerWindow in any window (30 s unless
// set otherwise) is abandoned: a silent console update would otherwise hang for
// hours on a server that sends nothing, or a byte now and then, while it holds
// the instance guard.
constexpr int DefaultWindowMs = 30 * 1000;
constexpr quint64 MinBytesPerWindow = 1024;
// The window slides in steps of this fraction of its length.
constexpr int WindowSteps = 6;

// "#" and "?" in a file name would start a fragment or a query once the address is
// parsed; encoded, they reach the server as part of the path.
QString encodePathForUrl(QString path)
{
    path.replace(QLatin1Char('#'), QLatin1String("%23"));
    path.replace(QLatin1Char('?'), QLatin1String("%3F"));
    return path;
}

// Asked for the identity encoding, a server may still compress; Qt would not
// inflate it then, but such a body is not the listed file, whatever it holds.
bool isPlainBody(const QNetworkReply *reply)
{
    const QByteArray encoding = reply->rawHeader("Content-Encoding").trimmed().toLower();
    return encoding.isEmpty() || encoding == "identity";
}

int statusOf(const QNetworkReply *reply)
{
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

// Files from this size on have their SHA-256 computed on a thread of their own; for
// smaller ones starting a thread costs more than it saves.
constexpr quint64 BackgroundHashSize = 1024 * 1024;
// Chunks waiting for that thread at most; the transfer waits when it is this far ahead.
constexpr size_t MaxQueuedChunks = 16;

} // namespace

/// SHA-256 of a body on a thread of its own: the thread that receives, checks and
/// writes every body (MD5 included) would otherwise spend a third more time on a
/// large file of a signed release.
class CDownloadTransfer::BackgroundSha256
{
public:
    BackgroundSha256()
        : m_thread([this] { run(); })
    {
    }
    ~BackgroundSha256() { finish(); }

    void addData(const char *data, qint64 size)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_space.wait(lock, [this] { return m_queue.size() < MaxQueuedChunks; });
        m_queue.emplace_back(data, static_cast<int>(size));
        m_ready.notify_one();
    }

    /// Waits for every chunk added so far; the digest as 64 lower-case hex digits.
    QByteArray hexResult()
    {
        finish();
        return m_result;
    }

private:
    void finish()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_closing = true;
        }
        m_ready.notify_one();
        if (m_thread.joinable())
            m_thread.join();
    }

    void run()
    {
        Sha256 hash;
        for (;;) {
            QByteArray chunk;
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_ready.wait(lock, [this] { return !m_queue.empty() || m_closing; });
                if (m_queue.empty())
                    break;
                chunk = std::move(m_queue.front());
                m_queue.pop_front();
                m_space.notify_one();
            }
            hash.addData(chunk.constData(), chunk.size());
        }
        m_result = hash.hexResult();
    }

    std::mutex m_mutex;
    std::condition_variable m_ready;
    std::condition_variable m_space;
    std::deque<QByteArray> m_queue;
    bool m_closing = false;
    QByteArray m_result; ///< written by the thread before it ends, read after join()
    std::thread m_thread; ///< last: it starts once everything above exists
};

CDownloadTransfer::CDownloadTransfer(QNetworkAccessManager *manager, QString url,
                                     UpdateFileEntry entry, QFileInfo cached,
                                     std::function<bool()> shouldStop, QObject *parent)
    : QObject(parent)
    , m_manager(manager)
    , m_url(url)
    , m_entry(entry)
    , m_cached(cached)
    , m_shouldStop(shouldStop)
{
    m_speedTimer.setInterval(DefaultWindowMs / WindowSteps);
    connect(&m_speedTimer, &QTimer::timeout, this, &CDownloadTransfer::onSpeedCheck);
}

CDownloadTransfer::~CDownloadTransfer()
{
    abort();
}

void CDownloadTransfer::start()
{
    QNetworkRequest request(QUrl(m_url + encodePathForUrl(m_entry.path), QUrl::TolerantMode));
    // Without this Qt asks for gzip and inflates the body itself, without any bound.
    request.setRawHeader("Accept-Encoding", "identity");
    // Only a 200 counts; a redirection is a failure, never followed.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    m_reply = m_manager->get(request);
    if (!m_reply) {
        fail(tr("下载更新文件%1失败").arg(m_cached.fileName()));
        return;
    }
    m_reply->setReadBufferSize(ReadBufferSize);
    if (!m_entry.sha256.isEmpty() && m_entry.size >= BackgroundHashSize)
        m_backgroundSha256 = std::make_unique<BackgroundSha256>();
    connect(m_reply, &QNetworkReply::readyRead, this, &CDownloadTransfer::onReadyRead);
    connect(m_reply, &QNetworkReply::downloadProgress, this, &CDownloadTransfer::onReplyProgress);
    connect(m_reply, &QNetworkReply::finished, this, &CDownloadTransfer::onReplyFinished);
    startSpeedCheck();
    // Create the body's file now, while Qt's network thread sends the request and
    // waits for the answer: creating a file costs about as much as fetching a small
    // one, and done here the two overlap. A file that cannot be created is tried
    // again, and reported, when the first body bytes arrive.
    if (!openCacheFile())
        m_cacheFile.reset();
}

void CDownloadTransfer::abort()
{
    m_speedTimer.stop();
    if (m_reply) {
        // Cut first, so that nothing the reply still reports reaches us: a failure
        // already reported stays the only one. Deleting the reply aborts its request.
        // abort() is not used: on a reply whose status notification (a 404, say) is
        // still queued from Qt's network thread it leads to a second error and Qt's
        // "Internal problem" warning; deletion drops those queued notifications.
        QNetworkReply *reply = m_reply;
        m_reply = nullptr;
        reply->disconnect(this);
        reply->deleteLater();
    }
    m_cacheFile.reset(); // removes the temporary file
    m_backgroundSha256.reset();
}

void CDownloadTransfer::setSpeedWindow(int milliseconds)
{
    m_speedTimer.setInterval(qMax(1, milliseconds / WindowSteps));
    if (m_speedTimer.isActive())
        startSpeedCheck();
}

void CDownloadTransfer::startSpeedCheck()
{
    m_speedSamples = {m_received};
    m_speedTimer.start();
}

bool CDownloadTransfer::checkStop()
{
    if (!m_shouldStop())
        return false;
    abort();
    emit stopped();
    return true;
}

void CDownloadTransfer::fail(const QString &message)
{
    abort();
    emit failed(message);
}

void CDownloadTransfer::onReadyRead()
{
    if (!checkStop())
        consumeBody();
}

void CDownloadTransfer::onReplyProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    if (!checkStop())
        emit progress(bytesReceived, bytesTotal);
}

bool CDownloadTransfer::consumeBody()
{
    const QString name = m_cached.fileName();
    if (m_reply->bytesAvailable() <= 0)
        return true;
    if (statusOf(m_reply) != 200 || !isPlainBody(m_reply)) {
        fail(tr("下载更新文件%1网络错误").arg(name));
        return false;
    }
    if (!m_cacheFile && !openCacheFile()) {
        fail(tr("更新文件%1写入失败").arg(name));
        return false;
    }
    if (m_chunk.size() != ChunkSize)
        m_chunk.resize(ChunkSize);
    const bool signedEntry = !m_entry.sha256.isEmpty();
    while (m_reply->bytesAvailable() > 0) {
        const qint64 got = m_reply->read(m_chunk.data(), m_chunk.size());
        if (got <= 0)
            break;
        m_received += static_cast<quint64>(got);
        // Stop a body that grows past its size at once instead of at its end.
        if (m_received > m_entry.size) {
            fail(tr("下载更新文件%1大小不对").arg(name));
            return false;
        }
        m_md5.addData(m_chunk.constData(), static_cast<int>(got));
        if (m_backgroundSha256)
            m_backgroundSha256->addData(m_chunk.constData(), got);
        else if (signedEntry)
            m_sha256.addData(m_chunk.constData(), got);
        if (m_cacheFile->write(m_chunk.constData(), got) != got) {
            fail(tr("更新文件%1写入失败").arg(name));
            return false;
        }
    }
    return true;
}

bool CDownloadTransfer::openCacheFile()
{
    // The body goes into a file of its own beside the cached place and is renamed
    // over it only after every check, so a stale file survives a body that fails
    // them, and the file is removed with the object on any failure or cancel.
    // Not QSaveFile: its commit() flushes every file to disk, which costs several
    // times the whole transfer of a small file; a cached file is verified again by
    // its hashes before a later run relies on it.
    m_cacheFile = std::make_unique<QTemporaryFile>(m_cached.absoluteFilePath()
                                                   + QLatin1String(".XXXXXX"));
    if (!m_cacheFile->open())
        return false;
    // Temporary files are private (0600); the installed file must not be.
    return m_cacheFile->setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser
                                       | QFile::WriteUser | QFile::ReadGroup | QFile::ReadOther);
}

bool CDownloadTransfer::commitCacheFile()
{
    if (!m_cacheFile->flush())
        return false;
    // QFile::rename never replaces a file; what is there now is a stale copy.
    const QString path = m_cached.absoluteFilePath();
    const QFileInfo current(path);
    if ((current.exists() || current.isSymLink()) && !QFile::remove(path))
        return false;
    if (!m_cacheFile->rename(path))
        return false;
    // Auto-removal follows the file to its new name.
    m_cacheFile->setAutoRemove(false);
    return true;
}

void CDownloadTransfer::onReplyFinished()
{
    if (checkStop())
        return;
    const QString name = m_cached.fileName();
    if (statusOf(m_reply) != 200 || !isPlainBody(m_reply)) {
        fail(tr("下载更新文件%1网络错误").arg(name));
        return;
    }
    if (!consumeBody())
        return;
    // A reset, a time-out or a connection closed before its announced length is a
    // network failure even after a 200; only a body that arrived whole is measured.
    if (m_reply->error() != QNetworkReply::NoError) {
        fail(tr("下载更新文件%1网络错误").arg(name));
        return;
    }
    if (m_received != m_entry.size) {
        fail(tr("下载更新文件%1大小不对").arg(name));
        return;
    }
    // A signed release pins the SHA-256 too: a forged body can match an MD5 text.
    const QByteArray sha256 = m_backgroundSha256 ? m_backgroundSha256->hexResult()
                                                 : m_sha256.hexResult();
    if (md5TextFromDigest(m_md5.result()) != m_entry.md5
        || (!m_entry.sha256.isEmpty() && sha256 != m_entry.sha256)) {
        fail(tr("更新文件%1校验不对").arg(name));
        return;
    }
    // An empty body brought nothing that opened the file.
    const bool committed = (m_cacheFile || openCacheFile()) && commitCacheFile();
    m_cacheFile.reset();
    abort();
    if (!committed) {
        fail(tr("更新文件%1写入失败").arg(name));
        return;
    }
    emit succeeded();
}

void CDownloadTransfer::onSpeedCheck()
{
    if (checkStop())
        return;
    m_speedSamples.append(m_received);
    if (m_speedSamples.size() <= WindowSteps)
        return;
    // The samples now span one whole window.
    if (m_speedSamples.constLast() - m_speedSamples.constFirst() < MinBytesPerWindow) {
        fail(tr("下载更新文件%1网络错误").arg(m_cached.fileName()));
        return;
    }
    m_speedSamples.removeFirst();
}
