#include "publish/publisher.h"

#include "publish/addressreport.h"
#include "publish/descriptor.h"
#include "publish/filetimes.h"
#include "publish/packwriter.h"
#include "publish/parallelhasher.h"
#include "publish/pathencoding.h"
#include "publish/pathrules.h"
#include "publish/releasescanner.h"
#include "publish/signingkey.h"
#include "publish/treeswap.h"
#include "update/filelist.h"
#include "update/packindex.h"
#include "update/sha256.h"
#include "update/windowsnames.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSet>
#include <QTemporaryDir>
#include <QTextStream>

#include <algorithm>
#include <limits>

namespace {

const QString Program = QStringLiteral("updater-publish");
const QString SignatureName = QStringLiteral("update.ini.minisig");
const QString FloorName = QStringLiteral("update_sequence.info");
constexpr qint64 SecondsPerDay = 24 * 60 * 60;

// The real location of a path that may not exist yet: its deepest existing
// ancestor resolved through symbolic links, with the missing rest appended.
QString resolvedPath(const QString &path)
{
    QString existing = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    QString rest;
    while (!QFileInfo::exists(existing)) {
        const int slash = existing.lastIndexOf(QLatin1Char('/'));
        if (slash <= 0)
            return QDir::cleanPath(existing + rest);
        rest.prepend(existing.mid(slash));
        existing.truncate(slash);
    }
    return QDir::cleanPath(QFileInfo(existing).canonicalFilePath() + rest);
}

bool isInsideOrSame(const QString &path, const QString &folder)
{
    return path == folder || path.startsWith(folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/'));
}

QString folderNameProblem(const QString &folder)
{
    if (folder.isEmpty())
        return QStringLiteral("must not be empty: the list would land beside update.ini");
    if (folder.contains(QLatin1Char('/')) || folder.contains(QLatin1Char('\\')))
        return QStringLiteral("must be one folder name, without \"/\" or \"\\\"");
    if (folder.startsWith(QLatin1Char('.')))
        return QStringLiteral("must not start with \".\"");
    if (folder.contains(QLatin1Char('?')))
        return QStringLiteral("\"?\" would start the query part of the addresses");
    if (windowsUpcase(folder) == QLatin1String("UPDATE.INI"))
        return QStringLiteral("would collide with update.ini");
    return publishPathProblem(folder);
}

bool writeNewFile(const QString &path, const QByteArray &bytes, QString &errorMessage)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly) || file.write(bytes) != bytes.size() || !file.flush()) {
        errorMessage = QStringLiteral("cannot write \"%1\": %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

// Writes a replacement whose commit() later puts it in place with one rename.
bool writeSaveFile(QSaveFile &file, const QByteArray &bytes, QString &errorMessage)
{
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
        errorMessage = QStringLiteral("cannot write \"%1\": %2").arg(file.fileName(), file.errorString());
        return false;
    }
    return true;
}

QString sizeText(quint64 bytes)
{
    if (bytes < 1024 * 1024)
        return QStringLiteral("%1 bytes").arg(bytes);
    return QStringLiteral("%1 MiB").arg(static_cast<double>(bytes) / (1024.0 * 1024.0), 0, 'f', 1);
}

} // namespace

Publisher::Publisher(const PublishOptions &options, QTextStream &out, QTextStream &err)
    : m_options(options)
    , m_out(out)
    , m_err(err)
{
}

void Publisher::refuse(const QString &message)
{
    m_err << Program << ": refused: " << message << '\n';
    m_err.flush();
}

void Publisher::fail(const QString &message)
{
    m_err << Program << ": failed: " << message << '\n';
    m_err.flush();
}

