#include "download/cdownloadthread.h"

#include "update/changedfiles.h"
#include "update/md5.h"

#include <QCryptographicHash>
#include <QFile>
#include <QMetaType>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTemporaryFile>
#include <QUrl>

namespace {

// The reply holds at most this much unread body; the socket is not read further
// until we have taken it, so memory stays the same for any file size.
constexpr qint64 ReadBufferSize = 256 * 1024;
// Body bytes moved from the reply into the cache file per read.
constexpr int ChunkSize = 64 * 1024;
// A transfer that receives less than MinBytesPerWindow in any window of this length
// is abandoned: a silent console update would otherwise hang for hours on a server
// that sends nothing, or a byte now and then, while it holds the instance guard.
constexpr int DefaultTransferTimeoutMs = 30 * 1000;
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

// A symbolic link is not a regular file, whatever it points to; a Windows
// shortcut (.lnk), which Qt 5 also reports as a link, is an ordinary file.
bool isLink(const QFileInfo &info)
{
    return info.isSymLink() && !info.isShortcut();
}

} // namespace

CDownloadThread::CDownloadThread(QString url, QDir cacheDir, QDir appDir,
                                 QList<UpdateFileEntry> files, QObject *parent)
    : QThread(parent)
    , m_url(url)
    , m_cacheDir(cacheDir)
    , m_appDir(appDir)
    , m_files(files)
    , m_hash(std::make_unique<QCryptographicHash>(QCryptographicHash::Md5))
{
    qRegisterMetaType<QFileInfo>("QFileInfo");
    qRegisterMetaType<int64_t>("int64_t");

    m_speedTimer.setInterval(DefaultTransferTimeoutMs / WindowSteps);
    connect(&m_speedTimer, &QTimer::timeout, this, &CDownloadThread::onSpeedCheck);

    // QThread::start() forgets a quit() that came before it, so a run that already
    // ended (here in the constructor, say) ends the new loop as soon as it starts.
    // exit() after started() is remembered by exec(), so there is no gap.
    connect(this, &QThread::started, this, [this] {
        if (m_ended.load())
            quit();
    }, Qt::DirectConnection);
    // Queued to this thread: a cancel that only quit the loop still stops the
    // transfer at once instead of with the next notification of the reply.
    connect(this, &QThread::finished, this, &CDownloadThread::onThreadFinished);

    downloadNext();
}

CDownloadThread::~CDownloadThread()
{
    // Destroying a QThread whose loop still runs aborts the process; the creator is
    // meant to wait for finished(), this only guards against one that did not.
    requestInterruption();
    quit();
    wait();
    stopTransfer();
}

bool CDownloadThread::isSuccess() const
{
    return m_success.load();
}

QString CDownloadThread::errorMsg() const
{
    return m_errorMsg;
}

void CDownloadThread::setTransferTimeout(int milliseconds)
{
    m_speedTimer.setInterval(qMax(1, milliseconds / WindowSteps));
    // The first request is sent by the constructor, before anyone can call this.
    if (m_speedTimer.isActive())
        startSpeedCheck();
}

void CDownloadThread::startSpeedCheck()
{
    m_speedSamples = {m_received};
    m_speedTimer.start();
}

QFileInfo CDownloadThread::cachedInfo(int index) const
{
    return QFileInfo(m_cacheDir.absoluteFilePath(m_files.at(index).path));
}

bool CDownloadThread::stopRequested() const
{
    // After the thread has finished, QThread reports no interruption request any
    // more, so a finished thread counts as a stop request too. Asked in this order,
    // a cancel is seen even while the thread is finishing.
    return m_ended.load() || isInterruptionRequested() || isFinished();
}

void CDownloadThread::downloadNext()
{
    while (m_current < m_files.size()) {
        if (stopRequested()) {
            stop();
            return;
        }
        const UpdateFileEntry &entry = m_files.at(m_current);
        const QFileInfo cached = cachedInfo(m_current);
        // The list comes from the network: a path that could leave the cache or the
        // installation root is never joined to either.
        if (!isSafeRelativePath(entry.path)) {
            fail(cached, tr("下载更新文件%1失败").arg(cached.fileName()));
            return;
        }
        bool valid = false;
        if (!prepareCachedPlace(entry, cached, valid))
            return;
        if (!valid) {
            sendRequest(entry, cached);
            return;
        }
        ++m_current;
    }
    install();
}

