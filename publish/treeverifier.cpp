#include "publish/treeverifier.h"

#include "publish/descriptor.h"
#include "publish/packverifier.h"
#include "publish/parallelhasher.h"
#include "publish/pathencoding.h"
#include "publish/pathrules.h"
#include "update/filelist.h"
#include "update/sha256.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QSet>

namespace {

bool isHex(const QByteArray &text, bool lowerOnly)
{
    for (const char c : text) {
        const bool digit = c >= '0' && c <= '9';
        const bool lower = c >= 'a' && c <= 'f';
        const bool upper = c >= 'A' && c <= 'F';
        if (!digit && !lower && !(upper && !lowerOnly))
            return false;
    }
    return true;
}

struct ListedFile
{
    QString path;
    quint64 size = 0;
    QByteArray md5;
    QByteArray field;  // the path field's bytes, which sha256.txt repeats
};

} // namespace

TreeVerifier::TreeVerifier(const QString &outDir, QTextCodec *codec)
    : m_outDir(outDir)
    , m_codec(codec)
{
}

bool TreeVerifier::verify()
{
    m_problems.clear();
    m_fileCount = 0;
    m_sequence = -1;
    const bool signedTree = !m_keys.isEmpty();
    const QString descriptorPath = QDir(m_outDir).filePath(QStringLiteral("update.ini"));
    UpdateDescriptor descriptor;
    if (!readUpdateDescriptor(descriptorPath, descriptor)) {
        m_problems.append(QStringLiteral("\"%1\": cannot be read as INI").arg(descriptorPath));
        return false;
    }
    if (descriptor.folder.isEmpty() || descriptor.folder.contains(QLatin1Char('/'))
        || descriptor.folder.contains(QLatin1Char('\\')) || !isSafeRelativePath(descriptor.folder)) {
        m_problems.append(QStringLiteral("\"%1\": Version/Folder \"%2\" is not one safe folder name")
                              .arg(descriptorPath, displayPath(descriptor.folder)));
        return false;
    }
    if (signedTree)
        checkSignature(descriptorPath, descriptor);
    const QDir versionDir(QDir(m_outDir).filePath(descriptor.folder));
    const QString listPath = versionDir.filePath(QStringLiteral("md5.txt"));
    QFile listFile(listPath);
    if (!listFile.open(QIODevice::ReadOnly)) {
        m_problems.append(QStringLiteral("\"%1\": cannot be read: %2").arg(listPath, listFile.errorString()));
        return false;
    }
    // The list has one short line per file; it is read whole, as the updater does.
    const QByteArray text = listFile.readAll();
    listFile.close();
    // Clients of an unsigned release compare the list with Version/List, so a list
    // edited by hand must show here too.
    if (!descriptor.list.isEmpty() && Sha256::hex(text) != descriptor.list)
        m_problems.append(QStringLiteral("\"%1\": its SHA-256 differs from Version/List of update.ini").arg(listPath));

    QList<QByteArray> lines = text.split('\n');
    if (!lines.isEmpty() && lines.constLast().isEmpty())
        lines.removeLast();
    QVector<ListedFile> listed;
    QList<QByteArray> listFields;  // of every line that the updater parses
    QSet<QString> seen;
    for (int i = 0; i < lines.size(); ++i) {
        QByteArray line = lines.at(i);
        const QString where = QStringLiteral("md5.txt line %1").arg(i + 1);
        if (line.endsWith('\r'))
            line.chop(1);
        const QList<QByteArray> fields = line.split('\t');
        if (fields.size() != 3) {
            m_problems.append(where + QStringLiteral(": not three TAB-separated fields (the updater skips it)"));
            continue;
        }
        listFields.append(fields.at(2));
        ListedFile file;
        file.md5 = fields.at(0);
        file.field = fields.at(2);
        if (file.md5.size() != 32 || !isHex(file.md5, true))
            m_problems.append(where + QStringLiteral(": \"%1\" is not an MD5 text").arg(QString::fromLatin1(file.md5)));
        const QByteArray sizeField = fields.at(1);
        if (sizeField.size() != 16 || !isHex(sizeField, false)) {
            m_problems.append(where + QStringLiteral(": \"%1\" is not a size field").arg(QString::fromLatin1(sizeField)));
            continue;
        }
        const quint64 raw = sizeField.toULongLong(nullptr, 16);
        file.size = (raw << 32) | (raw >> 32);
        // Read exactly as the updater reads it: a name that only some readers see
        // differently (a byte-order mark, say) is then looked for as the updater would.
        if (!decodeListPath(fields.at(2), m_codec, file.path)) {
            m_problems.append(where + QStringLiteral(": the path is not plain ASCII; give --path-encoding"));
            continue;
        }
        if (!isSafeRelativePath(file.path)) {
            m_problems.append(where + QStringLiteral(": \"%1\" is an unsafe path (the updater drops it)")
                                          .arg(displayPath(file.path)));
            continue;
        }
        if (seen.contains(file.path)) {
            m_problems.append(where + QStringLiteral(": \"%1\" is listed twice").arg(displayPath(file.path)));
            continue;
        }
        seen.insert(file.path);
        listed.append(file);
    }
    m_fileCount = listed.size();
    const QHash<QByteArray, QByteArray> sums =
            signedTree ? checkSums(versionDir, text, listFields, descriptor) : QHash<QByteArray, QByteArray>();

    QHash<QByteArray, PackTarget> targets;  // by path field, for the index
    for (const ListedFile &file : qAsConst(listed))
        targets.insert(file.field, {file.path, file.size, file.md5, sums.value(file.field)});

    QVector<HashJob> jobs;
    QVector<ListedFile> hashed;
    quint64 total = 0;
    for (const ListedFile &file : qAsConst(listed)) {
        const QFileInfo info(versionDir.filePath(file.path));
        if (!info.isFile()) {
            // A mark that other readers drop shows up here: the updater asks for it.
            const QString note = file.path.contains(QChar(0xfeff))
                    ? QStringLiteral(" (the updater reads the byte-order mark U+FEFF as part of the name)")
                    : QString();
            m_problems.append(QStringLiteral("\"%1\": missing%2").arg(displayPath(file.path), note));
            continue;
        }
        if (static_cast<quint64>(info.size()) != file.size) {
            m_problems.append(QStringLiteral("\"%1\": %2 bytes, listed as %3")
                                  .arg(displayPath(file.path)).arg(info.size()).arg(file.size));
        }
        jobs.append({info.filePath(), QString()});
        hashed.append(file);
        total += static_cast<quint64>(info.size());
    }
    ParallelHasher hasher;
    hasher.setStopOnFailure(false);
    hasher.setComputeSha256(signedTree);
    if (stderrIsTerminal())
        hasher.setProgressLabel(QStringLiteral("Verifying"));
    const QVector<HashResult> results = hasher.run(jobs, total);
    for (int i = 0; i < results.size(); ++i) {
        const HashResult &result = results.at(i);
        const ListedFile &file = hashed.at(i);
        if (!result.ok) {
            m_problems.append(QStringLiteral("\"%1\": %2").arg(displayPath(file.path), result.error));
            continue;
        }
        if (result.md5 != file.md5)
            m_problems.append(QStringLiteral("\"%1\": MD5 text %2, listed as %3")
                                  .arg(displayPath(file.path), QString::fromLatin1(result.md5),
                                       QString::fromLatin1(file.md5)));
        const auto sum = sums.constFind(file.field);
        if (sum != sums.cend() && result.sha256 != *sum)
            m_problems.append(QStringLiteral("\"%1\": SHA-256 %2, listed as %3")
                                  .arg(displayPath(file.path), QString::fromLatin1(result.sha256),
                                       QString::fromLatin1(*sum)));
    }
    // An index that update.ini does not name is never read by a client.
    if (!descriptor.index.isEmpty()) {
        PackVerifier packs(versionDir, m_codec);
        packs.setDeltaSources(m_deltaSources);
        m_problems += packs.verify(descriptor.index, targets);
    }
    return m_problems.isEmpty();
}