bool Publisher::checkArguments()
{
    QString message;
    if (!pathCodecForName(m_options.pathEncoding, m_codec, message)) {
        refuse(message);
        return false;
    }
    const QString folderProblem = folderNameProblem(m_options.folder);
    if (!folderProblem.isEmpty()) {
        refuse(QStringLiteral("--folder \"%1\": %2").arg(displayPath(m_options.folder), folderProblem));
        return false;
    }
    if (!m_options.url.isEmpty() && !checkUpdateUrl(m_options.url, message)) {
        refuse(message);
        return false;
    }
    const QFileInfo release(m_options.releaseDir);
    if (!release.isDir()) {
        refuse(QStringLiteral("RELEASE_DIR \"%1\" is not a folder").arg(m_options.releaseDir));
        return false;
    }
    m_releaseDir = release.canonicalFilePath();
    m_outDir = QDir::cleanPath(QFileInfo(m_options.outDir).absoluteFilePath());
    m_versionDir = m_outDir + QLatin1Char('/') + m_options.folder;

    const QFileInfo out(m_outDir);
    if (out.exists() && !out.isDir()) {
        refuse(QStringLiteral("OUT_DIR \"%1\" is not a folder").arg(m_options.outDir));
        return false;
    }
    const QString realOut = resolvedPath(m_outDir);
    if (isInsideOrSame(realOut, m_releaseDir)) {
        refuse(QStringLiteral("OUT_DIR \"%1\" is inside RELEASE_DIR \"%2\"").arg(m_options.outDir, m_options.releaseDir));
        return false;
    }
    if (isInsideOrSame(m_releaseDir, realOut)) {
        refuse(QStringLiteral("RELEASE_DIR \"%1\" is inside OUT_DIR \"%2\"").arg(m_options.releaseDir, m_options.outDir));
        return false;
    }
    const QFileInfo descriptor(m_outDir + QStringLiteral("/update.ini"));
    if (descriptor.exists() && !descriptor.isFile()) {
        refuse(QStringLiteral("\"%1\" exists and is not a file").arg(descriptor.filePath()));
        return false;
    }
    const QFileInfo signature(m_outDir + QLatin1Char('/') + SignatureName);
    if (m_options.signKey.isEmpty() && (signature.exists() || signature.isSymLink())) {
        refuse(QStringLiteral("\"%1\" exists: clients that hold update.pub would refuse an unsigned update.ini; "
                              "give --sign").arg(signature.filePath()));
        return false;
    }
    if (signature.exists() && !signature.isFile()) {
        refuse(QStringLiteral("\"%1\" exists and is not a file").arg(signature.filePath()));
        return false;
    }
    for (const QString &dir : qAsConst(m_options.deltaFrom)) {
        DeltaSource source;
        if (!source.open(dir, m_codec, message)) {
            refuse(message);
            return false;
        }
        m_deltaSources.append(source);
    }
    const QFileInfo version(m_versionDir);
    if (version.exists() || version.isSymLink()) {
        if (!m_options.replace) {
            refuse(QStringLiteral("the version folder \"%1\" exists: publish under a new --folder, "
                                  "or give --replace").arg(m_versionDir));
            return false;
        }
        if (!version.isDir() || version.isSymLink()) {
            refuse(QStringLiteral("\"%1\" exists and is not a folder").arg(m_versionDir));
            return false;
        }
    }
    return true;
}

bool Publisher::prepareSigning()
{
    const QString descriptorPath = m_outDir + QStringLiteral("/update.ini");
    UpdateDescriptor previous;
    const bool exists = QFileInfo::exists(descriptorPath);
    const bool readable = exists && readUpdateDescriptor(descriptorPath, previous);
    const qint64 previousSequence = previous.release.sequence;  // -1: none
    if (m_options.sequence >= 0) {
        if (m_options.sequence < previousSequence) {
            refuse(QStringLiteral("--sequence %1 is lower than Release/Sequence %2 of \"%3\": clients that saw "
                                  "that release would refuse this one")
                       .arg(m_options.sequence).arg(previousSequence).arg(descriptorPath));
            return false;
        }
        m_sequence = m_options.sequence;
    } else if (exists && !readable) {
        refuse(QStringLiteral("\"%1\" cannot be read as INI, so the sequence of this release is unknown: "
                              "give --sequence").arg(descriptorPath));
        return false;
    } else if (previous.releaseGroup && previousSequence < 0) {
        refuse(QStringLiteral("\"%1\" has a [Release] group that the updater rejects, so the sequence of this "
                              "release is unknown: give --sequence").arg(descriptorPath));
        return false;
    } else if (previousSequence == std::numeric_limits<qint64>::max()) {
        // Signing that number again would make every later release as good as the
        // last one to a client: each could be replayed in place of the others.
        refuse(QStringLiteral("Release/Sequence %1 of \"%2\" is the highest there is: no later release can "
                              "carry a higher one").arg(previousSequence).arg(descriptorPath));
        return false;
    } else {
        m_sequence = previousSequence < 0 ? 1 : previousSequence + 1;
    }
    m_signTime = QDateTime::currentSecsSinceEpoch();
    if (m_options.expiresDays > 0)
        m_expires = QDateTime::fromSecsSinceEpoch(m_signTime + m_options.expiresDays * SecondsPerDay, Qt::UTC);
    // Asked last, so that a release refused for anything else never asks for a password.
    QString message;
    if (!loadSigningKey(m_options.signKey, m_signingKey, message)) {
        refuse(message);
        return false;
    }
    return true;
}