bool CDownloadThread::prepareCachedPlace(const UpdateFileEntry &entry, const QFileInfo &cached,
                                         bool &valid)
{
    valid = false;
    const QString busy = tr("路径%1被占用，无法删除!").arg(cached.absoluteFilePath());
    if (isLink(cached) || (cached.exists() && !cached.isFile() && !cached.isDir())) {
        if (!QFile::remove(cached.absoluteFilePath())) {
            fail(cached, busy);
            return false;
        }
        return true;
    }
    if (cached.isDir()) {
        if (!QDir(cached.absoluteFilePath()).removeRecursively()) {
            fail(cached, busy);
            return false;
        }
        return true;
    }
    if (cached.isFile()) {
        // A stale file stays until a new body has passed every check.
        valid = fileMatchesEntry(cached.absoluteFilePath(), entry);
        return true;
    }
    return prepareCacheFolders(entry.path);
}

bool CDownloadThread::prepareCacheFolders(const QString &relativePath)
{
    const int lastSlash = relativePath.lastIndexOf(QLatin1Char('/'));
    if (lastSlash < 0)
        return true;
    const QString folder = relativePath.left(lastSlash);
    // Only what lies below the cache folder is ours to clear away.
    const QStringList components = folder.split(QLatin1Char('/'));
    QString walked;
    for (const QString &component : components) {
        walked += walked.isEmpty() ? component : QLatin1Char('/') + component;
        const QFileInfo place(m_cacheDir.absoluteFilePath(walked));
        if (place.isDir() && !isLink(place))
            continue;
        if (!isLink(place) && !place.exists())
            break;
        if (!QFile::remove(place.absoluteFilePath())) {
            fail(place, tr("路径%1被占用，无法删除!").arg(place.absoluteFilePath()));
            return false;
        }
        break;
    }
    // The result is not needed: a missing folder fails the write of the body.
    m_cacheDir.mkpath(folder);
    return true;
}

void CDownloadThread::sendRequest(const UpdateFileEntry &entry, const QFileInfo &cached)
{
    emit downloadStarted(cached, m_current, m_files.size());
    // A receiver connected directly may have cancelled the run.
    if (stopRequested()) {
        stop();
        return;
    }

    QNetworkRequest request(QUrl(m_url + encodePathForUrl(entry.path), QUrl::TolerantMode));
    // Without this Qt asks for gzip and inflates the body itself, without any bound.
    request.setRawHeader("Accept-Encoding", "identity");
    // Only a 200 counts; a redirection is a failure, never followed.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    m_reply = m_manager.get(request);
    if (!m_reply) {
        fail(cached, tr("下载更新文件%1失败").arg(cached.fileName()));
        return;
    }
    m_reply->setReadBufferSize(ReadBufferSize);
    m_received = 0;
    m_hash->reset();
    m_sha256.reset();
    connect(m_reply, &QNetworkReply::readyRead, this, &CDownloadThread::onReadyRead);
    connect(m_reply, &QNetworkReply::downloadProgress, this, &CDownloadThread::onReplyProgress);
    connect(m_reply, &QNetworkReply::finished, this, &CDownloadThread::onReplyFinished);
    startSpeedCheck();
    // Create the body's file now, while Qt's network thread sends the request and
    // waits for the answer: creating a file costs about as much as fetching a small
    // one, and done here the two overlap. A file that cannot be created is tried
    // again, and reported, when the first body bytes arrive.
    if (!openCacheFile(cached))
        m_cacheFile.reset();
}

void CDownloadThread::onReadyRead()
{
    if (stopRequested()) {
        stop();
        return;
    }
    consumeBody();
}

void CDownloadThread::onReplyProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    if (stopRequested()) {
        stop();
        return;
    }
    emit downloadProgress(bytesReceived, bytesTotal);
}

bool CDownloadThread::consumeBody()
{
    const QFileInfo cached = cachedInfo(m_current);
    const UpdateFileEntry &entry = m_files.at(m_current);
    if (m_reply->bytesAvailable() <= 0)
        return true;
    if (m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() != 200
        || !isPlainBody(m_reply)) {
        fail(cached, tr("下载更新文件%1网络错误").arg(cached.fileName()));
        return false;
    }
    if (!m_cacheFile && !openCacheFile(cached)) {
        fail(cached, tr("更新文件%1写入失败").arg(cached.fileName()));
        return false;
    }
    if (m_chunk.size() != ChunkSize)
        m_chunk.resize(ChunkSize);
    while (m_reply->bytesAvailable() > 0) {
        const qint64 got = m_reply->read(m_chunk.data(), m_chunk.size());
        if (got <= 0)
            break;
        m_received += static_cast<quint64>(got);
        // Stop a body that grows past its size at once instead of at its end.
        if (m_received > entry.size) {
            fail(cached, tr("下载更新文件%1大小不对").arg(cached.fileName()));
            return false;
        }
        m_hash->addData(m_chunk.constData(), static_cast<int>(got));
        if (!entry.sha256.isEmpty())
            m_sha256.addData(m_chunk.constData(), got);
        if (m_cacheFile->write(m_chunk.constData(), got) != got) {
            fail(cached, tr("更新文件%1写入失败").arg(cached.fileName()));
            return false;
        }
    }
    return true;
}

