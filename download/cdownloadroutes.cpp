// The smaller routes of CDownloadThread: a file that the release offers as a
// patch from the installed version, or as a compressed copy, is fetched that
// way, unpacked into its cached place and checked like a downloaded body. Any
// failure on such a route only moves the file on to its next route, the plain
// file last; the run fails only when that fails.

#include "download/cdownloadthread.h"

#include "download/cacheplaces.h"
#include "download/cdownloadpartial.h"
#include "download/frameunpacker.h"
#include "update/changedfiles.h"
#include "update/packindex.h"

#include <QDir>
#include <QFile>
#include <QSet>

int CDownloadThread::usableRoute(int index, int route) const
{
    const UpdateFileEntry &entry = m_files.at(index);
    const QFileInfo installed(m_appDir.absoluteFilePath(entry.path));
    const bool plainFile = installed.isFile() && !isLink(installed);
    const auto baseSized = [&](const PackArtefact &artefact) {
        return artefact.kind == PackArtefact::Patch && plainFile && quint64(installed.size()) == artefact.baseSize;
    };
    int candidates = 0;
    for (int later = route; later < entry.artefacts.size(); ++later)
        candidates += baseSized(entry.artefacts.at(later)) ? 1 : 0;
    // The installed file is hashed only to choose between patches from bases of
    // one size. A single candidate is taken on its size: the unpacked result is
    // checked anyway, and a base that differs only costs the patch's bytes before
    // the compressed copy is taken.
    bool hashed = false;
    bool readable = false;
    QByteArray md5;
    QByteArray sha256;
    for (; route < entry.artefacts.size(); ++route) {
        const PackArtefact &artefact = entry.artefacts.at(route);
        if (artefact.kind == PackArtefact::Compressed)
            return route;
        if (!baseSized(artefact))
            continue;
        if (candidates < 2)
            return route;
        if (!hashed) {
            hashed = true;
            // Unreadable (held by another program): no patch, but the compressed copy.
            readable = fileHashes(installed.absoluteFilePath(), md5, sha256);
        }
        if (readable && md5 == artefact.baseMd5 && sha256 == artefact.baseSha256)
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

void CDownloadThread::startUnpacking(int index)
{
    const UpdateFileEntry &entry = m_files.at(index);
    const PackArtefact &artefact = entry.artefacts.at(m_route[std::size_t(index)]);
    const FrameUnpacker unpacker(m_cacheDir.absoluteFilePath(artefact.relativePath()),
                                 artefact.kind == PackArtefact::Patch ? m_appDir.absoluteFilePath(entry.path)
                                                                      : QString(),
                                 cachedInfo(index).absoluteFilePath(), entry);
    ++m_unpacking;
    // Decoding and hashing a large file takes a while: on the event loop's thread it
    // would hold up every other transfer, and the dialog too. Waiting frames are
    // taken largest first, as the largest holds up the installation longest.
    const int priority = int(qMin<quint64>(entry.size >> 20, quint64(INT_MAX)));
    m_unpackers.start([this, index, unpacker] {
        const bool ok = unpacker.run([this] { return stopRequested(); });
        QMetaObject::invokeMethod(this, [this, index, ok] {
            --m_unpacking;
            if (stopRequested())
                stop();
            else if (ok)
                fileArrived(index);
            else
                takeNextRoute(index);
        }, Qt::QueuedConnection);
    }, priority);
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
    // Frames are written into this folder, never through a link to another one.
    if (isLinkPlace(frames.absolutePath()))
        removeLinkPlace(frames.absolutePath());
    const QStringList leftovers = frames.entryList({FrameUnpacker::outputPath(QStringLiteral("*")),
                                                    FrameUnpacker::baseCopyPath(QStringLiteral("*"))},
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
