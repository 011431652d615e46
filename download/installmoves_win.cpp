#include "download/installmoves.h"

#include <QDir>
#include <QThread>

#include <windows.h>

namespace {

// A path the wide calls take whatever its length: past MAX_PATH only the "\\?\"
// form reaches it, even in a process that declares itself long-path aware on a
// system where long paths are switched off.
std::wstring widePath(const QString &path)
{
    QString native = QDir::toNativeSeparators(path);
    if (native.size() >= MAX_PATH - 12 && !native.startsWith(QLatin1String("\\\\?\\"))) {
        native = native.startsWith(QLatin1String("\\\\"))
            ? QStringLiteral("\\\\?\\UNC\\") + native.mid(2)
            : QStringLiteral("\\\\?\\") + native;
    }
    return native.toStdWString();
}

bool heldByAnother(DWORD error)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION
        || error == ERROR_ACCESS_DENIED;
}

/// Runs attempt until it succeeds, fails for another reason than a file held open,
/// or patience runs out; pauses grow from 50 ms to 2 s. A scanner lets go within a
/// second or two; a program that keeps the file fails the run within the patience.
template <typename Attempt>
bool withPatience(const QDeadlineTimer &patience, Attempt attempt)
{
    unsigned long pause = 50;
    for (;;) {
        if (attempt())
            return true;
        const DWORD error = GetLastError();
        if (!heldByAnother(error) || patience.hasExpired())
            return false;
        QThread::msleep(qMin<qint64>(pause, qMax<qint64>(patience.remainingTime(), 1)));
        pause = qMin<unsigned long>(pause * 2, 2000);
    }
}

} // namespace

bool moveInstalledFile(const QString &from, const QString &to, const QDeadlineTimer &patience)
{
    const std::wstring source = widePath(from);
    const std::wstring target = widePath(to);
    // MoveFileExW without MOVEFILE_COPY_ALLOWED: a rename, which Windows allows on
    // a program that is running or a library that is loaded, where a copy or a
    // deletion would fail. Nothing is replaced.
    return withPatience(patience, [&] { return MoveFileExW(source.c_str(), target.c_str(), 0) != 0; });
}

bool moveIntoPlace(const QString &from, const QString &to, const QDeadlineTimer &patience)
{
    return moveInstalledFile(from, to, patience);
}

bool removeInstalledFile(const QString &path, const QDeadlineTimer &patience)
{
    const std::wstring file = widePath(path);
    // A folder is no file to remove, and no other program's hold: refused at once.
    const DWORD found = GetFileAttributesW(file.c_str());
    if (found != INVALID_FILE_ATTRIBUTES && (found & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    return withPatience(patience, [&] {
        if (DeleteFileW(file.c_str()))
            return true;
        // A read-only file (an ".old" of a read-only installed file) is refused
        // until it is made writable; the error is kept for the caller's decision.
        const DWORD error = GetLastError();
        const DWORD attributes = GetFileAttributesW(file.c_str());
        if (error == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES
            && (attributes & FILE_ATTRIBUTE_READONLY)) {
            SetFileAttributesW(file.c_str(), attributes & ~DWORD(FILE_ATTRIBUTE_READONLY));
            if (DeleteFileW(file.c_str()))
                return true;
        }
        SetLastError(error);
        return false;
    });
}
