#include "download/cdownloadtransfer.h"

#include "download/backgroundhashes.h"
#include "download/cacheplaces.h"
#include "download/cdownloadpartial.h"
#include "net/httprequest.h"
#include "update/md5.h"

#include <QFile>
#include <QNetworkAccessManager>
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
// A transfer that receives less than MinBytesPerWindow in any window (30 s unless
// set otherwise) is abandoned: a silent console update would otherwise hang for
// hours on a server that sends nothing, or a byte now and then, while it holds
// the instance guard.
constexpr int DefaultWindowMs = 30 * 1000;
constexpr quint64 MinBytesPerWindow = 1024;
// The window slides in steps of this fraction of its length.
constexpr int WindowSteps = 6;
// The window's floor alone lets a server send a large file at a few dozen bytes a
// second for weeks. So from two windows (60 s) after its request on, a transfer
// must also have averaged this much since that request, or it is abandoned too.
constexpr quint64 MinAverageBytesPerSecond = 4 * 1024;
constexpr int AverageAfterWindows = 2;

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

// Kept bytes read per step of the rehash; between steps the event loop runs, so
// the dialog stays responsive and a cancel is seen while a large prefix is read.
constexpr int RehashChunksPerStep = 64;

// Files from this size on are hashed on a thread of their own; for smaller ones
// starting a thread costs more than it saves.
constexpr quint64 BackgroundHashSize = 1024 * 1024;

} // namespace

CDownloadTransfer::CDownloadTransfer(QNetworkAccessManager *manager, QString url,
                                     UpdateFileEntry entry, QFileInfo cached, bool keepPartial,
                                     std::function<bool()> shouldStop, QObject *parent)
    : QObject(parent)
    , m_manager(manager)
    , m_url(url)
    , m_entry(entry)
    , m_cached(cached)
    , m_shouldStop(shouldStop)
    , m_speedWindowMs(DefaultWindowMs)
{
    if (keepPartial)
        m_partial = std::make_unique<CDownloadPartial>(m_cached, m_entry);
    m_speedTimer.setInterval(DefaultWindowMs / WindowSteps);
    connect(&m_speedTimer, &QTimer::timeout, this, &CDownloadTransfer::onSpeedCheck);
    m_rehashTimer.setInterval(0);
    connect(&m_rehashTimer, &QTimer::timeout, this, &CDownloadTransfer::onRehashStep);
}

CDownloadTransfer::~CDownloadTransfer()
{
    abort();
}

void CDownloadTransfer::start()
{
    resetHashes();
    if (m_partial && m_partial->find()) {
        // The hashes cover the whole file, so the kept bytes are read once more
        // before the rest is asked for; the list's check of the whole file is what
        // tells whether the two parts belong together.
        m_cacheFile = std::make_unique<QFile>(m_partial->dataPath());
        if (m_cacheFile->open(QIODevice::ReadWrite)) {
            m_writingPartial = true;
            m_rehashed = 0;
            m_rehashTimer.start();
            return;
        }
        m_cacheFile.reset();
        m_partial->discard();
    }
    sendRequest();
}

void CDownloadTransfer::sendRequest()
{
    QNetworkRequest request(QUrl(m_url + encodePathForUrl(m_entry.path), QUrl::TolerantMode));
    // Without this Qt asks for gzip and inflates the body itself, without any bound.
    request.setRawHeader("Accept-Encoding", "identity");
    // Only a 200 counts; a redirection is a failure, never followed.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    if (m_offset > 0) {
        // If-Range: a server whose file changed since sends it whole (200) instead.
        request.setRawHeader("Range", "bytes=" + QByteArray::number(m_offset) + '-');
        request.setRawHeader("If-Range", m_partial->ifRange());
    }
    m_answerChecked = false;
    m_requestClock.start();
    m_reply = m_manager->get(request);
    if (!m_reply) {
        failNetwork(tr("下载更新文件%1失败").arg(m_cached.fileName()));
        return;
    }
    m_reply->setReadBufferSize(ReadBufferSize);
    connect(m_reply, &QNetworkReply::readyRead, this, &CDownloadTransfer::onReadyRead);
    connect(m_reply, &QNetworkReply::downloadProgress, this, &CDownloadTransfer::onReplyProgress);
    connect(m_reply, &QNetworkReply::finished, this, &CDownloadTransfer::onReplyFinished);
    startSpeedCheck();
    // Create the body's file now, while Qt's network thread sends the request and
    // waits for the answer: creating a file costs about as much as fetching a small
    // one, and done here the two overlap. A file that cannot be created is tried
    // again, and reported, when the first body bytes arrive. A body that may be
    // kept waits for the answer: its record needs the answer's validator.
    if (!m_partial && !m_cacheFile && !openTemporaryFile())
        m_cacheFile.reset();
}

