#include "download/frameunpacker.h"

#include "download/backgroundhashes.h"
#include "download/cacheplaces.h"
#include "update/md5.h"
#include "update/zstdframe.h"

#include <QFile>
#include <QFileInfo>

namespace {

#ifndef Q_OS_WIN
// QFile::copy() goes 4 KiB at a time where the file system cannot clone, which made
// it take as long as the whole patch's decoding.
bool copyFile(const QString &from, const QString &to)
{
    QFile target;
    QString error;
    if (!createNewFile(to, target, error))
        return false;
    bool written = true;
    return forEachFileChunk(from, [&](const char *data, qint64 size) {
               written = written && target.write(data, size) == size;
           })
        && written;
}
#endif

} // namespace

FrameUnpacker::FrameUnpacker(QString framePath, QString basePath, QString cachedPath, UpdateFileEntry entry)
    : m_framePath(std::move(framePath))
    , m_basePath(std::move(basePath))
    , m_cachedPath(std::move(cachedPath))
    , m_entry(std::move(entry))
{
}

QString FrameUnpacker::outputPath(const QString &framePath)
{
    // Beside the frame, where no listed file can lie.
    return framePath + QStringLiteral(".out");
}

QString FrameUnpacker::baseCopyPath(const QString &framePath)
{
    return framePath + QStringLiteral(".base");
}

bool FrameUnpacker::run(const std::function<bool()> &stopRequested) const
{
    const QString output = outputPath(m_framePath);
    bool ok = unpack(output, stopRequested);
    QFile::remove(m_framePath);
    if (ok) {
        // A stale file at the cached place stays until the new one is ready.
        const QFileInfo current(m_cachedPath);
        ok = (!(current.exists() || current.isSymLink()) || QFile::remove(m_cachedPath))
            && QFile::rename(output, m_cachedPath);
    }
    if (!ok)
        QFile::remove(output);
    return ok;
}

bool FrameUnpacker::unpack(const QString &output, const std::function<bool()> &stopRequested) const
{
    QString base = m_basePath;
#ifndef Q_OS_WIN
    // A patch is applied to a copy of the installed file: a mapped file that another
    // program shortens under the decoder would end the process. Windows refuses to
    // shorten a mapped file, so there the installed file itself is the base.
    if (!base.isEmpty()) {
        base = baseCopyPath(m_framePath);
        if (!copyFile(m_basePath, base)) {
            QFile::remove(base);
            return false;
        }
    }
#endif
    // The base may have changed since it was matched, and a frame may decode to
    // anything: only the result's own hashes count, as for any body. They are taken
    // beside the decoder, in bounded pieces, while the bytes come out of it.
    const bool signedEntry = !m_entry.sha256.isEmpty();
    BackgroundHashes hashes(signedEntry);
    // Created anew, as the base copy: a link planted at either place in a shared
    // cache would have the decoder write release bytes wherever it points.
    QFile outputFile;
    QString error;
    bool ok = createNewFile(output, outputFile, error)
        && decodeFrameFile(m_framePath, base, outputFile, output, m_entry.size, error,
                           [&](const char *data, qint64 size) {
                               constexpr qint64 Piece = 1 << 20;
                               for (qint64 done = 0; done < size; done += Piece)
                                   hashes.addData(data + done, qMin(Piece, size - done));
                               return !stopRequested();
                           });
    if (base != m_basePath)
        QFile::remove(base);
    QByteArray md5;
    QByteArray sha256;
    hashes.results(md5, sha256);
    return ok && md5TextFromDigest(md5) == m_entry.md5 && (!signedEntry || sha256 == m_entry.sha256);
}