void TreeVerifier::checkSignature(const QString &descriptorPath, const UpdateDescriptor &descriptor)
{
    // The descriptor was just read as INI; the signature covers its exact bytes.
    QFile descriptorFile(descriptorPath);
    descriptorFile.open(QIODevice::ReadOnly);
    QFile signatureFile(descriptorPath + QStringLiteral(".minisig"));
    QString error;
    if (!signatureFile.open(QIODevice::ReadOnly)) {
        m_problems.append(QStringLiteral("\"%1\": cannot be read: %2")
                              .arg(signatureFile.fileName(), signatureFile.errorString()));
    } else if (!verifyMinisign(descriptorFile.readAll(), signatureFile.readAll(), m_keys, error)) {
        m_problems.append(QStringLiteral("\"%1\": %2").arg(signatureFile.fileName(), error));
    }

    const ReleaseInfo &release = descriptor.release;
    if (release.sequence < 0) {
        m_problems.append(QStringLiteral("\"%1\": %2 (the updater refuses it)")
                              .arg(descriptorPath, descriptor.releaseGroup
                                       ? QStringLiteral("the [Release] group is malformed")
                                       : QStringLiteral("no [Release] group")));
        return;
    }
    if (release.expires.isValid() && release.expires < QDateTime::currentDateTimeUtc()) {
        m_problems.append(QStringLiteral("\"%1\": the release expired at %2")
                              .arg(descriptorPath, release.expires.toString(Qt::ISODate)));
    }
    m_sequence = release.sequence;
}