int Publisher::run()
{
    if (!checkArguments())
        return 2;

    UpdateDescriptor descriptor;
    descriptor.updateType = m_options.optional ? 0 : 1;
    descriptor.folder = m_options.folder;
    descriptor.version = m_options.version;
    descriptor.rollout = m_options.rollout;
    // Built here to refuse what would not read back before anything is read or
    // written; writeTree() builds it again with the signed release's values.
    QByteArray descriptorBytes;
    QString message;
    if (!updateDescriptorBytes(descriptor, descriptorBytes, message)) {
        refuse(message);
        return 2;
    }

    ReleaseScanner scanner(m_releaseDir, m_options.excludes, m_codec);
    if (!scanner.scan()) {
        const QStringList problems = scanner.problems();
        for (const QString &problem : problems)
            refuse(problem);
        return 2;
    }
    const bool signing = !m_options.signKey.isEmpty();
    if (signing && !prepareSigning())
        return 2;

    const bool createdOut = !QFileInfo::exists(m_outDir);
    if (!writeTree(scanner, descriptor)) {
        if (createdOut)
            QDir().rmdir(m_outDir);  // only succeeds when nothing is left inside
        return 1;
    }

    for (const QString &line : qAsConst(m_deltaReport))
        m_err << Program << ": " << line << '\n';
    m_err.flush();
    const ReleaseFileMap files = scanner.files();
    m_out << QStringLiteral("Published %1 files (%2) in \"%3\" and wrote \"%4/update.ini\" (%5 update, version \"%6\").\n")
                 .arg(files.size())
                 .arg(sizeText(scanner.totalBytes()), m_versionDir, m_outDir,
                      m_options.optional ? QStringLiteral("optional") : QStringLiteral("forced"),
                      m_options.version);
    if (signing) {
        const QString expiry = m_expires.isValid() ? QStringLiteral("expires ") + m_expires.toString(Qt::ISODate)
                                                   : QStringLiteral("does not expire");
        m_out << QStringLiteral("Signed release %1 with key %2 (%3) in \"%4/%5\".\n")
                     .arg(m_sequence)
                     .arg(minisignKeyIdText(m_signingKey.keyId), expiry, m_outDir, SignatureName);
        if (m_wroteFloor) {
            m_out << QStringLiteral("Wrote \"%1/%2\": an installation copied from that folder refuses releases "
                                    "below %3.\n").arg(m_versionDir, FloorName).arg(m_sequence);
        }
    }
    m_out << m_packReport;
    if (!m_options.url.isEmpty())
        m_out << addressReport(m_options.url, m_options.folder, files.firstKey());
    m_out.flush();
    return 0;
}

