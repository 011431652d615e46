// The installation step of CDownloadThread: every verified file, checked once
// more, moves from the cache into the installation root, each file it replaces
// set aside as ".old". Files found installed already are left as they are.

#include "download/cdownloadthread.h"

#include "update/changedfiles.h"

#include <QFile>

#include <cstdio>
#include <thread>

namespace {

bool existsOrLink(const QFileInfo &info)
{
    return info.exists() || info.isSymLink();
}

// Windows refuses to delete a read-only file, and an ".old" left by an earlier
// update may be one (it was a read-only installed file); a second try after
// making it writable takes it.
bool removeSetAside(const QString &path)
{
    if (QFile::remove(path))
        return true;
    QFile::setPermissions(path, QFile::permissions(path) | QFile::WriteOwner | QFile::WriteUser);
    return QFile::remove(path);
}

// The C runtime's rename, not QFile::rename: it moves a program file that is in
// use on Windows, where copying it would fail. The 8-bit names are only used when
// they decode back to the same path; otherwise a look-alike file would be moved.
bool plainRename(const QString &from, const QString &to)
{
    const QByteArray from8 = QFile::encodeName(from);
    const QByteArray to8 = QFile::encodeName(to);
    if (QFile::decodeName(from8) != from || QFile::decodeName(to8) != to)
        return false;
    return std::rename(from8.constData(), to8.constData()) == 0;
}

} // namespace

bool CDownloadThread::cachedBodiesIntact()
{
    // Each body was verified as it arrived, but the cache may lie outside the
    // installation (Cache=), where another program could have replaced one since.
    // So each is checked again, all of them before anything moves, on several
    // threads since this is a second read of every byte.
    std::vector<int> pending;
    for (int index = 0; index < m_files.size(); ++index) {
        // A file that has gone is not checked here: its move fails and says so.
        const QFileInfo cached = cachedInfo(index);
        if (!m_inPlace[std::size_t(index)] && (cached.exists() || cached.isSymLink()))
            pending.push_back(index);
    }
    std::vector<char> intact(pending.size(), 0);
    std::atomic<std::size_t> next{0};
    auto check = [&] {
        for (std::size_t i; (i = next.fetch_add(1)) < pending.size();) {
            const UpdateFileEntry &entry = m_files.at(pending[i]);
            const QFileInfo cached = cachedInfo(pending[i]);
            // A link is not the file that was verified, whatever it points to now.
            intact[i] = cached.isFile() && !cached.isSymLink() && quint64(cached.size()) == entry.size
                && fileMatchesEntry(cached.absoluteFilePath(), entry);
        }
    };
    std::vector<std::thread> helpers;
    const int threads = qBound(1, QThread::idealThreadCount(), 4);
    for (int t = 1; t < threads && std::size_t(t) < pending.size(); ++t)
        helpers.emplace_back(check);
    check();
    for (std::thread &helper : helpers)
        helper.join();

    for (std::size_t i = 0; i < pending.size(); ++i) {
        if (intact[i])
            continue;
        const QFileInfo cached = cachedInfo(pending[i]);
        // Not kept: the next attempt downloads it again.
        QFile::remove(cached.absoluteFilePath());
        fail(QFileInfo(m_appDir.absoluteFilePath(m_files.at(pending[i]).path)),
             tr("更新文件%1校验不对").arg(cached.fileName()));
        return false;
    }
    return true;
}

void CDownloadThread::install()
{
    if (stopRequested()) {
        stop();
        return;
    }
    if (!cachedBodiesIntact())
        return;
    for (int index = 0; index < m_files.size(); ++index) {
        // Already in place: moving it aside would only leave a needless ".old".
        if (m_inPlace[std::size_t(index)])
            continue;
        if (!installEntry(m_files.at(index)))
            return;
    }
    m_success.store(true, std::memory_order_seq_cst);
    m_errorMsg = tr("更新成功");
    endRun();
    quit();
}

bool CDownloadThread::installEntry(const UpdateFileEntry &entry)
{
    // Every path passed isSafeRelativePath before its download (downloadNext), and
    // this step only runs once all of them have.
    const QFileInfo target(m_appDir.absoluteFilePath(entry.path));
    const QString targetPath = target.absoluteFilePath();
    const QString setAsidePath = m_appDir.absoluteFilePath(entry.path + QLatin1String(".old"));
    const QString cachedPath = m_cacheDir.absoluteFilePath(entry.path);

    bool setAside = false;
    if (existsOrLink(target)) {
        const QFileInfo earlier(setAsidePath);
        if (existsOrLink(earlier) && !removeSetAside(setAsidePath)) {
            fail(target, tr("删除文件%1失败").arg(earlier.fileName()));
            return false;
        }
        if (!plainRename(targetPath, setAsidePath)) {
            fail(target, tr("重命名%1为%2失败").arg(targetPath, setAsidePath));
            return false;
        }
        setAside = true;
#ifdef Q_OS_UNIX
        // Downloads are written as plain files; a replaced program stays runnable.
        QFile::setPermissions(cachedPath, QFile::permissions(setAsidePath));
#endif
    } else {
        const QString folder = target.absolutePath();
        if (!QFileInfo(folder).isDir() && !m_appDir.mkpath(folder)) {
            fail(target, tr("创建目录%1失败").arg(folder));
            return false;
        }
    }

    if (!QFile::rename(cachedPath, targetPath)) {
        // Without this the installation would lack the file (the host executable,
        // say) and no retry could bring it back: the next run finds the ".old" only.
        if (setAside)
            plainRename(setAsidePath, targetPath);
        fail(target, tr("覆盖文件%1失败").arg(target.fileName()));
        return false;
    }
    return true;
}
