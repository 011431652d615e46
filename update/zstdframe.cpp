#include "update/zstdframe.h"

#include <QFile>

// The decoder's stable output buffer is one of zstd's experimental parameters.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <memory>

namespace {

struct DCtxDeleter
{
    void operator()(ZSTD_DCtx *context) const { ZSTD_freeDCtx(context); }
};
struct CCtxDeleter
{
    void operator()(ZSTD_CCtx *context) const { ZSTD_freeCCtx(context); }
};

/// A file opened for reading and mapped whole; an empty file maps to nothing.
class MappedInput
{
public:
    bool open(const QString &path, QString &errorText)
    {
        m_file.setFileName(path);
        if (!m_file.open(QIODevice::ReadOnly)) {
            errorText = QStringLiteral("%1: %2").arg(path, m_file.errorString());
            return false;
        }
        if (m_file.size() == 0)
            return true;
        m_data = m_file.map(0, m_file.size());
        if (!m_data) {
            errorText = QStringLiteral("%1: %2").arg(path, m_file.errorString());
            return false;
        }
        return true;
    }
    const uchar *data() const { return m_data; }
    quint64 size() const { return quint64(m_file.size()); }

private:
    QFile m_file;
    uchar *m_data = nullptr;
};

/// An output file of a fixed size, mapped for writing.
class MappedOutput
{
public:
    explicit MappedOutput(QFile &file)
        : m_file(file)
    {
    }
    /// Opens path unless the file is open already (for reading and writing).
    bool open(const QString &path, quint64 size, QString &errorText)
    {
        if (!m_file.isOpen()) {
            m_file.setFileName(path);
            m_file.open(QIODevice::ReadWrite | QIODevice::Truncate);
        }
        if (!m_file.isOpen() || !m_file.resize(qint64(size))) {
            errorText = QStringLiteral("%1: %2").arg(path, m_file.errorString());
            return false;
        }
        if (size == 0)
            return true;
        m_data = m_file.map(0, qint64(size));
        if (!m_data) {
            errorText = QStringLiteral("%1: %2").arg(path, m_file.errorString());
            return false;
        }
        return true;
    }
    uchar *data() const { return m_data; }
    /// Unmaps and cuts the file to size. False when the file system refuses.
    bool finish(quint64 size)
    {
        if (m_data)
            m_file.unmap(m_data);
        m_data = nullptr;
        return m_file.resize(qint64(size)) && m_file.flush();
    }
    QString errorString() const { return m_file.errorString(); }

private:
    QFile &m_file;
    uchar *m_data = nullptr;
};

/// The window log a patch between files of these sizes needs: the earlier file
/// must lie inside the window while the new one is written.
int patchWindowLog(quint64 largest)
{
    int log = 10; // zstd's smallest window
    while (log < 31 && (quint64(1) << log) < largest)
        ++log;
    return log;
}

} // namespace

bool decodeFrameFile(const QString &framePath, const QString &basePath, const QString &outputPath,
                     quint64 outputSize, QString &errorText, const DecodedBytes &decoded)
{
    QFile file;
    return decodeFrameFile(framePath, basePath, file, outputPath, outputSize, errorText, decoded);
}

