#include "update/md5.h"

#include <QCryptographicHash>
#include <QFile>

#include <functional>

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
    QFile file(filePath);
    // Pieces this large gain nothing from QFile's own buffer, which only adds system
    // calls: a repair reads a million small files.
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return false;
    QByteArray buffer(HashChunkSize, Qt::Uninitialized);
    for (;;) {
        const qint64 got = file.read(buffer.data(), buffer.size());
        if (got < 0)
            return false;
        if (got == 0)
            return true;
        take(buffer.constData(), got);
    }
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
