#include "publish/packverifier.h"

#include "publish/parallelhasher.h"
#include "publish/pathrules.h"
#include "publish/pathencoding.h"
#include "publish/workpool.h"
#include "update/packartefact.h"
#include "update/packindex.h"
#include "update/sha256.h"
#include "update/zstdframe.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

struct PackVerifier::Line
{
    PackArtefact artefact;
    PackTarget target;
};

PackVerifier::PackVerifier(const QDir &versionDir, QTextCodec *codec)
    : m_versionDir(versionDir)
    , m_codec(codec)
{
}

QStringList PackVerifier::verify(const QByteArray &indexHash, const QHash<QByteArray, PackTarget> &listed)
{
    QStringList problems;
    QFile indexFile(m_versionDir.filePath(PackIndexName));
    if (!indexFile.open(QIODevice::ReadOnly)) {
        problems.append(QStringLiteral("\"%1\": cannot be read: %2").arg(indexFile.fileName(), indexFile.errorString()));
        return problems;
    }
    // One short line per artefact, read whole as the updater reads it.
    const QByteArray text = indexFile.readAll();
    if (Sha256::hex(text) != indexHash) {
        problems.append(QStringLiteral("\"%1\": its SHA-256 differs from Version/Index of update.ini")
                            .arg(indexFile.fileName()));
    }
    QVector<Line> lines;
    const QList<QByteArray> rawLines = text.split('\n');
    for (int i = 0; i < rawLines.size(); ++i) {
        QByteArray raw = rawLines.at(i);
        if (raw.endsWith('\r'))
            raw.chop(1);
        if (raw.isEmpty())
            continue;
        const QString where = QStringLiteral("index.txt line %1").arg(i + 1);
        Line line;
        QByteArray field;
        if (!parsePackIndexLine(raw, line.artefact, field)) {
            problems.append(where + QStringLiteral(": not a well-formed artefact line (the updater skips it)"));
            continue;
        }
        const auto target = listed.constFind(field);
        if (target == listed.cend()) {
            QString path;
            problems.append(where + QStringLiteral(": \"%1\" is not in md5.txt")
                                        .arg(displayPath(decodeListPath(field, m_codec, path)
                                                                 ? path : QString::fromLatin1(field))));
            continue;
        }
        line.target = *target;
        lines.append(line);
    }

    QTemporaryDir scratch;
    if (!scratch.isValid()) {
        problems.append(QStringLiteral("cannot create a temporary folder: %1").arg(scratch.errorString()));
        return problems;
    }
    quint64 totalBytes = 0;
    for (const Line &line : qAsConst(lines))
        totalBytes += line.target.size;
    std::atomic<int> done{0};
    std::atomic<quint64> bytesDone{0};
    const bool progress = stderrIsTerminal();
    QVector<QStringList> found(lines.size());
    QStringList *outcomes = found.data();  // each thread fills the slots of the lines it took
    WorkPool pool;
    pool.run(
        lines.size(),
        [&](int index) {
            outcomes[index] = checkLine(lines.at(index), scratch.filePath(QString::number(index)));
            bytesDone += lines.at(index).target.size;
            ++done;
        },
        [&](bool last) {
            if (progress)
                printProgressLine(QStringLiteral("Checking compressed copies and patches"), done, lines.size(),
                                  bytesDone, totalBytes, last);
        });
    for (const QStringList &lineProblems : qAsConst(found))
        problems += lineProblems;
    return problems;
}

QStringList PackVerifier::checkLine(const Line &line, const QString &scratchPath) const
{
    const PackArtefact &artefact = line.artefact;
    const QString name = QStringLiteral("\"%1\"").arg(artefact.relativePath());
    const QString framePath = m_versionDir.filePath(artefact.relativePath());
    const QFileInfo info(framePath);
    if (!info.isFile())
        return {name + QStringLiteral(": missing")};
    QStringList problems;
    if (quint64(info.size()) != artefact.size)
        problems.append(name + QStringLiteral(": %1 bytes, listed as %2").arg(info.size()).arg(artefact.size));
    const HashResult frame = hashFile({framePath, QString()}, true);
    if (!frame.ok)
        return {name + QStringLiteral(": ") + frame.error};
    if (frame.md5 != artefact.md5) {
        problems.append(name + QStringLiteral(": MD5 text %1, listed as %2")
                                   .arg(QString::fromLatin1(frame.md5), QString::fromLatin1(artefact.md5)));
    }
    if (frame.sha256 != artefact.sha256) {
        problems.append(name + QStringLiteral(": SHA-256 %1, listed as %2")
                                   .arg(QString::fromLatin1(frame.sha256), QString::fromLatin1(artefact.sha256)));
    }
    if (!problems.isEmpty())
        return problems;
    const QString problem = artefact.kind == PackArtefact::Compressed
            ? decodeProblem(line, framePath, QString(), scratchPath)
            : applyPatch(line, framePath, scratchPath);
    if (!problem.isEmpty())
        problems.append(name + QStringLiteral(": ") + problem);
    return problems;
}

QString PackVerifier::applyPatch(const Line &line, const QString &framePath, const QString &scratchPath) const
{
    const PackArtefact &artefact = line.artefact;
    // The base is what an earlier release holds at the same path, recognised by
    // its size and MD5 text as a client recognises it.
    for (const DeltaSource &source : m_sources) {
        DeltaSource::Base base;
        if (!source.find(line.target.path, base) || base.size != artefact.baseSize)
            continue;
        const HashResult hashed = hashFile({base.filePath, QString()}, true);
        if (!hashed.ok || hashed.md5 != artefact.baseMd5)
            continue;
        if (hashed.sha256 != artefact.baseSha256) {
            return QStringLiteral("the base \"%1\" has SHA-256 %2, listed as %3")
                .arg(base.filePath, QString::fromLatin1(hashed.sha256), QString::fromLatin1(artefact.baseSha256));
        }
        return decodeProblem(line, framePath, base.filePath, scratchPath);
    }
    return QString();
}

QString PackVerifier::decodeProblem(const Line &line, const QString &framePath, const QString &basePath,
                                    const QString &scratchPath) const
{
    const PackTarget &target = line.target;
    const QString file = displayPath(target.path);
    QString error;
    QString problem;
    if (!decodeFrameFile(framePath, basePath, scratchPath, target.size, error))
        problem = QStringLiteral("does not decode to \"%1\": %2").arg(file, error);
    if (problem.isEmpty()) {
        const HashResult decoded = hashFile({scratchPath, QString()}, !target.sha256.isEmpty());
        if (!decoded.ok) {
            problem = decoded.error;
        } else if (decoded.md5 != target.md5) {
            problem = QStringLiteral("decodes to MD5 text %1, \"%2\" is listed as %3")
                          .arg(QString::fromLatin1(decoded.md5), file, QString::fromLatin1(target.md5));
        } else if (!target.sha256.isEmpty() && decoded.sha256 != target.sha256) {
            problem = QStringLiteral("decodes to SHA-256 %1, \"%2\" is listed as %3")
                          .arg(QString::fromLatin1(decoded.sha256), file, QString::fromLatin1(target.sha256));
        }
    }
    QFile::remove(scratchPath);
    return problem;
}