bool decodeFrameFile(const QString &framePath, const QString &basePath, QFile &outputFile,
                     const QString &outputPath, quint64 outputSize, QString &errorText,
                     const DecodedBytes &decoded)
{
    MappedInput frame;
    MappedInput base;
    if (!frame.open(framePath, errorText) || (!basePath.isEmpty() && !base.open(basePath, errorText)))
        return false;
    const std::size_t frameSize = std::size_t(frame.size());
    // One frame, nothing behind it, declaring exactly the listed size: a frame that
    // would inflate past it is refused before one byte is decoded.
    if (frameSize == 0 || ZSTD_findFrameCompressedSize(frame.data(), frameSize) != frameSize
        || ZSTD_getFrameContentSize(frame.data(), frameSize) != outputSize) {
        errorText = QStringLiteral("%1: not one zstd frame of %2 bytes").arg(framePath).arg(outputSize);
        return false;
    }
    MappedOutput output(outputFile);
    if (!output.open(outputPath, outputSize, errorText))
        return false;
    std::unique_ptr<ZSTD_DCtx, DCtxDeleter> context(ZSTD_createDCtx());
    ZSTD_DCtx *dctx = context.get();
    const auto failed = [&](const QString &text) {
        output.finish(0);
        errorText = QStringLiteral("%1: %2").arg(framePath, text);
        return false;
    };
    if (!dctx)
        return failed(QStringLiteral("out of memory"));
    // The mapped output is the window itself (a stable output buffer): no window
    // buffer is allocated, so a patch may use zstd's largest window at no cost.
    std::size_t result = ZSTD_DCtx_setParameter(dctx, ZSTD_d_stableOutBuffer, 1);
    if (!ZSTD_isError(result))
        result = ZSTD_DCtx_setParameter(dctx, ZSTD_d_windowLogMax, ZSTD_WINDOWLOG_MAX);
    if (!ZSTD_isError(result) && !basePath.isEmpty())
        result = ZSTD_DCtx_refPrefix(dctx, base.data(), std::size_t(base.size()));
    ZSTD_outBuffer out{output.data(), std::size_t(outputSize), 0};
    ZSTD_inBuffer in{frame.data(), 0, 0};
    // Fed in slices, so that whoever takes the decoded bytes (hashes, say) reads
    // them while they are still in the processor's cache, and may stop the work.
    constexpr std::size_t Slice = 64 * 1024;
    while (!ZSTD_isError(result) && in.size < frameSize) {
        in.size = qMin(frameSize, in.size + Slice);
        const std::size_t before = out.pos;
        while (in.pos < in.size && !ZSTD_isError(result)) {
            const std::size_t taken = in.pos;
            const std::size_t written = out.pos;
            result = ZSTD_decompressStream(dctx, &out, &in);
            // The output is full and the frame says there is more.
            if (!ZSTD_isError(result) && in.pos == taken && out.pos == written)
                return failed(QStringLiteral("decodes past %1 bytes").arg(outputSize));
        }
        if (!ZSTD_isError(result) && out.pos > before && decoded
            && !decoded(static_cast<const char *>(out.dst) + before, qint64(out.pos - before)))
            return failed(QStringLiteral("stopped"));
    }
    // 0 once the frame is complete, its checksum included.
    if (ZSTD_isError(result) || result != 0 || out.pos != outputSize)
        return failed(QString::fromLatin1(ZSTD_isError(result) ? ZSTD_getErrorName(result) : "short output"));
    if (!output.finish(outputSize)) {
        errorText = QStringLiteral("%1: %2").arg(outputPath, output.errorString());
        return false;
    }
    return true;
}

bool encodeFrameFile(const QString &sourcePath, const QString &basePath, const QString &framePath,
                     int level, QString &errorText)
{
    MappedInput source;
    MappedInput base;
    if (!source.open(sourcePath, errorText) || (!basePath.isEmpty() && !base.open(basePath, errorText)))
        return false;
    const bool patch = !basePath.isEmpty();
    if (patch && (source.size() > MaxPatchFileSize || base.size() > MaxPatchFileSize)) {
        errorText = QStringLiteral("%1: larger than a patch can span").arg(sourcePath);
        return false;
    }
    std::unique_ptr<ZSTD_CCtx, CCtxDeleter> context(ZSTD_createCCtx());
    if (!context) {
        errorText = QStringLiteral("%1: out of memory").arg(sourcePath);
        return false;
    }
    ZSTD_CCtx *cctx = context.get();
    std::size_t result = ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, level);
    if (!ZSTD_isError(result))
        result = ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 1);
    if (!ZSTD_isError(result) && patch) {
        // What `zstd --patch-from` does: a window over both files, and long-distance
        // matching to find the earlier file's runs wherever they moved.
        result = ZSTD_CCtx_setParameter(cctx, ZSTD_c_windowLog, patchWindowLog(qMax(source.size(), base.size())));
        if (!ZSTD_isError(result))
            result = ZSTD_CCtx_setParameter(cctx, ZSTD_c_enableLongDistanceMatching, 1);
        if (!ZSTD_isError(result))
            result = ZSTD_CCtx_refPrefix(cctx, base.data(), std::size_t(base.size()));
    }
    // Compressed in one call into a mapped file of the worst-case size, cut to the
    // frame's size afterwards.
    const std::size_t bound = ZSTD_compressBound(std::size_t(source.size()));
    QFile frameFile;
    MappedOutput frame(frameFile);
    if (!ZSTD_isError(result) && !frame.open(framePath, bound, errorText))
        return false;
    if (!ZSTD_isError(result))
        result = ZSTD_compress2(cctx, frame.data(), bound, source.data(), std::size_t(source.size()));
    if (ZSTD_isError(result)) {
        frame.finish(0);
        errorText = QStringLiteral("%1: %2").arg(sourcePath, QString::fromLatin1(ZSTD_getErrorName(result)));
        return false;
    }
    if (!frame.finish(result)) {
        errorText = QStringLiteral("%1: %2").arg(framePath, frame.errorString());
        return false;
    }
    return true;
}