bool Publisher::writeTree(const ReleaseScanner &scanner, UpdateDescriptor descriptor)
{
    const bool signing = !m_options.signKey.isEmpty();
    if (!QDir().mkpath(m_outDir)) {
        fail(QStringLiteral("cannot create OUT_DIR \"%1\"").arg(m_outDir));
        return false;
    }
    // The new version folder grows under a hidden name inside OUT_DIR (one file
    // system, so the move into place is a rename) and disappears on any failure.
    QTemporaryDir staging(m_outDir + QStringLiteral("/.") + m_options.folder + QStringLiteral(".new-XXXXXX"));
    if (!staging.isValid()) {
        fail(QStringLiteral("cannot create a folder in \"%1\": %2").arg(m_outDir, staging.errorString()));
        return false;
    }
    // A temporary folder is private (0700); the published one must be readable
    // by the web server's user.
    QFile::setPermissions(staging.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                              | QFileDevice::ReadGroup | QFileDevice::ExeGroup
                                              | QFileDevice::ReadOther | QFileDevice::ExeOther);
    const QDir stagingDir(staging.path());

    const ReleaseFileMap files = scanner.files();
    QVector<HashJob> jobs;
    jobs.reserve(files.size());
    QSet<QString> folders;
    for (const ReleaseFile &file : files) {
        const QString folder = file.path.section(QLatin1Char('/'), 0, -2);
        if (!folder.isEmpty() && !folders.contains(folder)) {
            if (!stagingDir.mkpath(folder)) {
                fail(QStringLiteral("cannot create \"%1\"").arg(stagingDir.filePath(folder)));
                return false;
            }
            folders.insert(folder);
        }
        jobs.append({file.sourcePath, stagingDir.filePath(file.path)});
    }

    ParallelHasher hasher;
    // Every file's SHA-256, also unsigned: a compressed copy or a patch is only
    // kept when it decodes to exactly these bytes.
    hasher.setComputeSha256(true);
    if (stderrIsTerminal())
        hasher.setProgressLabel(QStringLiteral("Copying and hashing"));
    const QVector<HashResult> results = hasher.run(jobs, scanner.totalBytes());

    // The list records what was copied, so a file that changed during the run
    // is still described correctly.
    QByteArray list;
    QByteArray sums;  // sha256.txt: the same entries in the same order
    int index = 0;
    for (const ReleaseFile &file : files) {
        const HashResult &result = results.at(index++);
        if (!result.ok) {
            if (!result.error.isEmpty())
                fail(result.error);
            continue;
        }
        list += fileListLine(result.md5, result.size, file.listPath) + "\r\n";
        if (signing)
            sums += result.sha256 + '\t' + file.listPath + "\r\n";
    }
    for (const HashResult &result : results) {
        if (!result.ok)
            return false;
    }

    QString message;
    if (!writeNewFile(stagingDir.filePath(QStringLiteral("md5.txt")), list, message)
        || (signing && !writeNewFile(stagingDir.filePath(QStringLiteral("sha256.txt")), sums, message))) {
        fail(message);
        return false;
    }
    // An installation copied from the version folder, as an installer does, starts
    // with this release as its floor: its very first run refuses an older signed
    // release. Only for a release that brings its key, since an installation that
    // holds a floor but no key refuses every release.
    m_wroteFloor = signing && (files.contains(QStringLiteral("update.pub"))
                               || files.contains(QStringLiteral("bin/update.pub")));
    if (m_wroteFloor && !writeNewFile(stagingDir.filePath(FloorName), QByteArray::number(m_sequence) + '\n', message)) {
        fail(message);
        return false;
    }

    if (!writePacks(staging.path(), files, results, descriptor))
        return false;

    QByteArray signature;
    descriptor.list = Sha256::hex(list);
    if (signing) {
        descriptor.release.sequence = m_sequence;
        descriptor.release.listHash = Sha256::hex(list);
        descriptor.release.hashesHash = Sha256::hex(sums);
        descriptor.release.expires = m_expires;
    }
    QByteArray descriptorBytes;
    if (!updateDescriptorBytes(descriptor, descriptorBytes, message)) {
        fail(message);
        return false;
    }
    if (signing) {
        // What `minisign -S` would put there, and the sequence for whoever reads it.
        const QByteArray comment = "timestamp:" + QByteArray::number(m_signTime) + "\tfile:update.ini\tsequence:"
                                 + QByteArray::number(m_sequence);
        signature = signMinisign(descriptorBytes, m_signingKey, comment);
        if (signature.isEmpty()) {
            fail(QStringLiteral("cannot sign with the key \"%1\"").arg(m_options.signKey));
            return false;
        }
    }

    // Both files are written out beside their targets before the version folder
    // moves, so that only renames remain once it is in place.
    QSaveFile descriptorFile(m_outDir + QStringLiteral("/update.ini"));
    QSaveFile signatureFile(m_outDir + QLatin1Char('/') + SignatureName);
    if (!writeSaveFile(descriptorFile, descriptorBytes, message)
        || (signing && !writeSaveFile(signatureFile, signature, message))
        || !outdateReplacedFile(descriptorFile, descriptorBytes, descriptorFile.fileName(), message)
        || (signing && !outdateReplacedFile(signatureFile, signature, signatureFile.fileName(), message))
        || (QFileInfo(m_versionDir).isDir() && !outdateReplacedTree(staging.path(), m_versionDir, message))) {
        fail(message);
        return false;
    }

    if (!moveFolderIntoPlace(staging.path(), m_versionDir, m_options.replace, message)) {
        fail(message);
        return false;
    }
    // What lies at the staging path now (the old version after a swap, or
    // nothing) is removed by QTemporaryDir.

    // update.ini goes into place first and its signature right after, the order in
    // which clients fetch them: a client whose two requests fall on either side of
    // one of the renames still holds a matching pair. One whose requests straddle
    // both (they are microseconds apart) holds the old update.ini with the new
    // signature; it reports 升级描述文件签名无效, installs nothing and succeeds when
    // it checks again. Both pairs name complete version folders.
    if (!descriptorFile.commit()) {
        fail(QStringLiteral("cannot write \"%1\": %2").arg(descriptorFile.fileName(), descriptorFile.errorString()));
        return false;
    }
    if (signing && !signatureFile.commit()) {
        fail(QStringLiteral("cannot write \"%1\": %2; update.ini is already replaced, and clients that hold "
                            "update.pub refuse it until its signature is in place: publish again")
                 .arg(signatureFile.fileName(), signatureFile.errorString()));
        return false;
    }
    return true;
}

