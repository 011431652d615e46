// The part of the check that talks to one server address: what it serves, and
// whether its descriptor alone already settles the run.

#include "app/addresscheck.h"

#include "app/keptcopy.h"
#include "app/pushback.h"
#include "app/rollout.h"
#include "net/httprequest.h"
#include "update/inivalues.h"
#include "update/minisign.h"
#include "update/packindex.h"
#include "update/sha256.h"
#include "update/signedrelease.h"

#include <QFile>
#include <QFileInfo>

namespace {

constexpr int RequestTimeoutSeconds = 5;
// Far above any real descriptor or list (a list line is about 70 bytes, so the list
// bound allows close to a million files), and small enough that a broken or
// hostile server cannot make the updater hold gigabytes.
constexpr qint64 MaxDescriptorSize = 64 * 1024;
constexpr qint64 MaxFileListSize = 64 * 1024 * 1024;
// A signature file is a few hundred bytes; a key file holds a few keys.
constexpr qint64 MaxSignatureSize = 64 * 1024;

const QString RolloutKey = QStringLiteral("Version/Rollout");
const QString ListKey = QStringLiteral("Version/List");

/// One document of the address, asked for with the validators of its kept copy: a
/// 304 gives the kept bytes. A kept copy that is gone, or that does not have the
/// SHA-256 expected of it, is asked for once more without validators.
bool fetchDocument(const RunValues &values, const QString &address, PushBack &pushBack,
                   const QUrl &url, const QString &keptName, qint64 maxSize, QByteArray &bytes,
                   QString &errorText, const QByteArray &expectedSha256 = QByteArray())
{
    const KeptCopy kept(values.cacheDir, keptName, url);
    RawHeaderMap conditions = kept.conditionalHeaders();
    for (;;) {
        RawHeaderMap answer;
        int status = 0;
        if (!sendHttpRequest(values.networkManager, url, bytes, errorText, RequestTimeoutSeconds,
                             conditions, QByteArrayLiteral("GET"), QByteArray(), &answer, maxSize,
                             &status)) {
            if (status == 429 || status == 503)
                pushBack.record(address, rawHeaderValue(answer, "Retry-After"));
            return false;
        }
        if (status != 304) {
            kept.keep(bytes, answer);
            return true;
        }
        if (kept.read(maxSize, bytes)
            && (expectedSha256.isEmpty() || Sha256::hex(bytes) == expectedSha256))
            return true;
        kept.drop();
        conditions.clear();
    }
}

/// True when update.ini.minisig of the address is a valid signature of descriptor
/// by one of the keys in the trust anchor file.
bool descriptorSignatureValid(const RunValues &values, const QString &address, PushBack &pushBack,
                              const QByteArray &descriptor)
{
    QFile anchor(trustAnchorPath(values));
    if (!anchor.open(QIODevice::ReadOnly))
        return false;
    QList<MinisignPublicKey> keys;
    QString error;
    if (!parseMinisignPublicKeys(anchor.read(MaxSignatureSize), keys, error))
        return false;
    const QUrl signatureUrl(address + QStringLiteral("/update.ini.minisig"), QUrl::TolerantMode);
    QByteArray signature;
    return fetchDocument(values, address, pushBack, signatureUrl, QStringLiteral("update.ini.minisig"),
                         MaxSignatureSize, signature, error)
        && verifyMinisign(descriptor, signature, keys, error);
}

// The INI reader splits an unquoted value at its commas ("2.1, beta" reads as a
// list of two); the notice shows the version exactly as the publisher wrote it.
QString rawIniValue(const QByteArray &ini, const QByteArray &group, const QByteArray &key)
{
    QByteArray current;
    const QList<QByteArray> lines = ini.split('\n');
    for (const QByteArray &raw : lines) {
        const QByteArray line = raw.trimmed();
        if (line.startsWith('[') && line.endsWith(']')) {
            current = line.mid(1, line.size() - 2).trimmed();
            continue;
        }
        const int equals = line.indexOf('=');
        if (current == group && equals > 0 && line.left(equals).trimmed() == key)
            return QString::fromUtf8(line.mid(equals + 1).trimmed());
    }
    return QString();
}

QString versionText(const IniValues &descriptor, const QByteArray &descriptorBytes)
{
    const QVariant value = descriptor.value(QStringLiteral("Version/Version"));
    if (value.type() == QVariant::StringList)
        return rawIniValue(descriptorBytes, "Version", "Version");
    return value.toString();
}

/// True once the installation has held a key or a release floor: update.pub, the
/// update.pub.old that replacing it leaves, or update_sequence.info (which an
/// installer copies from a signed release's published folder). Existence alone
/// counts, links included: whatever lies there, it was not put there unsigned.
bool isSignedInstallation(const RunValues &values)
{
    const QString anchor = trustAnchorPath(values);
    const QStringList traces{anchor, anchor + QStringLiteral(".old"), sequenceRecordPath(values)};
    for (const QString &trace : traces) {
        const QFileInfo info(trace);
        if (info.exists() || info.isSymLink())
            return true;
    }
    return false;
}

/// The share of installations a staged release is meant for: 100 without the key.
/// A value that is no whole number holds the release back rather than let it out.
int rolloutPercent(const IniValues &descriptor)
{
    if (!descriptor.contains(RolloutKey))
        return 100;
    bool ok = false;
    const int percent = descriptor.value(RolloutKey).toString().trimmed().toInt(&ok);
    return ok ? qBound(0, percent, 100) : 0;
}

bool saveDescriptor(const RunValues &values, const QByteArray &bytes, QString &message)
{
    // The descriptor is kept in the cache for whoever looks into it afterwards; its
    // values are read from the bytes in memory, the ones whose signature was checked.
    // A write that came up short is still reported like a file that could not be created.
    const QString path = values.cacheDir.absoluteFilePath(QStringLiteral("update.ini"));
    QFile descriptor(path);
    if (!descriptor.open(QIODevice::ReadWrite | QIODevice::Truncate)) {
        message = QObject::tr("创建文件[%1]失败:%2").arg(path, descriptor.errorString());
        return false;
    }
    if (descriptor.write(bytes) != bytes.size() || !descriptor.flush()) {
        message = QObject::tr("创建文件[%1]失败:%2").arg(path, descriptor.errorString());
        return false;
    }
    return true;
}

AddressOutcome failed(AddressOutcome::Kind kind, const QString &message)
{
    return AddressOutcome{kind, message};
}

} // namespace

