#include "update/md5.h"

#include <QCryptographicHash>
#include <QFile>

#include <functional>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

// Files are hashed in chunks so that memory stays the same for a 2 GiB file as
// for a 2 KiB one.
constexpr qint64 HashChunkSize = 256 * 1024;

} // namespace

QByteArray md5TextFromDigest(const QByteArray &digest)
{
    static const char hex[] = "0123456789abcdef";
    QByteArray text;
    if (digest.size() != 16)
        return text;
    text.reserve(32);
    // Each 4-byte word is little-endian, so its most significant byte is the last.
    for (int word = 0; word < 4; ++word) {
        for (int byte = 3; byte >= 0; --byte) {
            const auto value = static_cast<unsigned char>(digest.at(word * 4 + byte));
            text.append(hex[value >> 4]);
            text.append(hex[value & 0x0f]);
        }
    }
    return text;
}

QByteArray md5Text(QByteArray data)
{
    return md5TextFromDigest(QCryptographicHash::hash(data, QCryptographicHash::Md5));
}

bool forEachFileChunk(const QString &filePath, const std::function<void(const char *, qint64)> &take)
{
    QByteArray buffer(HashChunkSize, Qt::Uninitialized);
#ifdef Q_OS_UNIX
    // A repair or a first run reads every installed file, a million small ones in a
    // large installation, where system calls are most of the cost: QFile adds two
    // looks at the open file and a read after the end to the open, reads and close
    // that are needed. A folder opens here but fails its first read.
    int fd;
    do {
        fd = ::open(QFile::encodeName(filePath).constData(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return false;
    for (;;) {
        const ssize_t got = ::read(fd, buffer.data(), std::size_t(buffer.size()));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            ::close(fd);
            return got == 0;
        }
        take(buffer.constData(), got);
    }
#else
    QFile file(filePath);
    // Pieces this large gain nothing from QFile's own buffer.
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return false;
    for (;;) {
        const qint64 got = file.read(buffer.data(), buffer.size());
        if (got < 0)
            return false;
        if (got == 0)
            return true;
        take(buffer.constData(), got);
    }
#endif
}

bool fileMd5Text(const QString &filePath, QByteArray &text)
{
    QCryptographicHash hash(QCryptographicHash::Md5);
    if (!forEachFileChunk(filePath, [&](const char *data, qint64 size) {
            hash.addData(data, static_cast<int>(size));
        }))
        return false;
    text = md5TextFromDigest(hash.result());
    return true;
}

bool fileMatchesMd5(QString filePath, QByteArray expected)
{
    QByteArray actual;
    return fileMd5Text(filePath, actual) && actual == expected;
}
