#include "download/cacheplaces.h"

#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool createNewFile(const QString &path, QFile &file, QString &error)
{
    const QByteArray name = QFile::encodeName(path);
    // unlink() removes a link itself; what another user plants after it makes
    // O_EXCL fail instead of being written through.
    if (::unlink(name.constData()) != 0 && errno != ENOENT) {
        error = QStringLiteral("%1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    const int fd = ::open(name.constData(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = QStringLiteral("%1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    // Not left to the umask: an installed file must be readable by every user.
    ::fchmod(fd, 0644);
    if (!file.open(fd, QIODevice::ReadWrite, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        error = QStringLiteral("%1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

bool isLinkPlace(const QString &path)
{
    struct stat status;
    return ::lstat(QFile::encodeName(path).constData(), &status) == 0 && S_ISLNK(status.st_mode);
}

bool removeLinkPlace(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    return ::unlink(name.constData()) == 0 || ::rmdir(name.constData()) == 0;
}

bool isPrivateFolder(const QString &folder, const QString &)
{
    // Every folder from the cache up to "/" must belong to us or root and be
    // writable by no one else: otherwise another user could plant files in the
    // cache, or swap the cache or a folder above it for one of theirs. A folder
    // with the sticky bit (/tmp) lets others add entries but not rename or remove
    // ours, so it may lie above the cache, never be the cache. A path that goes
    // through a link is not judged at all: the link could point elsewhere later.
    const QString absolute = QDir::cleanPath(QFileInfo(folder).absoluteFilePath());
    if (QFileInfo(absolute).canonicalFilePath() != absolute)
        return false;
    const uid_t self = ::geteuid();
    QString walked = absolute;
    for (bool first = true;; first = false) {
        struct stat status;
        if (::lstat(QFile::encodeName(walked).constData(), &status) != 0 || !S_ISDIR(status.st_mode)
            || (status.st_uid != self && status.st_uid != 0))
            return false;
        const bool othersWrite = (status.st_mode & (S_IWGRP | S_IWOTH)) != 0;
        if (othersWrite && (first || (status.st_mode & S_ISVTX) == 0))
            return false;
        if (walked == QLatin1String("/"))
            return true;
        walked = QFileInfo(walked).absolutePath();
    }
}
