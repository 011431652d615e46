#include "update/changedfiles.h"

#include "update/md5.h"
#include "update/sha256.h"

#include <QCryptographicHash>

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QThread>

#include <atomic>
#include <thread>
#include <vector>

UpdateFileMap findChangedFiles(UpdateFileMap files, QDir root)
{
    UpdateFileMap record;
    QFile recordFile(root.absoluteFilePath(QStringLiteral("update_md5.info")));
    if (recordFile.open(QIODevice::ReadOnly)) {
        record = parseFileList(recordFile.readAll());
        recordFile.close();
    }

    // A failed open is a system call like any other; a list of a million new files
    // would spend seconds on them. A folder that does not exist holds none of its
    // files, so it is looked at once for all of them.
    QHash<QString, bool> folderExists;
    // Unchanged entries are taken out of the list itself: when most files differ,
    // as on a first installation, a second map would double the memory of the check.
    for (auto it = files.begin(); it != files.end();) {
        const UpdateFileEntry &entry = it.value();
        const auto recorded = record.constFind(entry.path);
        bool selected;
        if (recorded != record.cend()) {
            selected = recorded->md5 != entry.md5;
        } else {
            // Entries come from parseFileList, whose paths are already safe; checking
            // again keeps this function from reading outside root for any caller.
            selected = !isSafeRelativePath(entry.path);
            if (!selected) {
                const QString path = root.absoluteFilePath(entry.path);
                const QString folder = path.left(path.lastIndexOf(QLatin1Char('/')));
                auto known = folderExists.constFind(folder);
                if (known == folderExists.cend())
                    known = folderExists.insert(folder, QFileInfo(folder).isDir());
                selected = !*known || !fileMatchesEntry(path, entry);
            }
        }
        if (selected)
            ++it;
        else
            it = files.erase(it);
    }
    return files;
}

UpdateFileMap findDamagedFiles(UpdateFileMap files, QDir root)
{
    // Only files of the listed size are read; they are shared out to the threads
    // one by one, so that one large file does not hold a whole share back.
    std::vector<UpdateFileMap::iterator> sized;
    for (auto it = files.begin(); it != files.end(); ++it) {
        const QFileInfo installed(root.absoluteFilePath(it->path));
        // A symbolic link is not the file it points to; a Windows shortcut is a file.
        if (isSafeRelativePath(it->path) && installed.isFile() && !(installed.isSymLink() && !installed.isShortcut())
            && quint64(installed.size()) == it->size)
            sized.push_back(it);
    }
    std::vector<char> intact(sized.size(), 0);
    std::atomic<std::size_t> next{0};
    const auto check = [&] {
        for (std::size_t i; (i = next.fetch_add(1)) < sized.size();)
            intact[i] = fileMatchesEntry(root.absoluteFilePath(sized[i]->path), *sized[i]);
    };
    std::vector<std::thread> helpers;
    for (int t = 1; t < QThread::idealThreadCount() && std::size_t(t) < sized.size(); ++t)
        helpers.emplace_back(check);
    check();
    for (std::thread &helper : helpers)
        helper.join();
    for (std::size_t i = 0; i < sized.size(); ++i) {
        if (intact[i])
            files.erase(sized[i]);
    }
    return files;
}

bool fileHashes(const QString &filePath, QByteArray &md5Text, QByteArray &sha256Hex)
{
    QCryptographicHash md5(QCryptographicHash::Md5);
    Sha256 sha256;
    if (!forEachFileChunk(filePath, [&](const char *data, qint64 size) {
            md5.addData(data, static_cast<int>(size));
            sha256.addData(data, size);
        }))
        return false;
    md5Text = md5TextFromDigest(md5.result());
    sha256Hex = sha256.hexResult();
    return true;
}

bool fileMatchesEntry(const QString &filePath, const UpdateFileEntry &entry)
{
    if (entry.sha256.isEmpty())
        return fileMatchesMd5(filePath, entry.md5);
    QByteArray md5;
    QByteArray sha256;
    // MD5 collisions can be made at will; only both together identify the file.
    return fileHashes(filePath, md5, sha256) && md5 == entry.md5 && sha256 == entry.sha256;
}
