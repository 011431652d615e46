#include "download/cacheplaces.h"

#include <QDir>
#include <QFileInfo>

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <windows.h>

bool createNewFile(const QString &path, QFile &file, QString &error)
{
    const std::wstring name = QDir::toNativeSeparators(path).toStdWString();
    if (GetFileAttributesW(name.c_str()) != INVALID_FILE_ATTRIBUTES && !removeLinkPlace(path)) {
        error = QStringLiteral("%1: cannot be removed").arg(path);
        return false;
    }
    // CREATE_NEW fails on anything that lies there, a link included; the reparse
    // flag keeps even that attempt from following one.
    const HANDLE handle = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                      CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = QStringLiteral("%1: cannot be created (%2)").arg(path).arg(GetLastError());
        return false;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDWR | _O_BINARY);
    if (fd < 0) {
        CloseHandle(handle);
        error = QStringLiteral("%1: cannot be opened").arg(path);
        return false;
    }
    // Through a FILE: Qt maps a file opened from one, and not one opened from a
    // descriptor.
    FILE *stream = _fdopen(fd, "r+b");
    if (!stream) {
        _close(fd);
        error = QStringLiteral("%1: cannot be opened").arg(path);
        return false;
    }
    if (!file.open(stream, QIODevice::ReadWrite, QFileDevice::AutoCloseHandle)) {
        fclose(stream);
        error = QStringLiteral("%1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

bool isLinkPlace(const QString &path)
{
    const DWORD attributes = GetFileAttributesW(QDir::toNativeSeparators(path).toStdWString().c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool removeLinkPlace(const QString &path)
{
    // A plain file goes too (createNewFile() clears its place with this). A junction or a link to a folder goes with RemoveDirectoryW, which removes
    // the link and leaves the folder it points to as it is.
    const std::wstring name = QDir::toNativeSeparators(path).toStdWString();
    const DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return false;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return RemoveDirectoryW(name.c_str()) != 0;
    return DeleteFileW(name.c_str()) != 0;
}

bool isPrivateFolder(const QString &folder, const QString &root)
{
    // Access lists are not judged here: only a cache inside the installation,
    // which is as private as the installation itself, keeps its files.
    const QString cache = QFileInfo(folder).canonicalFilePath();
    const QString installation = QFileInfo(root).canonicalFilePath();
    return !cache.isEmpty() && !installation.isEmpty()
        && cache.startsWith(installation + QLatin1Char('/'), Qt::CaseInsensitive);
}
