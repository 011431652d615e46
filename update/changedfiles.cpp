#include "update/changedfiles.h"

#include "update/md5.h"
#include "update/sha256.h"

#include <QCryptographicHash>

#include <QFile>
#include <QFileInfo>
#include <QHash>

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