QString sequenceRecordPath(const RunValues &values)
{
    return values.rootDir.absoluteFilePath(QStringLiteral("update_sequence.info"));
}

QString trustAnchorPath(const RunValues &values)
{
    return values.exeDir + QStringLiteral("/update.pub");
}

AddressOutcome checkAddress(const RunValues &values, const QString &address, PushBack &pushBack,
                            UpdateCheckResult &result, UpdateFileMap &listed)
{
    QByteArray buffer;
    QString errorText;
    const QUrl descriptorUrl(address + QLatin1Char('/') + QStringLiteral("update.ini"), QUrl::TolerantMode);
    if (!fetchDocument(values, address, pushBack, descriptorUrl, QStringLiteral("update.ini"),
                       MaxDescriptorSize, buffer, errorText))
        return failed(AddressOutcome::AddressFailed, QObject::tr("下载升级描述文件失败:%1").arg(errorText));

    // Once an installation is signed, nothing of a release counts until its
    // signature does: not even the descriptor is saved before that. A missing key
    // file then refuses every release instead of switching the check off.
    const bool signedMode = isSignedInstallation(values);
    const QString badSignature = QObject::tr("升级描述文件签名无效");
    if (signedMode && !descriptorSignatureValid(values, address, pushBack, buffer))
        return failed(AddressOutcome::AddressFailed, badSignature);
    if (!saveDescriptor(values, buffer, errorText))
        return failed(AddressOutcome::LocalFailure, errorText);

    // Publishers write the file by hand in UTF-8 as often as with QSettings, whose
    // escapes read the same either way.
    const IniValues descriptor(buffer);
    result.updateType = descriptor.value(QStringLiteral("Summary/UpdateType"), 1).toInt();
    const QString folder = descriptor.value(QStringLiteral("Version/Folder"), QStringLiteral("Base")).toString();
    result.version = versionText(descriptor, buffer);
    // Plain concatenation: no separator before the folder, and the list address
    // keeps its doubled slash. Servers are published for exactly these addresses.
    result.address = address;
    result.baseUrl = address + folder + QLatin1Char('/');
    result.indexHash = descriptor.value(PackIndexKey).toString().toLatin1();
    // Unsigned, the group is only a hint: the sequence to begin the floor with
    // should this run install update.pub.
    ReleaseInfo release;
    if (!readReleaseGroup(descriptor, release)) {
        if (signedMode)
            return failed(AddressOutcome::AddressFailed, badSignature);
        release.sequence = 0;
    }
    result.signedMode = signedMode;
    result.sequence = release.sequence;
    if (signedMode) {
        // A replayed older release, validly signed, would install old, perhaps
        // vulnerable files; a stale one keeps clients from hearing of a newer one.
        // A floor that cannot be read might have been any number: nothing is below it.
        qint64 floor = 0;
        if (!recordedSequence(sequenceRecordPath(values), floor) || release.sequence < floor)
            return failed(AddressOutcome::AddressFailed, QObject::tr("升级版本低于已安装版本"));
        if (release.expires.isValid() && release.expires < QDateTime::currentDateTimeUtc())
            return failed(AddressOutcome::AddressFailed, QObject::tr("升级描述文件已过期"));
    }

    // The list's hash in the descriptor settles an up-to-date installation without
    // the list: the record holds the applied list's exact bytes, so with equal
    // hashes no listed file can differ from it. A repair trusts no record.
    const QByteArray listHash = signedMode ? release.listHash : descriptor.value(ListKey).toString().toLatin1();
    if (!listHash.isEmpty() && !values.repairMode) {
        result.recordHash = Sha256::fileHex(values.rootDir.absoluteFilePath(QStringLiteral("update_md5.info")));
        if (result.recordHash == listHash)
            return AddressOutcome{AddressOutcome::UpToDate, QString()};
    }
    const int percent = rolloutPercent(descriptor);
    if (percent < 100 && !Rollout::takes(Rollout::place(Rollout::identity(values.rootDir), folder, listHash), percent))
        return AddressOutcome{AddressOutcome::NotOut, QString()};

    const QUrl fileListUrl(result.baseUrl + QStringLiteral("/md5.txt"), QUrl::TolerantMode);
    if (!fetchDocument(values, address, pushBack, fileListUrl, QStringLiteral("md5.txt"), MaxFileListSize,
                       buffer, errorText, listHash))
        return failed(AddressOutcome::AddressFailed, QObject::tr("下载更新列表文件失败:%1").arg(errorText));
    // A list that is not the one the descriptor names comes from a mirror caught
    // halfway through a publication, or from a forger: it is not taken.
    const QString listMismatch = QObject::tr("更新列表文件校验不对");
    if (!listHash.isEmpty() && Sha256::hex(buffer) != listHash)
        return failed(AddressOutcome::AddressFailed, listMismatch);

    listed = parseFileList(buffer);
    if (signedMode) {
        // The signed descriptor pins the list, and the list's companion pins every
        // file by SHA-256: MD5 texts alone can be matched by a forged file.
        const QUrl sumsUrl(result.baseUrl + QStringLiteral("/sha256.txt"), QUrl::TolerantMode);
        QByteArray sums;
        if (!fetchDocument(values, address, pushBack, sumsUrl, QStringLiteral("sha256.txt"),
                           MaxFileListSize, sums, errorText, release.hashesHash))
            return failed(AddressOutcome::AddressFailed, QObject::tr("下载更新列表文件失败:%1").arg(errorText));
        if (Sha256::hex(sums) != release.hashesHash || !attachSha256(buffer, sums, listed))
            return failed(AddressOutcome::AddressFailed, listMismatch);
    }
    result.fileList = buffer;
    return AddressOutcome{AddressOutcome::Listed, QString()};
}

void attachSmallerRoutes(const RunValues &values, UpdateCheckResult &result)
{
    const QUrl indexUrl(result.baseUrl + PackIndexName, QUrl::TolerantMode);
    QByteArray index;
    QString errorText;
    PushBack pushBack(values.rootDir);
    if (fetchDocument(values, result.address, pushBack, indexUrl, QStringLiteral("index.txt"), MaxFileListSize,
                      index, errorText, result.indexHash)
        && Sha256::hex(index) == result.indexHash)
        attachPackIndex(result.fileList, index, result.changed);
}