void CDownloadTransfer::onRehashStep()
{
    if (checkStop())
        return;
    const quint64 kept = m_partial->length();
    if (m_chunk.size() != ChunkSize)
        m_chunk.resize(ChunkSize);
    for (int i = 0; i < RehashChunksPerStep && m_rehashed < kept; ++i) {
        const qint64 want = qMin<qint64>(m_chunk.size(), qint64(kept - m_rehashed));
        const qint64 got = m_cacheFile->read(m_chunk.data(), want);
        if (got <= 0) {
            // Unreadable, or shorter than it was a moment ago: not worth trusting.
            restartFromZero();
            return;
        }
        hashChunk(m_chunk.constData(), got);
        m_rehashed += static_cast<quint64>(got);
    }
    emit progress(qint64(m_rehashed), qint64(m_entry.size));
    if (m_rehashed < kept)
        return;
    m_rehashTimer.stop();
    // The next byte written follows the kept ones, whatever may lie beyond them.
    if (!m_cacheFile->seek(qint64(kept)) || !m_cacheFile->resize(qint64(kept))) {
        restartFromZero();
        return;
    }
    m_offset = m_received = kept;
    if (m_received < m_entry.size) {
        sendRequest();
        return;
    }
    // Cut off after its last byte but before it was committed: nothing to fetch.
    // Other bytes of the full length are fetched afresh; nothing came from the
    // network that could have failed a check.
    if (!hashesMatch()) {
        restartFromZero();
        return;
    }
    commitBody();
}

void CDownloadTransfer::abort()
{
    stopTransfer(true);
}

void CDownloadTransfer::dropReply()
{
    if (!m_reply)
        return;
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

void CDownloadTransfer::stopTransfer(bool keep)
{
    m_speedTimer.stop();
    const bool rehashing = m_rehashTimer.isActive();
    m_rehashTimer.stop();
    dropReply();
    if (m_writingPartial) {
        // Small beginnings are not worth a resume; kept bytes not yet rehashed are
        // as they were found.
        keep = keep && (rehashing || m_received >= CDownloadPartial::MinimumKept);
        if (m_cacheFile)
            m_cacheFile->close();
        m_cacheFile.reset();
        m_writingPartial = false;
        if (!keep)
            m_partial->discard();
    }
    m_cacheFile.reset(); // removes a temporary file
    m_backgroundHashes.reset();
}

void CDownloadTransfer::setSpeedWindow(int milliseconds)
{
    m_speedWindowMs = milliseconds;
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
    stopTransfer(true);
    emit stopped();
    return true;
}

void CDownloadTransfer::fail(const QString &message, bool keep)
{
    stopTransfer(keep);
    if (!keep && m_partial)
        m_partial->discard();
    emit failed(message);
}

void CDownloadTransfer::failNetwork(const QString &message)
{
    fail(message, true);
}

void CDownloadTransfer::failCheck(const QString &message)
{
    fail(message, false);
}

void CDownloadTransfer::onReadyRead()
{
    if (!checkStop())
        consumeBody();
}

void CDownloadTransfer::onReplyProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    if (checkStop())
        return;
    if (!m_answerChecked && statusOf(m_reply) != 0 && checkAnswer() != Answer::Accepted)
        return;
    // The file bar shows the whole file: a resumed body adds to the kept bytes.
    emit progress(qint64(m_offset) + bytesReceived,
                  bytesTotal < 0 ? bytesTotal : qint64(m_offset) + bytesTotal);
}

