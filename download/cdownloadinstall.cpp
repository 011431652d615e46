// The installation step of CDownloadThread: every verified file, checked once
// more, moves from the cache into the installation root, each file it replaces
// set aside as ".old". Files found installed already are left as they are.
//
// What moves into the installation is always a file of a private folder inside it.
// From a cache that only we can write to, a cached file is renamed there; from any
// other (a shared Cache=), its bytes are copied into a file created there, and the
// copy is what is checked: another user could have put a hard link to a file of
// their own at a cached place, and renaming it would install their file object.

#include "download/cdownloadthread.h"

#include "download/cacheplaces.h"
#include "download/installmoves.h"
#include "update/changedfiles.h"
#include "update/md5.h"
#include "update/sha256.h"

#include <QCryptographicHash>
#include <QFile>
#include <QMultiHash>
#include <QRegularExpression>

#include <cstdio>
#include <thread>

namespace {

bool existsOrLink(const QFileInfo &info)
{
    return info.exists() || info.isSymLink();
}

// Copies from into a new file to, hashing the bytes as they are written: true when
// the copy has the entry's size and hashes.
bool copyAndCheck(const QString &from, const QString &to, const UpdateFileEntry &entry)
{
    QFile target;
    QString error;
    if (!createNewFile(to, target, error))
        return false;
    QCryptographicHash md5(QCryptographicHash::Md5);
    Sha256 sha256;
    const bool signedEntry = !entry.sha256.isEmpty();
    quint64 copied = 0;
    bool written = true;
    const bool read = forEachFileChunk(from, [&](const char *data, qint64 size) {
        copied += quint64(size);
        written = written && copied <= entry.size && target.write(data, size) == size;
        if (written) {
            md5.addData(data, int(size));
            if (signedEntry)
                sha256.addData(data, size);
        }
    });
    return read && written && target.flush() && copied == entry.size
        && md5TextFromDigest(md5.result()) == entry.md5
        && (!signedEntry || sha256.hexResult() == entry.sha256);
}

} // namespace

void CDownloadThread::takeBackStaged()
{
    // A run killed while installing leaves its staging folder in the installation.
    // Its files go back to the cache places that lack them, each checked again like
    // a cached body, instead of being downloaded once more; copies from a shared
    // cache find their originals still there and are only dropped. A file put back
    // into a shared cache is copied and checked again when it is installed.
    // Only folders named as QTemporaryDir names ours, and no link is followed.
    static const QRegularExpression ours(QStringLiteral("^\\.update-[A-Za-z0-9]{6}$"));
    const QStringList folders = m_appDir.entryList({QStringLiteral(".update-*")},
                                                   QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot);
    QMultiHash<quint64, int> bySize;
    for (const QString &name : folders) {
        const QString folder = m_appDir.absoluteFilePath(name);
        if (!ours.match(name).hasMatch() || isLinkPlace(folder))
            continue;
        if (bySize.isEmpty()) {
            m_cacheDir.mkpath(QStringLiteral("."));
            for (int index = 0; index < m_files.size(); ++index)
                bySize.insert(m_files.at(index).size, index);
        }
        const QFileInfoList staged = QDir(folder).entryInfoList(QDir::Files | QDir::Hidden | QDir::System);
        for (const QFileInfo &file : staged) {
            const QList<int> candidates = bySize.values(quint64(file.size()));
            if (isLink(file) || candidates.isEmpty())
                continue;
            QByteArray md5;
            QByteArray sha256;
            if (!fileHashes(file.absoluteFilePath(), md5, sha256))
                continue;
            for (const int index : candidates) {
                const UpdateFileEntry &entry = m_files.at(index);
                const QFileInfo cached = cachedInfo(index);
                if (md5 != entry.md5 || (!entry.sha256.isEmpty() && sha256 != entry.sha256)
                    || !isSafeRelativePath(entry.path) || cached.exists() || isLink(cached))
                    continue;
                if (prepareCacheFolders(entry.path))
                    QFile::rename(file.absoluteFilePath(), cached.absoluteFilePath());
                break;
            }
        }
        removeTree(folder);
    }
}

QString CDownloadThread::stagedPath(int index) const
{
    return m_staging->filePath(QString::number(index));
}

