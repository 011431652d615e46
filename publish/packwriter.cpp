#include "publish/packwriter.h"

#include "publish/parallelhasher.h"
#include "publish/workpool.h"
#include "update/packindex.h"
#include "update/zstdframe.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>

namespace {

// A frame replaces the plain file's request with its own and costs the client a
// decoding pass, so it stays only when it saves something worth that: at least a
// twentieth of the next best way to the file and at least 1 KiB, about what the
// headers of one HTTP exchange take. Below that the plain file is as good.
constexpr quint64 MinSavingBytes = 1024;

bool worthKeeping(quint64 frameSize, quint64 alternative)
{
    return frameSize * 20 <= alternative * 19 && alternative - frameSize >= MinSavingBytes;
}

// Level 19 gives the smallest frames but is slow: on a 30 MB shared library
// (libclang, libzstd 1.5.4, one core of a busy machine) level 9 took 8 s for a
// frame of 25.2 % of the file, level 15 56 s for 24.8 %, level 19 175 s for
// 22.1 %. The 12 % that 19 saves over 9 is worth minutes once, for files that
// every client fetches; beyond 16 MiB the minutes grow into hours for a large
// release, so larger files get level 9, which costs a few percent and is twenty
// times faster. 15 buys almost nothing over 9.
constexpr quint64 LargeFileBytes = quint64(16) << 20;

int levelFor(quint64 size)
{
    return size > LargeFileBytes ? 9 : 19;
}

// A patch is what most clients fetch, and level 19 finds far more of the earlier
// file in it: on a 53 MB static library built 25 commits apart the patch came to
// 4.6 MB at 19 (60 s) against 5.6 MB at 9 (3 s). Most of a patch's input is found
// by long-distance matching, so 19 costs about a second per megabyte, not the
// compressed copy's several; only beyond 128 MiB does level 9 take over.
constexpr quint64 LargePatchBytes = quint64(128) << 20;

int patchLevelFor(quint64 size)
{
    return size > LargePatchBytes ? 9 : 19;
}

struct BaseTried
{
    quint64 size = 0;
    QByteArray md5;
    int patch = -1;  // index into Content::patches; -1: not worth a patch
};

} // namespace

struct PackWriter::Content
{
    struct Patch
    {
        PackArtefact artefact;
        QVector<int> files;  // the files whose earlier version is the base
        QVector<int> sources; // the earlier releases that hold the base
    };
    QVector<int> files;      // indexes of the files with these bytes
    bool hasCopy = false;
    PackArtefact copy;
    QVector<Patch> patches;
    QString error;
};

PackWriter::PackWriter(const QString &versionDir, const QVector<DeltaSource> &sources)
    : m_versionDir(versionDir)
    , m_packDir(QDir(versionDir).filePath(PackFolder))
    , m_sources(sources)
    , m_patchesFrom(sources.size(), 0)
{
}