CDownloadTransfer::Answer CDownloadTransfer::checkAnswer()
{
    const QString networkError = tr("下载更新文件%1网络错误").arg(m_cached.fileName());
    const int status = statusOf(m_reply);
    // No answer at all (refused, reset): the network failed, not the server's file.
    if (status == 0) {
        failNetwork(networkError);
        return Answer::Failed;
    }
    if (status == 429 || status == 503)
        m_retryAfter = m_reply->rawHeader("Retry-After");
    if (!isPlainBody(m_reply)) {
        failCheck(networkError);
        return Answer::Failed;
    }
    if (m_offset > 0) {
        if (status == 206) {
            if (!m_partial->isRest(m_reply->rawHeader("Content-Range"), m_reply->rawHeader("ETag"),
                                   m_reply->rawHeader("Last-Modified"))) {
                restartFromZero();
                return Answer::Restarted;
            }
            m_answerChecked = true;
            return Answer::Accepted;
        }
        // A server busy or failing for a moment says nothing about the kept bytes.
        if (status >= 500 || status == 408 || status == 429) {
            failNetwork(networkError);
            return Answer::Failed;
        }
        // The kept bytes reach past the server's file: it is another one now.
        if (status == 416) {
            restartFromZero();
            return Answer::Restarted;
        }
        // A 200 is the whole file, of the version the server has now (If-Range
        // failed, or ranges are not served): start over with this body.
        if (status == 200) {
            m_cacheFile.reset();
            m_writingPartial = false;
            m_partial->discard();
            m_offset = m_received = 0;
            resetHashes();
            startSpeedCheck();
        }
    }
    if (status != 200) {
        failCheck(networkError);
        return Answer::Failed;
    }
    if (m_partial && !openPartialFile()) {
        // No validator, or no room for the record: fetched like a small file.
        m_partial->discard();
        if (!openTemporaryFile()) {
            failCheck(tr("更新文件%1写入失败").arg(m_cached.fileName()));
            return Answer::Failed;
        }
    }
    m_answerChecked = true;
    return Answer::Accepted;
}

void CDownloadTransfer::restartFromZero()
{
    m_rehashTimer.stop();
    dropReply();
    m_cacheFile.reset();
    m_writingPartial = false;
    m_partial->discard();
    m_offset = m_received = 0;
    resetHashes();
    sendRequest();
}

void CDownloadTransfer::resetHashes()
{
    m_md5.reset();
    m_sha256.reset();
    m_backgroundHashes.reset();
    if (m_entry.size >= BackgroundHashSize)
        m_backgroundHashes = std::make_unique<BackgroundHashes>(!m_entry.sha256.isEmpty());
}

void CDownloadTransfer::hashChunk(const char *data, qint64 size)
{
    if (m_backgroundHashes) {
        m_backgroundHashes->addData(data, size);
        return;
    }
    m_md5.addData(data, static_cast<int>(size));
    if (!m_entry.sha256.isEmpty())
        m_sha256.addData(data, size);
}

bool CDownloadTransfer::consumeBody()
{
    const QString name = m_cached.fileName();
    if (m_reply->bytesAvailable() <= 0)
        return true;
    if (!m_answerChecked && checkAnswer() != Answer::Accepted)
        return false;
    if (!m_cacheFile && !openTemporaryFile()) {
        failCheck(tr("更新文件%1写入失败").arg(name));
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
        if (m_received > m_entry.size) {
            failCheck(tr("下载更新文件%1大小不对").arg(name));
            return false;
        }
        hashChunk(m_chunk.constData(), got);
        if (m_cacheFile->write(m_chunk.constData(), got) != got) {
            failCheck(tr("更新文件%1写入失败").arg(name));
            return false;
        }
    }
    return true;
}

bool CDownloadTransfer::openTemporaryFile()
{
    // The body goes into a file of its own beside the cached place and is renamed
    // over it only after every check, so a stale file survives a body that fails
    // them, and the file is removed with the object on any failure or cancel.
    // Not QSaveFile: its commit() flushes every file to disk, which costs several
    // times the whole transfer of a small file; a cached file is verified again by
    // its hashes before a later run relies on it.
    auto file = std::make_unique<QTemporaryFile>(m_cached.absoluteFilePath()
                                                 + QLatin1String(".XXXXXX"));
    const bool opened = file->open();
    m_cacheFile = std::move(file);
    m_writingPartial = false;
    // Temporary files are private (0600); the installed file must not be.
    return opened && m_cacheFile->setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser
                                                 | QFile::WriteUser | QFile::ReadGroup | QFile::ReadOther);
}

