#include "update/changedfiles.h"

#include "update/md5.h"

#include <QFile>

UpdateFileMap findChangedFiles(UpdateFileMap files, QDir root)
{
    UpdateFileMap record;
    QFile recordFile(root.absoluteFilePath(QStringLiteral("update_md5.info")));
    if (recordFile.open(QIODevice::ReadOnly)) {
        record = parseFileList(recordFile.readAll());
        recordFile.close();
    }

    UpdateFileMap changed;
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        const UpdateFileEntry &entry = it.value();
        const auto recorded = record.constFind(entry.path);
        bool selected;
        if (recorded != record.cend()) {
            selected = recorded->md5 != entry.md5;
        } else {
            // Entries come from parseFileList, whose paths are already safe; checking
            // again keeps this function from reading outside root for any caller.
            selected = !isSafeRelativePath(entry.path)
                    || !fileMatchesMd5(root.absoluteFilePath(entry.path), entry.md5);
        }
        if (selected)
            changed.insert(entry.path, entry);
    }
    return changed;
}
