// The smaller routes of CDownloadThread: a file that the release offers as a
// patch from the installed version, or as a compressed copy, is fetched that
// way, unpacked into its cached place and checked like a downloaded body. Any
// failure on such a route only moves the file on to its next route, the plain
// file last; the run fails only when that fails.

#include "download/cdownloadthread.h"

#include "download/cdownloadpartial.h"
#include "update/changedfiles.h"
#include "update/packindex.h"
#include "update/zstdframe.h"

#include <QDir>
#include <QFile>
#include <QSet>

int CDownloadThread::usableRoute(int index, int route) const
{
    const UpdateFileEntry &entry = m_files.at(index);
    const QFileInfo installed(m_appDir.absoluteFilePath(entry.path));
    bool plainFile = installed.isFile() && !isLink(installed);
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
            // Unreadable (held by another program): no patch, but the compressed copy.
            plainFile = fileHashes(installed.absoluteFilePath(), md5, sha256);
            if (!plainFile)
                continue;
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
    // A patch is applied to a copy of the installed file: a mapped file that
    // another program shortens under the decoder would end the process. The base
    // may also have changed since it was matched: only the result's own check
    // counts, as for any body.
    const bool patch = artefact.kind == PackArtefact::Patch;
    const QString base = patch ? framePath + QStringLiteral(".base") : QString();
    if (patch)
        QFile::remove(base);
    QString error;
    bool ok = (!patch || (QFile::copy(m_appDir.absoluteFilePath(entry.path), base)
                          && quint64(QFileInfo(base).size()) == artefact.baseSize))
        && decodeFrameFile(framePath, base, unpacked, entry.size, error)
        && fileMatchesEntry(unpacked, entry);
    QFile::remove(framePath);
    if (patch)
        QFile::remove(base);
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

void CDownloadThread::keepFramesApart()
{
    QSet<QByteArray> taken;
    for (UpdateFileEntry &entry : m_files) {
        for (auto it = entry.artefacts.begin(); it != entry.artefacts.end();) {
            if (taken.contains(it->sha256)) {
                it = entry.artefacts.erase(it);
            } else {
                taken.insert(it->sha256);
                ++it;
            }
        }
    }
    // Unpacked results and base copies lie beside their frames only while a file
    // is unpacked; they have no record that would let a later run use them.
    QDir frames(m_cacheDir.absoluteFilePath(PackFolder));
    const QStringList leftovers = frames.entryList({QStringLiteral("*.out"), QStringLiteral("*.base")},
                                                   QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &leftover : leftovers)
        frames.remove(leftover);
}

void CDownloadThread::discardFrames(int index)
{
    for (const PackArtefact &artefact : m_files.at(index).artefacts) {
        const UpdateFileEntry frame = frameEntry(artefact);
        if (frame.size >= CDownloadPartial::MinimumKept)
            CDownloadPartial(QFileInfo(m_cacheDir.absoluteFilePath(frame.path)), frame).discard();
    }
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