bool CDownloadThread::stageAndCheck()
{
    // Every file to install leaves the cache for a private folder inside the
    // installation (renamed, or copied from a shared cache) before it is checked
    // once more: from here on what was checked is what moves in. All of them are
    // checked before the first one moves.
    const QString root = m_appDir.absolutePath();
    m_staging = std::make_unique<QTemporaryDir>(root + QStringLiteral("/.update-XXXXXX"));
    if (!m_staging->isValid()) {
        m_staging.reset();
        fail(QFileInfo(root), tr("创建目录%1失败").arg(root));
        return false;
    }
    m_copyFromCache = !isPrivateFolder(m_cacheDir.absolutePath(), root);
    std::vector<int> pending;
    std::vector<QString> sources; // of copies, taken here: QDir is not for threads
    for (int index = 0; index < m_files.size(); ++index) {
        if (m_inPlace[std::size_t(index)])
            continue;
        const QFileInfo cached = cachedInfo(index);
        sources.push_back(cached.absoluteFilePath());
        // A cached file gone, or a link now, fails as a rename of it would: the same
        // message whichever way the file leaves the cache.
        const bool movable = m_copyFromCache ? cached.isFile() && !isLink(cached)
                                             : QFile::rename(cached.absoluteFilePath(), stagedPath(index));
        if (!movable) {
            const QFileInfo target(m_appDir.absoluteFilePath(m_files.at(index).path));
            unstage();
            fail(target, tr("覆盖文件%1失败").arg(target.fileName()));
            return false;
        }
        pending.push_back(index);
    }

    // A second read of every byte (a copy's first, as it is written): on several threads.
    std::vector<char> intact(pending.size(), 0);
    std::atomic<std::size_t> next{0};
    auto check = [&] {
        for (std::size_t i; !stopRequested() && (i = next.fetch_add(1)) < pending.size();) {
            const UpdateFileEntry &entry = m_files.at(pending[i]);
            const QFileInfo staged(stagedPath(pending[i]));
            if (m_copyFromCache) {
                intact[i] = copyAndCheck(sources[i], staged.absoluteFilePath(), entry);
                continue;
            }
            // A link is not the file that was verified, whatever it points to now.
            intact[i] = staged.isFile() && !isLink(staged) && quint64(staged.size()) == entry.size
                && fileMatchesEntry(staged.absoluteFilePath(), entry);
        }
    };
    std::vector<std::thread> helpers;
    const int threads = qBound(1, QThread::idealThreadCount(), 4);
    for (int t = 1; t < threads && std::size_t(t) < pending.size(); ++t)
        helpers.emplace_back(check);
    check();
    for (std::thread &helper : helpers)
        helper.join();
    if (stopRequested()) {
        unstage();
        stop();
        return false;
    }
    for (std::size_t i = 0; i < pending.size(); ++i) {
        if (intact[i])
            continue;
        // Not kept: the next attempt downloads it again.
        QFile::remove(stagedPath(pending[i]));
        if (m_copyFromCache)
            QFile::remove(sources[i]);
        unstage();
        const QFileInfo cached = cachedInfo(pending[i]);
        fail(QFileInfo(m_appDir.absoluteFilePath(m_files.at(pending[i]).path)),
             tr("更新文件%1校验不对").arg(cached.fileName()));
        return false;
    }
    return true;
}

void CDownloadThread::unstage()
{
    // What has not moved in goes back to the cache, verified, for the next attempt;
    // copies are only dropped, their cached files are still there.
    for (int index = 0; index < m_files.size() && !m_copyFromCache; ++index) {
        const QString staged = stagedPath(index);
        if (QFileInfo::exists(staged) || QFileInfo(staged).isSymLink())
            QFile::rename(staged, cachedInfo(index).absoluteFilePath());
    }
    m_staging.reset();
}

void CDownloadThread::install()
{
    if (stopRequested()) {
        stop();
        return;
    }
    if (!stageAndCheck())
        return;
    // A trust anchor (update.pub) moves in last: a release that fails halfway
    // must not have changed which keys the next run trusts.
    for (const bool anchors : {false, true}) {
        for (int index = 0; index < m_files.size(); ++index) {
            // Already in place: moving it aside would only leave a needless ".old".
            if (m_inPlace[std::size_t(index)]
                || (QFileInfo(m_files.at(index).path).fileName() == QLatin1String("update.pub")) != anchors)
                continue;
            if (!installEntry(index)) {
                unstage();
                return;
            }
            // Installed from a copy: its cached file has done its part, as a renamed
            // one has, and a failure further on leaves the cache as renames would.
            if (m_copyFromCache)
                QFile::remove(cachedInfo(index).absoluteFilePath());
        }
    }
    m_staging.reset();
    m_success.store(true, std::memory_order_seq_cst);
    m_errorMsg = tr("更新成功");
    endRun();
    quit();
}

bool CDownloadThread::installEntry(int index)
{
    // Every path passed isSafeRelativePath before its download (downloadNext), and
    // this step only runs once all of them have.
    const UpdateFileEntry &entry = m_files.at(index);
    const QFileInfo target(m_appDir.absoluteFilePath(entry.path));
    const QString targetPath = target.absoluteFilePath();
    const QString setAsidePath = m_appDir.absoluteFilePath(entry.path + QLatin1String(".old"));
    const QString stagedFile = stagedPath(index);
    // Another program may hold a file for a moment (a virus scanner reading what
    // was just replaced): each file gets 30 s in all before the run fails.
    const QDeadlineTimer patience(30 * 1000);

    bool setAside = false;
    if (existsOrLink(target)) {
        const QFileInfo earlier(setAsidePath);
        if (existsOrLink(earlier) && !removeInstalledFile(setAsidePath, patience)) {
            fail(target, tr("删除文件%1失败").arg(earlier.fileName()));
            return false;
        }
        if (!moveInstalledFile(targetPath, setAsidePath, patience)) {
            fail(target, tr("重命名%1为%2失败").arg(targetPath, setAsidePath));
            return false;
        }
        setAside = true;
#ifdef Q_OS_UNIX
        // Downloads are written as plain files; a replaced program stays runnable.
        QFile::setPermissions(stagedFile, QFile::permissions(setAsidePath));
#endif
    } else {
        const QString folder = target.absolutePath();
        if (!QFileInfo(folder).isDir() && !m_appDir.mkpath(folder)) {
            fail(target, tr("创建目录%1失败").arg(folder));
            return false;
        }
    }

    if (!moveIntoPlace(stagedFile, targetPath, patience)) {
        // Without this the installation would lack the file (the host executable,
        // say) and no retry could bring it back: the next run finds the ".old" only.
        // It gets patience of its own: the file must not stay missing.
        if (setAside)
            moveInstalledFile(setAsidePath, targetPath, QDeadlineTimer(30 * 1000));
        fail(target, tr("覆盖文件%1失败").arg(target.fileName()));
        return false;
    }
    return true;
}
