// Compressed copies and patches: the frame check and decoding of decodeFrameFile.
// The first byte picks the case: bit 0 a patch (against a fixed base file), bit 1
// a listed size one more than the frame declares, bit 2 a reader of the decoded
// bytes that stops at the first run. The rest is the frame file.
#include "fuzzinput.h"
#include "update/zstdframe.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <zstd.h>

namespace {

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static QTemporaryDir folder;
    static const QString framePath = folder.filePath(QStringLiteral("frame.zst"));
    static const QString basePath = folder.filePath(QStringLiteral("base"));
    static const QString outputPath = folder.filePath(QStringLiteral("output"));
    static const bool based = writeFile(basePath, QByteArray("[Version]\r\nFolder=v1\r\n").repeated(20));
    if (size == 0 || !folder.isValid() || !based)
        return 0;
    const std::uint8_t flags = data[0];
    if (!writeFile(framePath, fuzzBytes(data + 1, size - 1)))
        return 0;
    // The size a list would name: what the frame declares, when that is small
    // enough to write out here (a list names the real size; the check compares).
    unsigned long long declared = size > 1 ? ZSTD_getFrameContentSize(data + 1, size - 1) : 0;
    if (declared == ZSTD_CONTENTSIZE_UNKNOWN || declared == ZSTD_CONTENTSIZE_ERROR || declared > (1u << 20))
        declared = size;
    const quint64 outputSize = declared + ((flags & 2) ? 1 : 0);
    QString error;
    DecodedBytes decoded;
    if (flags & 4)
        decoded = [](const char *, qint64) { return false; };
    decodeFrameFile(framePath, (flags & 1) ? basePath : QString(), outputPath, outputSize, error, decoded);
    return 0;
}
