#include "publish/treeswap.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_LINUX
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#endif

namespace {

bool plainRename(const QString &from, const QString &to)
{
    // QDir::rename refuses to move onto an existing name (renameat2 with
    // RENAME_NOREPLACE on Linux), so a folder created meanwhile is never merged.
    return QDir().rename(from, to);
}

} // namespace

bool moveFolderIntoPlace(const QString &staging, const QString &target, bool replace, QString &errorMessage)
{
    const bool exists = QFileInfo::exists(target);
    if (!exists) {
        if (plainRename(staging, target))
            return true;
        errorMessage = QStringLiteral("cannot move \"%1\" to \"%2\"").arg(staging, target);
        return false;
    }
    if (!replace) {
        errorMessage = QStringLiteral("\"%1\" exists").arg(target);
        return false;
    }
#ifdef Q_OS_LINUX
    // One exchange leaves no moment without a version folder, so clients that
    // are downloading from it never see it missing.
    const QByteArray from = QFile::encodeName(staging);
    const QByteArray to = QFile::encodeName(target);
    if (renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_EXCHANGE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) {
        errorMessage = QStringLiteral("cannot exchange \"%1\" and \"%2\": %3")
                           .arg(staging, target, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
#endif
    // Two renames: for a moment the version folder is missing.
    const QString aside = staging + QStringLiteral(".old");
    if (!plainRename(target, aside)) {
        errorMessage = QStringLiteral("cannot move \"%1\" aside").arg(target);
        return false;
    }
    if (!plainRename(staging, target)) {
        plainRename(aside, target);
        errorMessage = QStringLiteral("cannot move \"%1\" to \"%2\"").arg(staging, target);
        return false;
    }
    // Hand the old folder back under the staging name, which the caller removes.
    if (!plainRename(aside, staging))
        QDir(aside).removeRecursively();
    return true;
}