QHash<QByteArray, QByteArray> TreeVerifier::checkSums(const QDir &versionDir, const QByteArray &listText,
                                                      const QList<QByteArray> &listFields,
                                                      const UpdateDescriptor &descriptor)
{
    // Without a valid [Release] group there is nothing to compare the lists with;
    // the files are still checked against sha256.txt.
    const bool pinned = descriptor.release.sequence >= 0;
    const QString listPath = versionDir.filePath(QStringLiteral("md5.txt"));
    if (pinned && Sha256::hex(listText) != descriptor.release.listHash)
        m_problems.append(QStringLiteral("\"%1\": its SHA-256 differs from Release/List of update.ini").arg(listPath));

    QHash<QByteArray, QByteArray> sums;  // path field -> SHA-256
    QFile sumsFile(versionDir.filePath(QStringLiteral("sha256.txt")));
    if (!sumsFile.open(QIODevice::ReadOnly)) {
        m_problems.append(QStringLiteral("\"%1\": cannot be read: %2").arg(sumsFile.fileName(), sumsFile.errorString()));
        return sums;
    }
    const QByteArray text = sumsFile.readAll();
    if (pinned && Sha256::hex(text) != descriptor.release.hashesHash) {
        m_problems.append(QStringLiteral("\"%1\": its SHA-256 differs from Release/Hashes of update.ini")
                              .arg(sumsFile.fileName()));
    }

    // Read as the updater reads it: lines split at LF with a CR before it dropped,
    // empty lines skipped, matched to md5.txt by the path field's exact bytes.
    const QSet<QByteArray> listed(listFields.cbegin(), listFields.cend());
    const QList<QByteArray> lines = text.split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        QByteArray line = lines.at(i);
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.isEmpty())
            continue;
        const QString where = QStringLiteral("sha256.txt line %1").arg(i + 1);
        const int tab = line.indexOf('\t');
        const QByteArray hash = line.left(tab);
        const QByteArray field = line.mid(tab + 1);
        if (tab < 0 || hash.size() != 64 || !isHex(hash, true) || field.contains('\t')) {
            m_problems.append(where + QStringLiteral(": not a SHA-256 text, a TAB and a path field"));
        } else if (sums.contains(field)) {
            m_problems.append(where + QStringLiteral(": names \"%1\" a second time").arg(fieldText(field)));
        } else {
            if (!listed.contains(field))
                m_problems.append(where + QStringLiteral(": \"%1\" is not in md5.txt").arg(fieldText(field)));
            sums.insert(field, hash);
        }
    }
    for (const QByteArray &field : listFields) {
        if (!sums.contains(field))
            m_problems.append(QStringLiteral("\"%1\": not named in sha256.txt").arg(fieldText(field)));
    }
    return sums;
}

QString TreeVerifier::fieldText(const QByteArray &field) const
{
    QString path;
    return displayPath(decodeListPath(field, m_codec, path) ? path : QString::fromLatin1(field));
}
