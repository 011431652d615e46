// The smaller routes of CDownloadThread: a file that the release offers as a
// patch from the installed version, or as a compressed copy, is fetched that
// way, unpacked into its cached place and checked like a downloaded body. Any
// failure on such a route only moves the file on to its next route, the plain
// file last; the run fails only when that fails.

#include "download/cdownloadthread.h"

#include "update/changedfiles.h"
#include "update/packindex.h"
#include "update/zstdframe.h"

#include <QFile>

int CDownloadThread::usableRoute(int index, int route) const
{
    const UpdateFileEntry &entry = m_files.at(index);
    const QFileInfo installed(m_appDir.absoluteFilePath(entry.path));
    const bool plainFile = installed.isFile() && !installed.isSymLink();
    // The installed file is hashed once, and only when a patch's base has its size.
    bool hashed = false;
    QByteArray md5;
    QByteArray sha256;
    for (; route < entry.artefacts.size(); ++route) {
        const PackArtefact &artefact = entry.artefacts.at(route);
        if (artefact.kind == PackArtefact::Compressed)
            return route;
        if (!plainFile || quint64(installed.size()) != artefact.baseSize)
            continue;
        if (!hashed) {
            hashed = true;
            if (!fileHashes(installed.absoluteFilePath(), md5, sha256))
                return entry.artefacts.size();
        }
        if (md5 == artefact.baseMd5 && sha256 == artefact.baseSha256)
            return route;
    }
    return entry.artefacts.size();
}

void CDownloadThread::takeNextRoute(int index)
{
    if (stopRequested()) {
        stop();
        return;
    }
    m_route[std::size_t(index)] = usableRoute(index, m_route[std::size_t(index)] + 1);
    sendRequest(index);
}

bool CDownloadThread::unpackFrame(int index)
{
    const UpdateFileEntry &entry = m_files.at(index);
    const PackArtefact &artefact = entry.artefacts.at(m_route[std::size_t(index)]);
    const QString framePath = m_cacheDir.absoluteFilePath(artefact.relativePath());
    // Beside the frame, where no listed file can lie.
    const QString unpacked = framePath + QStringLiteral(".out");
    const QString base = artefact.kind == PackArtefact::Patch ? m_appDir.absoluteFilePath(entry.path)
                                                             : QString();
    // The base may have changed since it was matched: only the result's own check
    // counts, as for any body.
    QString error;
    bool ok = decodeFrameFile(framePath, base, unpacked, entry.size, error)
        && fileMatchesEntry(unpacked, entry);
    QFile::remove(framePath);
    if (ok) {
        // A stale file at the cached place stays until the new one is ready.
        const QString cachedPath = cachedInfo(index).absoluteFilePath();
        const QFileInfo current(cachedPath);
        ok = (!(current.exists() || current.isSymLink()) || QFile::remove(cachedPath))
            && QFile::rename(unpacked, cachedPath);
    }
    if (!ok)
        QFile::remove(unpacked);
    return ok;
}

QList<UpdateFileEntry> CDownloadThread::fetchableEntries() const
{
    QList<UpdateFileEntry> entries = m_files;
    for (const UpdateFileEntry &entry : m_files) {
        for (const PackArtefact &artefact : entry.artefacts)
            entries.append(frameEntry(artefact));
    }
    return entries;
}