bool CDownloadTransfer::openPartialFile()
{
    // The record first: bytes that lie without one are never resumed.
    if (!m_partial->record(m_reply->rawHeader("ETag"), m_reply->rawHeader("Last-Modified")))
        return false;
    // A new file: a link planted at its place in a shared cache is not written through.
    m_cacheFile = std::make_unique<QFile>();
    QString error;
    m_writingPartial = createNewFile(m_partial->dataPath(), *m_cacheFile, error);
    if (!m_writingPartial)
        m_cacheFile.reset();
    return m_writingPartial;
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
    if (m_writingPartial) {
        // Opened from a descriptor, the file knows no name of its own to rename.
        m_cacheFile.reset();
        if (!QFile::rename(m_partial->dataPath(), path))
            return false;
        m_writingPartial = false;
        // The bytes have moved, so this removes the record only.
        m_partial->discard();
        return true;
    }
    auto *temporary = static_cast<QTemporaryFile *>(m_cacheFile.get());
    if (!temporary->rename(path))
        return false;
    // Auto-removal follows the file to its new name.
    temporary->setAutoRemove(false);
    return true;
}

void CDownloadTransfer::onReplyFinished()
{
    if (checkStop())
        return;
    if (!m_answerChecked && checkAnswer() != Answer::Accepted)
        return;
    m_usedHttp2 = m_reply->attribute(QNetworkRequest::Http2WasUsedAttribute).toBool();
    if (!consumeBody())
        return;
    // A reset, a time-out or a connection closed before its announced length is a
    // network failure even after a 200; only a body that arrived whole is measured.
    if (m_reply->error() != QNetworkReply::NoError) {
        failNetwork(tr("下载更新文件%1网络错误").arg(m_cached.fileName()));
        return;
    }
    finishBody();
}

bool CDownloadTransfer::hashesMatch()
{
    QByteArray md5;
    QByteArray sha256;
    if (m_backgroundHashes) {
        m_backgroundHashes->results(md5, sha256);
    } else {
        md5 = m_md5.result();
        sha256 = m_entry.sha256.isEmpty() ? QByteArray() : m_sha256.hexResult();
    }
    // A signed release pins the SHA-256 too: a forged body can match an MD5 text.
    return md5TextFromDigest(md5) == m_entry.md5
        && (m_entry.sha256.isEmpty() || sha256 == m_entry.sha256);
}

void CDownloadTransfer::finishBody()
{
    const QString name = m_cached.fileName();
    if (m_received != m_entry.size) {
        // Qt 5 may finish a reply whose connection was reset without an error, its
        // body shorter than announced: that was the network, and what arrived is
        // kept like after any other cut.
        const bool cut = m_reply && m_received < m_entry.size
            && m_reply->rawHeader("Content-Length").trimmed().toULongLong() > m_received - m_offset;
        fail(tr("下载更新文件%1大小不对").arg(name), cut);
        return;
    }
    if (!hashesMatch()) {
        failCheck(tr("更新文件%1校验不对").arg(name));
        return;
    }
    commitBody();
}

void CDownloadTransfer::commitBody()
{
    const QString name = m_cached.fileName();
    // An empty body brought nothing that opened the file.
    const bool committed = (m_cacheFile || openTemporaryFile()) && commitCacheFile();
    if (!committed) {
        failCheck(tr("更新文件%1写入失败").arg(name));
        return;
    }
    m_cacheFile.reset();
    stopTransfer(false);
    emit succeeded();
}

void CDownloadTransfer::onSpeedCheck()
{
    if (checkStop())
        return;
    m_speedSamples.append(m_received);
    // Once the samples span one whole window, the oldest one drops out.
    const bool windowFull = m_speedSamples.size() > WindowSteps;
    if ((windowFull && m_speedSamples.constLast() - m_speedSamples.constFirst() < MinBytesPerWindow)
        || belowAverageSpeed()) {
        failNetwork(tr("下载更新文件%1网络错误").arg(m_cached.fileName()));
        return;
    }
    if (windowFull)
        m_speedSamples.removeFirst();
}

bool CDownloadTransfer::belowAverageSpeed() const
{
    const qint64 elapsedMs = m_requestClock.elapsed();
    if (elapsedMs < qint64(m_speedWindowMs) * AverageAfterWindows)
        return false;
    // The wait for the answer counts: a server that idles through most of the time
    // before it trickles is what this floor is for. Bytes kept from an earlier
    // attempt do not: they came at another speed, perhaps from another server.
    const quint64 bytes = m_received - m_offset;
    return bytes * 1000 < MinAverageBytesPerSecond * quint64(elapsedMs);
}
