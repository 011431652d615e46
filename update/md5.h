#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

/// The MD5 text of data: the digest read as four little-endian 32-bit words, each
/// printed as 8 lower-case hex digits ("%08x%08x%08x%08x").
QByteArray md5Text(QByteArray data);

/// The MD5 text of an already computed 16-byte digest (for incremental hashing).
QByteArray md5TextFromDigest(const QByteArray &digest);

/// Reads a file in bounded chunks, handing each to take. False when it cannot be
/// opened or read.
bool forEachFileChunk(const QString &filePath, const std::function<void(const char *, qint64)> &take);

/// Hashes a file in bounded chunks. False when it cannot be opened or read.
bool fileMd5Text(const QString &filePath, QByteArray &text);

/// True when the file can be read and its MD5 text equals expected byte for byte.
bool fileMatchesMd5(QString filePath, QByteArray expected);
