#include "download/cdownloadthread.h"

#include "download/cacheplaces.h"
#include "download/cdownloadpartial.h"
#include "download/cdownloadtransfer.h"
#include "net/proxychoice.h"
#include "update/changedfiles.h"
#include "update/packindex.h"
#include "update/windowsnames.h"

#include <QFile>
#include <QMetaType>
#include <QUrl>

#include <utility>

namespace {

// A transfer must receive 1,024 bytes in every window of this length, and average
// 4 KiB/s from two windows on (see CDownloadTransfer); tests shorten it.
constexpr int DefaultTransferTimeoutMs = 30 * 1000;

} // namespace

bool CDownloadThread::isLink(const QFileInfo &info)
{
    // Asked of the file system itself: Qt 5 takes a Windows shortcut (.lnk), an
    // ordinary file, for a link, and a junction for a plain folder.
    return isLinkPlace(info.absoluteFilePath());
}

CDownloadThread::CDownloadThread(QString url, QDir cacheDir, QDir appDir,
                                 QList<UpdateFileEntry> files, QObject *parent, int connections,
                                 const QString &proxySetting)
    : QThread(parent)
    , m_url(url)
    , m_cacheDir(cacheDir)
    , m_appDir(appDir)
    , m_files(std::move(files))
    , m_transferTimeoutMs(DefaultTransferTimeoutMs)
    , m_inPlace(std::size_t(m_files.size()), false)
    , m_route(std::size_t(m_files.size()), 0)
    , m_mirror(std::size_t(m_files.size()), 0)
    , m_crowded(CDownloadPartial::crowdedPaths(m_files))
{
    m_manager.setProxyFactory(new ProxyChoice(proxySetting));
    // Plain HTTP without a proxy goes through our own client and HTTPS through curl,
    // which open what they are asked for. Qt 5, which serves plain HTTP through a
    // proxy, opens at most six connections to one proxy and queues further requests
    // inside, where they would spend their speed window waiting.
    const QString scheme = QUrl(url).scheme();
    const bool ownClient = scheme == QLatin1String("https")
        || (scheme == QLatin1String("http")
            && ProxyChoice::proxyFor(&m_manager, QUrl(url)).type() == QNetworkProxy::NoProxy);
    m_connections = qBound(1, connections, ownClient ? 16 : 6);
    m_streams = qBound(1, connections, 16);
    qRegisterMetaType<QFileInfo>("QFileInfo");
    qRegisterMetaType<int64_t>("int64_t");

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
    // The constructor sends only the first request, as it always has; the others
    // follow once the thread runs, when whoever shows the progress is connected
    // and sees every file begin.
    connect(this, &QThread::started, this, [this] {
        m_inFlightLimit = m_connections;
        if (!m_ended.load())
            downloadNext();
    }, Qt::QueuedConnection);

    keepFramesApart();
    takeBackStaged();
    // Bodies kept for files that this update no longer fetches would stay forever.
    CDownloadPartial::removeStale(m_cacheDir, fetchableEntries());
    downloadNext();
}

CDownloadThread::~CDownloadThread()
{
    // Destroying a QThread whose loop still runs aborts the process; the creator is
    // meant to wait for finished(), this only guards against one that did not.
    requestInterruption();
    quit();
    wait();
    // Their destructors abort the requests; no event loop may run to delete them later.
    m_transfers.clear();
    // An unpacking job sees the stop and ends soon; what it posts dies with us.
    m_unpackers.waitForDone();
}

bool CDownloadThread::isSuccess() const
{
    return m_success.load();
}

QString CDownloadThread::errorMsg() const
{
    return m_errorMsg;
}

void CDownloadThread::setHttp2Streams(int streams)
{
    m_streams = qBound(1, streams, 16);
}

void CDownloadThread::setMirrors(const QStringList &baseUrls)
{
    m_mirrors = baseUrls;
}

QHash<QString, QByteArray> CDownloadThread::retryAfter() const
{
    return m_retryAfter;
}

void CDownloadThread::setTransferTimeout(int milliseconds)
{
    m_transferTimeoutMs = milliseconds;
    // The first requests are sent by the constructor, before anyone can call this.
    for (const auto &transfer : m_transfers)
        transfer.second->setSpeedWindow(milliseconds);
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
    while (m_next < m_files.size() && int(m_transfers.size()) < m_inFlightLimit) {
        if (stopRequested()) {
            stop();
            return;
        }
        const int index = m_next++;
        const UpdateFileEntry &entry = m_files.at(index);
        const QFileInfo cached = cachedInfo(index);
        // The list comes from the network: a path that could leave the cache or the
        // installation root is never joined to either.
        if (!isSafeRelativePath(entry.path)) {
            fail(cached, tr("下载更新文件%1失败").arg(cached.fileName()));
            return;
        }
        bool valid = false;
        if (!prepareCachedPlace(entry, cached, valid))
            return;
        if (!valid && isInstalled(entry)) {
            m_inPlace[std::size_t(index)] = true;
            valid = true;
        }
        if (valid) {
            // Its file is verified: bytes kept from an earlier attempt are of no use.
            if (mayKeepPartial(index))
                CDownloadPartial(cached, entry).discard();
            continue;
        }
        m_route[std::size_t(index)] = usableRoute(index, 0);
        sendRequest(index);
        if (m_ended.load())
            return;
    }
    // Installation starts only when every listed file lies verified in the cache.
    if (m_next >= m_files.size() && m_transfers.empty() && m_unpacking == 0)
        install();
}