bool PackWriter::write(const QVector<PackFile> &files)
{
    m_files = &files;
    // Files with the same bytes (a library shipped twice) share their frames.
    QVector<Content> contents;
    QHash<QByteArray, int> bySha256;
    quint64 totalBytes = 0;
    for (int i = 0; i < files.size(); ++i) {
        const auto known = bySha256.constFind(files.at(i).sha256);
        if (known != bySha256.cend()) {
            contents[*known].files.append(i);
            continue;
        }
        bySha256.insert(files.at(i).sha256, contents.size());
        Content content;
        content.files.append(i);
        contents.append(content);
        totalBytes += files.at(i).size;
    }

    // Frames are made under a hidden folder beside #pack, on the same file
    // system, and renamed into #pack once they proved right.
    QTemporaryDir work(QDir(m_versionDir).filePath(QStringLiteral(".pack-XXXXXX")));
    if (!work.isValid() || !QDir().mkpath(m_packDir)) {
        m_error = QStringLiteral("cannot create a folder in \"%1\"").arg(m_versionDir);
        return false;
    }
    m_workDir = work.path();
    WorkPool pool;
    const auto tick = [&](bool last) {
        if (!m_progressLabel.isEmpty())
            printProgressLine(m_progressLabel, m_contentsDone, contents.size(), m_bytesDone, totalBytes, last);
    };
    Content *outcomes = contents.data();  // each thread fills the slots of the contents it took
    pool.run(contents.size(), [&](int number) { pack(outcomes[number], number); }, tick);
    work.remove();

    for (const Content &content : qAsConst(contents)) {
        if (!content.error.isEmpty()) {
            m_error = content.error;
            return false;
        }
    }
    // One line per file and artefact, in the list's order; a frame that several
    // files share is counted once.
    QVector<int> contentOf(files.size());
    for (int c = 0; c < contents.size(); ++c) {
        for (const int file : contents.at(c).files)
            contentOf[file] = c;
    }
    for (const Content &content : qAsConst(contents)) {
        if (content.hasCopy) {
            ++m_compressedCount;
            m_compressedBytes += content.copy.size;
        }
        m_patchCount += content.patches.size();
        for (const Content::Patch &patch : content.patches) {
            m_patchBytes += patch.artefact.size;
            for (const int source : patch.sources)
                ++m_patchesFrom[source];
        }
    }
    for (int i = 0; i < files.size(); ++i) {
        const Content &content = contents.at(contentOf.at(i));
        if (content.hasCopy)
            m_index += packIndexLine(content.copy, files.at(i).listPath) + "\r\n";
        for (const Content::Patch &patch : content.patches) {
            if (patch.files.contains(i))
                m_index += packIndexLine(patch.artefact, files.at(i).listPath) + "\r\n";
        }
    }
    if (m_index.isEmpty())
        QDir().rmdir(m_packDir);
    return true;
}

void PackWriter::pack(Content &content, int number)
{
    const PackFile &file = m_files->at(content.files.constFirst());
    const QString prefix = QDir(m_workDir).filePath(QString::number(number));
    quint64 best = file.size;  // the smallest way to the file so far
    if (file.size >= MinSavingBytes) {
        const QString framePath = prefix + QStringLiteral(".zst");
        QString error;
        if (!encodeFrameFile(file.filePath, QString(), framePath, levelFor(file.size), error)) {
            content.error = QStringLiteral("cannot compress \"%1\": %2").arg(file.filePath, error);
        } else if (!worthKeeping(quint64(QFileInfo(framePath).size()), best)) {
            QFile::remove(framePath);
        } else if (!decodesTo(framePath, QString(), file, prefix + QStringLiteral(".out"), error)) {
            content.error = QStringLiteral("the compressed copy of \"%1\" does not give the file: %2")
                                .arg(file.filePath, error);
        } else if (!storeFrame(framePath, content.copy, error)) {
            content.error = error;
        } else {
            content.hasCopy = true;
            best = content.copy.size;
        }
        if (content.error.isEmpty() && file.size <= MaxPatchFileSize && best >= MinSavingBytes)
            addPatches(content, prefix, best);
    }
    m_bytesDone += file.size;
    ++m_contentsDone;
}