bool CDownloadThread::openCacheFile(const QFileInfo &cached)
{
    // The body goes into a file of its own beside the cached place and is renamed
    // over it only after every check, so a stale file survives a body that fails
    // them, and the file is removed with the object on any failure or cancel.
    // Not QSaveFile: its commit() flushes every file to disk, which costs several
    // times the whole transfer of a small file; a cached file is verified again by
    // its MD5 text before a later run relies on it.
    m_cacheFile = std::make_unique<QTemporaryFile>(cached.absoluteFilePath()
                                                   + QLatin1String(".XXXXXX"));
    if (!m_cacheFile->open())
        return false;
    // Temporary files are private (0600); the installed file must not be.
    return m_cacheFile->setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser
                                       | QFile::WriteUser | QFile::ReadGroup | QFile::ReadOther);
}

bool CDownloadThread::commitCacheFile(const QFileInfo &cached)
{
    if (!m_cacheFile->flush())
        return false;
    // QFile::rename never replaces a file; what is there now is a stale copy.
    const QString path = cached.absoluteFilePath();
    const QFileInfo current(path);
    if ((current.exists() || current.isSymLink()) && !QFile::remove(path))
        return false;
    if (!m_cacheFile->rename(path))
        return false;
    // Auto-removal follows the file to its new name.
    m_cacheFile->setAutoRemove(false);
    return true;
}

void CDownloadThread::onReplyFinished()
{
    if (stopRequested()) {
        stop();
        return;
    }
    const QFileInfo cached = cachedInfo(m_current);
    const UpdateFileEntry &entry = m_files.at(m_current);
    const QString name = cached.fileName();

    if (m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() != 200
        || !isPlainBody(m_reply)) {
        fail(cached, tr("下载更新文件%1网络错误").arg(name));
        return;
    }
    if (!consumeBody())
        return;
    // A reset, a time-out or a connection closed before its announced length is a
    // network failure even after a 200; only a body that arrived whole is measured.
    if (m_reply->error() != QNetworkReply::NoError) {
        fail(cached, tr("下载更新文件%1网络错误").arg(name));
        return;
    }
    if (m_received != entry.size) {
        fail(cached, tr("下载更新文件%1大小不对").arg(name));
        return;
    }
    // A signed release pins the SHA-256 too: a forged body can match an MD5 text.
    if (md5TextFromDigest(m_hash->result()) != entry.md5
        || (!entry.sha256.isEmpty() && m_sha256.hexResult() != entry.sha256)) {
        fail(cached, tr("更新文件%1校验不对").arg(name));
        return;
    }
    // An empty body brought nothing that opened the file.
    const bool committed = (m_cacheFile || openCacheFile(cached)) && commitCacheFile(cached);
    m_cacheFile.reset();
    m_speedTimer.stop();
    m_reply->disconnect(this);
    m_reply->deleteLater();
    m_reply = nullptr;
    if (!committed) {
        fail(cached, tr("更新文件%1写入失败").arg(name));
        return;
    }
    ++m_current;
    downloadNext();
}

void CDownloadThread::onSpeedCheck()
{
    if (stopRequested()) {
        stop();
        return;
    }
    m_speedSamples.append(m_received);
    if (m_speedSamples.size() <= WindowSteps)
        return;
    // The samples now span one whole window.
    if (m_speedSamples.constLast() - m_speedSamples.constFirst() < MinBytesPerWindow) {
        const QFileInfo cached = cachedInfo(m_current);
        fail(cached, tr("下载更新文件%1网络错误").arg(cached.fileName()));
        return;
    }
    m_speedSamples.removeFirst();
}

void CDownloadThread::onThreadFinished()
{
    if (!m_ended.load())
        stop();
}

void CDownloadThread::fail(const QFileInfo &file, const QString &message)
{
    if (m_ended.load())
        return;
    endRun();
    m_errorMsg = message;
    emit downloadFail(file, m_errorMsg);
    quit();
}

void CDownloadThread::stop()
{
    endRun();
}

void CDownloadThread::endRun()
{
    m_ended.store(true);
    stopTransfer();
}

void CDownloadThread::stopTransfer()
{
    m_speedTimer.stop();
    if (m_reply) {
        // Cut first, so that nothing the reply still reports reaches us: the failure
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
}