bool CDownloadThread::prepareCachedPlace(const UpdateFileEntry &entry, const QFileInfo &cached,
                                         bool &valid)
{
    valid = false;
    const QString busy = tr("路径%1被占用，无法删除!").arg(cached.absoluteFilePath());
    if (isLink(cached) || (cached.exists() && !cached.isFile() && !cached.isDir())) {
        if (!removeLinkPlace(cached.absoluteFilePath())) {
            fail(cached, busy);
            return false;
        }
        return true;
    }
    if (cached.isDir()) {
        if (!removeTree(cached.absoluteFilePath())) {
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

bool CDownloadThread::isInstalled(const UpdateFileEntry &entry) const
{
    // A run cut off during or right after the installation, before the record was
    // written, left files in place that the record still calls old. The size comes
    // first: an old version of another size costs no read at all.
    const QFileInfo target(m_appDir.absoluteFilePath(entry.path));
    return target.isFile() && !isLink(target) && quint64(target.size()) == entry.size
        && fileMatchesEntry(target.absoluteFilePath(), entry);
}

bool CDownloadThread::mayKeepPartial(int index) const
{
    const UpdateFileEntry &entry = m_files.at(index);
    return entry.size >= CDownloadPartial::MinimumKept && !m_crowded.contains(windowsUpcase(entry.path));
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
        if (!removeLinkPlace(place.absoluteFilePath())) {
            fail(place, tr("路径%1被占用，无法删除!").arg(place.absoluteFilePath()));
            return false;
        }
        break;
    }
    // The result is not needed: a missing folder fails the write of the body.
    m_cacheDir.mkpath(folder);
    return true;
}

void CDownloadThread::sendRequest(int index)
{
    const QFileInfo cached = cachedInfo(index);
    emit downloadStarted(cached, index, m_files.size());
    // A receiver connected directly may have cancelled the run.
    if (stopRequested()) {
        stop();
        return;
    }
    const UpdateFileEntry &entry = m_files.at(index);
    const int route = m_route[std::size_t(index)];
    const bool frame = route < entry.artefacts.size();
    const UpdateFileEntry fetched = frame ? frameEntry(entry.artefacts.at(route)) : entry;
    const QFileInfo place = frame ? QFileInfo(m_cacheDir.absoluteFilePath(fetched.path)) : cached;
    if (frame)
        m_cacheDir.mkpath(PackFolder);
    const bool keep = frame ? fetched.size >= CDownloadPartial::MinimumKept : mayKeepPartial(index);
    // Smaller routes come from the address that served the list; the plain file
    // from there first, then from each mirror in turn.
    const int mirror = frame ? 0 : m_mirror[std::size_t(index)];
    const QString baseUrl = mirror == 0 ? m_url : m_mirrors.at(mirror - 1);
    auto owned = std::make_unique<CDownloadTransfer>(&m_manager, baseUrl, fetched, place, keep,
                                                     [this] { return stopRequested(); });
    CDownloadTransfer *transfer = owned.get();
    m_transfers[index] = std::move(owned);
    transfer->setSpeedWindow(m_transferTimeoutMs);
    // With several files under way, the file bar follows the oldest of them: the
    // one the run waits for longest. For a frame it shows the bytes that travel.
    connect(transfer, &CDownloadTransfer::progress, this, [this, index](qint64 received, qint64 total) {
        if (m_transfers.begin()->first == index)
            emit downloadProgress(received, total);
    });
    connect(transfer, &CDownloadTransfer::stopped, this, &CDownloadThread::stop);
    if (frame) {
        // Whatever goes wrong on a smaller route, the file is still to be had whole.
        connect(transfer, &CDownloadTransfer::failed, this, [this, index] {
            dropTransfer(index);
            takeNextRoute(index);
        });
    } else {
        connect(transfer, &CDownloadTransfer::failed, this, [this, index, transfer](const QString &message) {
            // Every answer is checked alike, so a mirror's copy is as good as the
            // first one's; the run's message is the first address's failure.
            int &mirror = m_mirror[std::size_t(index)];
            if (!transfer->retryAfter().isEmpty())
                m_retryAfter.insert(mirror == 0 ? m_url : m_mirrors.at(mirror - 1), transfer->retryAfter());
            if (mirror == 0)
                m_firstFailure.insert(index, message);
            if (mirror < m_mirrors.size() && !stopRequested()) {
                ++mirror;
                dropTransfer(index);
                sendRequest(index);
                return;
            }
            fail(transfer->cached(), m_firstFailure.value(index, message));
        });
    }
    connect(transfer, &CDownloadTransfer::succeeded, this, [this, index, frame, transfer] {
        // Over HTTP/2 every request shares one connection: a limit meant for
        // connections no longer holds the requests back.
        if (transfer->usedHttp2())
            m_inFlightLimit = qMax(m_inFlightLimit, m_streams);
        dropTransfer(index);
        if (!frame) {
            fileArrived(index);
            return;
        }
        // The connection goes on to the next file while this one is unpacked.
        startUnpacking(index);
        downloadNext();
    });
    transfer->start();
}

void CDownloadThread::fileArrived(int index)
{
    discardFrames(index);
    emit downloadFinished(cachedInfo(index));
    // A receiver connected directly may have cancelled the run.
    if (stopRequested()) {
        stop();
        return;
    }
    downloadNext();
}

void CDownloadThread::dropTransfer(int index)
{
    // Its signal is still being delivered: deleted later, not now.
    const auto done = m_transfers.find(index);
    done->second->disconnect(this);
    done->second.release()->deleteLater();
    m_transfers.erase(done);
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
    stopTransfers();
}

void CDownloadThread::stopTransfers()
{
    // Stopped from inside one of their own signals, perhaps: deleted later.
    for (auto &transfer : m_transfers) {
        transfer.second->abort();
        transfer.second->disconnect(this);
        transfer.second.release()->deleteLater();
    }
    m_transfers.clear();
}