bool PackWriter::addPatches(Content &content, const QString &workPrefix, quint64 best)
{
    const PackFile &file = m_files->at(content.files.constFirst());
    QVector<BaseTried> tried;
    for (const int index : qAsConst(content.files)) {
        for (int sourceNumber = 0; sourceNumber < m_sources.size(); ++sourceNumber) {
            const DeltaSource &source = m_sources.at(sourceNumber);
            DeltaSource::Base base;
            if (!source.find(m_files->at(index).path, base) || base.size > MaxPatchFileSize)
                continue;
            if (!base.md5.isEmpty() && base.size == file.size && base.md5 == file.md5)
                continue;  // unchanged since that release: nothing to patch
            const HashResult hashed = hashFile({base.filePath, QString()}, true);
            if (!hashed.ok) {
                content.error = hashed.error;
                return false;
            }
            // A published file that differs from its own list is not what that
            // release's clients hold; a patch from it would never apply.
            if ((!base.md5.isEmpty() && hashed.md5 != base.md5) || (hashed.size == file.size && hashed.md5 == file.md5))
                continue;
            const auto same = std::find_if(tried.begin(), tried.end(), [&](const BaseTried &earlier) {
                return earlier.size == hashed.size && earlier.md5 == hashed.md5;
            });
            if (same != tried.end()) {
                if (same->patch >= 0) {
                    Content::Patch &patch = content.patches[same->patch];
                    if (!patch.files.contains(index))
                        patch.files.append(index);
                    if (!patch.sources.contains(sourceNumber))
                        patch.sources.append(sourceNumber);
                }
                continue;
            }
            BaseTried attempt{hashed.size, hashed.md5, -1};
            const QString framePath = workPrefix + QStringLiteral("-%1.zst").arg(tried.size());
            QString error;
            if (!encodeFrameFile(file.filePath, base.filePath, framePath, patchLevelFor(qMax(file.size, hashed.size)), error)) {
                content.error = QStringLiteral("cannot make a patch of \"%1\" from \"%2\": %3")
                                    .arg(file.filePath, base.filePath, error);
                return false;
            }
            if (worthKeeping(quint64(QFileInfo(framePath).size()), best)) {
                Content::Patch patch;
                if (!decodesTo(framePath, base.filePath, file, workPrefix + QStringLiteral(".out"), error)) {
                    content.error = QStringLiteral("the patch of \"%1\" from \"%2\" does not give the file: %3")
                                        .arg(file.filePath, base.filePath, error);
                    return false;
                }
                patch.artefact.kind = PackArtefact::Patch;
                patch.artefact.baseSize = hashed.size;
                patch.artefact.baseMd5 = hashed.md5;
                patch.artefact.baseSha256 = hashed.sha256;
                patch.files.append(index);
                patch.sources.append(sourceNumber);
                if (!storeFrame(framePath, patch.artefact, error)) {
                    content.error = error;
                    return false;
                }
                attempt.patch = content.patches.size();
                content.patches.append(patch);
            } else {
                QFile::remove(framePath);
            }
            tried.append(attempt);
        }
    }
    return true;
}

bool PackWriter::decodesTo(const QString &framePath, const QString &basePath, const PackFile &file,
                           const QString &scratchPath, QString &error) const
{
    bool ok = decodeFrameFile(framePath, basePath, scratchPath, file.size, error);
    if (ok) {
        const HashResult decoded = hashFile({scratchPath, QString()}, true);
        ok = decoded.ok && decoded.size == file.size && decoded.md5 == file.md5 && decoded.sha256 == file.sha256;
        if (!decoded.ok)
            error = decoded.error;
        else if (!ok)
            error = QStringLiteral("it decodes to other bytes (MD5 text %1)").arg(QString::fromLatin1(decoded.md5));
    }
    QFile::remove(scratchPath);
    return ok;
}

bool PackWriter::storeFrame(const QString &framePath, PackArtefact &artefact, QString &error) const
{
    const HashResult hashed = hashFile({framePath, QString()}, true);
    if (!hashed.ok) {
        error = hashed.error;
        return false;
    }
    artefact.size = hashed.size;
    artefact.md5 = hashed.md5;
    artefact.sha256 = hashed.sha256;
    const QString target = QDir(m_versionDir).filePath(artefact.relativePath());
    if (QFile::rename(framePath, target))
        return true;
    // Frames are named by their bytes: one that is already there is this one.
    if (QFileInfo(target).isFile() && quint64(QFileInfo(target).size()) == artefact.size) {
        QFile::remove(framePath);
        return true;
    }
    error = QStringLiteral("cannot move \"%1\" to \"%2\"").arg(framePath, target);
    return false;
}
