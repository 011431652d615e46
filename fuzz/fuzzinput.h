#pragma once

#include <QByteArray>
#include <QList>

#include <cstddef>
#include <cstdint>

// What the fuzz targets share: an input cut into the several files a parser reads
// together. The seeds are those files joined by NUL bytes, which the formats never
// hold, so that a seed can be made with printf and cat.

/// The input as bytes, copied: QByteArray::fromRawData would hand the parsers
/// memory without a terminating NUL, which Qt promises them.
inline QByteArray fuzzBytes(const std::uint8_t *data, std::size_t size)
{
    return QByteArray(reinterpret_cast<const char *>(data), int(size));
}

/// The input cut at its first count - 1 NUL bytes into count parts; missing ones
/// are empty.
inline QList<QByteArray> fuzzParts(const std::uint8_t *data, std::size_t size, int count)
{
    QList<QByteArray> parts;
    QByteArray rest = fuzzBytes(data, size);
    while (parts.size() < count - 1) {
        const int nul = rest.indexOf('\0');
        if (nul < 0)
            break;
        parts.append(rest.left(nul));
        rest.remove(0, nul + 1);
    }
    parts.append(rest);
    while (parts.size() < count)
        parts.append(QByteArray());
    return parts;
}