bool Publisher::writePacks(const QString &stagingPath, const ReleaseFileMap &files,
                           const QVector<HashResult> &results, UpdateDescriptor &descriptor)
{
    // The copies just written are the files the frames must give back.
    QVector<PackFile> packFiles;
    packFiles.reserve(files.size());
    int number = 0;
    for (const ReleaseFile &file : files) {
        const HashResult &result = results.at(number++);
        packFiles.append({file.path, QDir(stagingPath).filePath(file.path), file.listPath, result.size, result.md5,
                          result.sha256});
    }
    PackWriter packs(stagingPath, m_deltaSources);
    if (stderrIsTerminal())
        packs.setProgressLabel(m_deltaSources.isEmpty() ? QStringLiteral("Compressing")
                                                        : QStringLiteral("Compressing and making patches"));
    if (!packs.write(packFiles)) {
        fail(packs.error());
        return false;
    }
    for (int source = 0; source < m_deltaSources.size(); ++source) {
        const DeltaSource &delta = m_deltaSources.at(source);
        const QString given = m_options.deltaFrom.at(source);
        // A mistyped folder, or one level too high or low, gives no patch at all,
        // and a release without patches works: only this line tells.
        DeltaSource::Base base;
        const bool matched = std::any_of(files.cbegin(), files.cend(), [&](const ReleaseFile &file) {
            return delta.find(file.path, base);
        });
        if (!matched) {
            m_deltaReport << QStringLiteral("warning: --delta-from %1 matched no file of the release").arg(given);
            continue;
        }
        const int count = packs.patchCountFrom(source);
        m_deltaReport << QStringLiteral("delta-from %1%2: %3 %4")
                             .arg(given, delta.release().isEmpty() ? QString()
                                                                   : QStringLiteral(" (release %1)").arg(delta.release()))
                             .arg(count)
                             .arg(count == 1 ? QStringLiteral("patch") : QStringLiteral("patches"));
    }
    const QByteArray index = packs.index();
    if (index.isEmpty())
        return true;
    QString message;
    if (!writeNewFile(QDir(stagingPath).filePath(PackIndexName), index, message)) {
        fail(message);
        return false;
    }
    descriptor.index = Sha256::hex(index);
    m_packReport = QStringLiteral("Wrote %1 compressed copies (%2) and %3 patches (%4) in \"%5/%6\".\n")
                       .arg(packs.compressedCount())
                       .arg(sizeText(packs.compressedBytes()))
                       .arg(packs.patchCount())
                       .arg(sizeText(packs.patchBytes()), m_versionDir, PackFolder);
    return true;
}
