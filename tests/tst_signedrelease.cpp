// Signed releases end to end: trees published and signed by updater-publish (or
// re-signed with the minisign command), served by nginx, installed by the real
// executable with an update.pub beside it.

#include "support/installation.h"
#include "support/nginxserver.h"
#include "support/linuxtools.h"
#include "support/publishrun.h"
#include "support/updatefixture.h"
#include "update/inivalues.h"
#include "update/signedrelease.h"

#include <QCryptographicHash>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QtTest>

namespace {

using FileMap = QMap<QString, QByteArray>;

// A public MD5 collision (Wang and Yu, 2004): two 128-byte blocks with one MD5 text
// and different SHA-256 values.
const QByteArray CollisionA = QByteArray::fromHex(
    "d131dd02c5e6eec4693d9a0698aff95c2fcab58712467eab4004583eb8fb7f8955ad340609f4b30283e48883"
    "2571415a085125e8f7cdc99fd91dbdf280373c5bd8823e3156348f5bae6dacd436c919c6dd53e2b487da03fd"
    "02396306d248cda0e99f33420f577ee8ce54b67080a80d1ec69821bcb6a8839396f9652b6ff72a70");
const QByteArray CollisionB = QByteArray::fromHex(
    "d131dd02c5e6eec4693d9a0698aff95c2fcab50712467eab4004583eb8fb7f8955ad340609f4b30283e48883"
    "25f1415a085125e8f7cdc99fd91dbd7280373c5bd8823e3156348f5bae6dacd436c919c6dd53e23487da03fd"
    "02396306d248cda0e99f33420f577ee8ce54b67080280d1ec69821bcb6a8839396f965ab6ff72a70");

// Equal MD5 states after the colliding blocks stay equal over an equal suffix: two
// files of 2 MiB with one MD5 text, large enough to be hashed on a thread of their own.
QByteArray withSuffix(const QByteArray &block)
{
    return block + patternBytes(2 * 1024 * 1024, 7);
}

FileMap releaseV1()
{
    return {{QStringLiteral("Host.dll"), "host library 1"},
            {QStringLiteral("data/block.bin"), CollisionA + "1"},
            {QStringLiteral("same.txt"), "unchanged"}};
}

FileMap releaseV2()
{
    return {{QStringLiteral("Host.dll"), "host library 2, longer"},
            {QStringLiteral("data/block.bin"), withSuffix(CollisionA)},
            {QStringLiteral("same.txt"), "unchanged"},
            {QStringLiteral("new/added.txt"), "added in 2"}};
}

/// Runs the minisign command; true when it exited with 0.
bool minisign(const QStringList &arguments, const QString &workingDir, QByteArray *output = nullptr)
{
    const ToolRun run = runLinuxTool(QStringLiteral("minisign"), arguments, QByteArray(), workingDir);
    if (output)
        *output = run.out + run.err;
    return run.exitCode == 0;
}

/// Everything the run may not touch on a refusal: the installation without the
/// cache folder, which holds the downloaded descriptor.
FileMap installationState(const QString &root)
{
    FileMap tree = snapshot(root);
    for (auto it = tree.begin(); it != tree.end();) {
        if (it.key() == QLatin1String("bin/update") || it.key().startsWith(QLatin1String("bin/update/")))
            it = tree.erase(it);
        else
            ++it;
    }
    return tree;
}

} // namespace

class TestSignedRelease : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();

    void releaseGroup_data();
    void releaseGroup();
    void descriptorReadLikeSettings_data();
    void descriptorReadLikeSettings();
    void sha256List_data();
    void sha256List();
    void signedUpdateInstalls_data();
    void signedUpdateInstalls();
    void refusals_data();
    void refusals();
    void keyRotation();

private:
    /// Publishes release as folder, signed with key, into www/app (sequence given
    /// when not 0); false on any failure.
    bool publish(const FileMap &release, const QString &folder, const QString &key,
                 int sequence = 0, const QStringList &extra = QStringList());
    /// Serves www/ with nginx; m_url is the URL for system.cfg.
    bool serve();
    /// An installation of v1 beside the given public key, configured for m_url.
    std::unique_ptr<Installation> install(const QString &publicKey);
    QString served(const QString &relative) const;

    QByteArray m_missing; ///< why the end-to-end cases cannot run here
    QTemporaryDir m_keys;
    std::unique_ptr<QTemporaryDir> m_work;
    std::unique_ptr<NginxServer> m_nginx;
    QString m_url;
};

void TestSignedRelease::initTestCase()
{
    if (!NginxServer::isAvailable())
        m_missing = "nginx is not installed";
    else if (linuxToolPath(QStringLiteral("minisign")).isEmpty())
        m_missing = "the minisign command is not installed";
#ifndef UPDATER_PUBLISH_EXE
    m_missing = "updater-publish is not built";
#endif
    if (!m_missing.isEmpty())
        return;
    // Unencrypted keys (-W): no password to type.
    for (const QString &name : {QStringLiteral("first"), QStringLiteral("second")}) {
        QVERIFY(minisign({QStringLiteral("-G"), QStringLiteral("-W"), QStringLiteral("-p"), name + QStringLiteral(".pub"),
                          QStringLiteral("-s"), name + QStringLiteral(".key")},
                         m_keys.path()));
    }
}

void TestSignedRelease::releaseGroup_data()
{
    QTest::addColumn<QByteArray>("group");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<qint64>("sequence");
    QTest::addColumn<QString>("expires");

    const QByteArray hashes = "List=" + QByteArray(64, 'a') + "\nHashes=" + QByteArray(64, '0') + '\n';
    QTest::newRow("without Expires") << "Sequence=12\n" + hashes << true << qint64(12) << QString();
    QTest::newRow("with Expires") << "Sequence=0\nExpires=2027-01-31T00:00:00Z\n" + hashes << true
                                  << qint64(0) << QStringLiteral("2027-01-31T00:00:00Z");
    QTest::newRow("no Sequence") << hashes << false << qint64(-1) << QString();
    QTest::newRow("negative Sequence") << "Sequence=-1\n" + hashes << false << qint64(-1) << QString();
    QTest::newRow("Sequence not whole") << "Sequence=1.5\n" + hashes << false << qint64(-1) << QString();
    QTest::newRow("Sequence beyond 64 bits") << "Sequence=99999999999999999999\n" + hashes << false << qint64(-1) << QString();
    QTest::newRow("Sequence typed, decoded a list of 2^31-1 items")
        << "Sequence=@Variant(\\0\\0\\0\\x09\\x7f\\xff\\xff\\xff)\n" + hashes << false << qint64(-1) << QString();
    QTest::newRow("upper-case List") << "Sequence=1\nList=" + QByteArray(64, 'A') + "\nHashes=" + QByteArray(64, '0') + '\n'
                                     << false << qint64(-1) << QString();
    QTest::newRow("short Hashes") << "Sequence=1\nList=" + QByteArray(64, 'a') + "\nHashes=" + QByteArray(63, '0') + '\n'
                                  << false << qint64(-1) << QString();
    QTest::newRow("Expires without zone") << "Sequence=1\nExpires=2027-01-31T00:00:00\n" + hashes
                                          << false << qint64(-1) << QString();
    QTest::newRow("Expires not a time") << "Sequence=1\nExpires=soon\n" + hashes << false << qint64(-1) << QString();
}

void TestSignedRelease::releaseGroup()
{
    QFETCH(QByteArray, group);
    QFETCH(bool, valid);
    QFETCH(qint64, sequence);
    QFETCH(QString, expires);
    const IniValues descriptor("[Version]\nFolder=v\n[Release]\n" + group);
    ReleaseInfo info;
    QCOMPARE(readReleaseGroup(descriptor, info), valid);
    if (valid) {
        QCOMPARE(info.sequence, sequence);
        QCOMPARE(info.listHash, QByteArray(64, 'a'));
        QCOMPARE(info.expires.isValid(), !expires.isEmpty());
        if (!expires.isEmpty())
            QCOMPARE(info.expires, QDateTime::fromString(expires, Qt::ISODate));
    }
}

void TestSignedRelease::descriptorReadLikeSettings_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("plain") << QByteArray("[Summary]\nUpdateType=0\n[Version]\nFolder=v2\nVersion=2.0\n");
    QTest::newRow("CR LF, blanks, comments")
        << QByteArray("; made by hand\r\n[ Summary ]\r\n  UpdateType = 1 ; forced\r\n\r\n[Version]\r\n"
                      "; folder\r\nFolder =\tv2\t\r\n");
    QTest::newRow("quotes, escapes, lists")
        << QByteArray("[Version]\nVersion=\"2.1, beta; \" , x\nFolder=\"a\\\"b\\tc\"\nName=2.1 \\x6b63\\x5f0f\\x20\n"
                      "Octal=\\101\\x\nAt=@@home\nList=@@a,b\nBytes=@ByteArray(v3)\n");
    QTest::newRow("UTF-8 and a byte-order mark") << QByteArray("\xef\xbb\xbf[Version]\nVersion=版本 2.1\n");
    QTest::newRow("repeated key and group")
        << QByteArray("[Version]\nFolder=a\nFolder=b\n[Summary]\nUpdateType=0\n[Version]\nFolder=c\n");
    QTest::newRow("General, escaped names")
        << QByteArray("UpdateType=5\n[General]\nx=1\n[%General]\ny=2\n[Sum%6Dary]\nUpdate%54ype=0\na\\b=3\n");
    QTest::newRow("continued line, quote across lines")
        << QByteArray("[Version]\nFolder=v\\\n2\nVersion=\"one\ntwo\"\n");
    QTest::newRow("letter case") << QByteArray("[summary]\nupdatetype=0\n[Version]\nfolder=v2\n");
    QTest::newRow("comments before indented lines, CR line ends")
        << QByteArray("; a\r  [Summary]\r; b\r\tUpdateType=0\r[Version]\rFolder=v2\r");
    QTest::newRow("typed and malformed typed values")
        << QByteArray("[Version]\nFolder=@String(v2)\nVersion=@Foo(y)\nA=@Rect(1 2)\nB=@Size(3 4)\nC=@Invalid()\n");
    QTest::newRow("backslash at the very end") << QByteArray("[Version]\nVersion=\\x41  \nFolder=v2  \\");
    QTest::newRow("escapes beyond 32 bits")
        << QByteArray("[Version]\nVersion=\\x123456789abcdef0 \\1234567012345670123\n");
    QTest::newRow("line without =") << QByteArray("[Version]\nFolder\nVersion=1\n");
    QTest::newRow("group without ]") << QByteArray("[Version\nFolder=v\n");
}

void TestSignedRelease::descriptorReadLikeSettings()
{
    QFETCH(QByteArray, text);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("update.ini"));
    QVERIFY(writeFile(path, text));
    QSettings settings(path, QSettings::IniFormat);
    settings.setIniCodec("UTF-8");
    const IniValues values(text);
    QStringList keys = settings.allKeys();
    keys << QStringLiteral("Summary/UpdateType") << QStringLiteral("Version/Folder") << QStringLiteral("Version/Version");
    for (const QString &key : qAsConst(keys)) {
        QCOMPARE(values.contains(key), settings.contains(key));
        const QVariant setting = settings.value(key, QStringLiteral("default"));
        if (setting.userType() != QMetaType::QString && setting.userType() != QMetaType::QStringList) // stays text
            QVERIFY(values.value(key).userType() == QMetaType::QString && values.value(key).toString().startsWith(QLatin1Char('@')));
        else
            QCOMPARE(values.value(key, QStringLiteral("default")), setting);
    }
    QCOMPARE(values.isWellFormed(), settings.status() == QSettings::NoError);
}

void TestSignedRelease::sha256List_data()
{
    QTest::addColumn<QByteArray>("sums");
    QTest::addColumn<bool>("valid");

    const QByteArray a(64, 'a');
    const QByteArray b(64, 'b');
    QTest::newRow("every path once") << QByteArray(a + "\tbin\\x.dll\r\n" + b + "\ty.txt\r\n") << true;
    QTest::newRow("other order, LF") << QByteArray(b + "\ty.txt\n" + a + "\tbin\\x.dll") << true;
    QTest::newRow("a path missing") << QByteArray(a + "\tbin\\x.dll\r\n") << false;
    QTest::newRow("a path not listed") << QByteArray(a + "\tbin\\x.dll\r\n" + b + "\ty.txt\r\n" + b + "\tz\r\n") << false;
    QTest::newRow("a path twice") << QByteArray(a + "\tbin\\x.dll\r\n" + b + "\ty.txt\r\n" + a + "\ty.txt\r\n") << false;
    // The path field as the list has it, byte for byte.
    QTest::newRow("path spelled otherwise") << QByteArray(a + "\tbin/x.dll\r\n" + b + "\ty.txt\r\n") << false;
    QTest::newRow("upper-case hash") << QByteArray(a.toUpper() + "\tbin\\x.dll\r\n" + b + "\ty.txt\r\n") << false;
    QTest::newRow("no TAB") << QByteArray(a + " bin\\x.dll\r\n" + b + "\ty.txt\r\n") << false;
}

void TestSignedRelease::sha256List()
{
    QFETCH(QByteArray, sums);
    QFETCH(bool, valid);
    const QByteArray list = fileListLine(md5Text("x"), 1, "bin\\x.dll") + "\r\n"
                          + fileListLine(md5Text("y"), 1, "y.txt") + "\r\n";
    UpdateFileMap files = parseFileList(list);
    QCOMPARE(attachSha256(list, sums, files), valid);
    if (valid) {
        QCOMPARE(files.value(QStringLiteral("bin/x.dll")).sha256, QByteArray(64, 'a'));
        QCOMPARE(files.value(QStringLiteral("y.txt")).sha256, QByteArray(64, 'b'));
    }
}

bool TestSignedRelease::publish(const FileMap &release, const QString &folder, const QString &key,
                                int sequence, const QStringList &extra)
{
    if (!m_work)
        m_work = std::make_unique<QTemporaryDir>();
    const QString releaseDir = m_work->filePath(QStringLiteral("release-") + folder);
    if (!writeRelease(releaseDir, release))
        return false;
    QStringList arguments{QStringLiteral("--folder"), folder, QStringLiteral("--version"), folder,
                          QStringLiteral("--sign"), m_keys.filePath(key + QStringLiteral(".key"))};
    if (sequence > 0)
        arguments << QStringLiteral("--sequence") << QString::number(sequence);
    arguments << extra << releaseDir << m_work->filePath(QStringLiteral("www/app"));
    const ToolRun run = runPublish(arguments);
    if (run.exitCode != 0)
        qWarning("%s", run.err.constData());
    return run.exitCode == 0;
}

bool TestSignedRelease::serve()
{
    m_nginx = std::make_unique<NginxServer>();
    QString error;
    if (!m_nginx->start(m_work->filePath(QStringLiteral("www")), error)) {
        qWarning("%s", qPrintable(error));
        return false;
    }
    m_url = m_nginx->baseAddress() + QStringLiteral("/app/");
    return true;
}

std::unique_ptr<Installation> TestSignedRelease::install(const QString &publicKey)
{
    auto inst = std::make_unique<Installation>(QStringLiteral("bin"));
    if (!inst->isValid() || !inst->installHost() || !writeRelease(inst->root(), releaseV1())
        || !inst->writeConfig({{QStringLiteral("URL"), m_url}})
        || !writeFile(inst->exeDir() + QStringLiteral("/update.pub"),
                      readFile(m_keys.filePath(publicKey + QStringLiteral(".pub")))))
        return nullptr;
    return inst;
}

QString TestSignedRelease::served(const QString &relative) const
{
    return m_work->filePath(QStringLiteral("www/app/") + relative);
}

void TestSignedRelease::signedUpdateInstalls_data()
{
    QTest::addColumn<bool>("resignWithCommand");
    QTest::addColumn<QString>("situation");
    QTest::newRow("signed by updater-publish") << false << QString();
    QTest::newRow("signed again with the minisign command") << true << QString();
    // Unsigned until this release brings update.pub: its sequence starts the floor.
    QTest::newRow("the key arrives with the release") << false << "key arrives";
}

void TestSignedRelease::signedUpdateInstalls()
{
    if (!m_missing.isEmpty())
        QSKIP(m_missing.constData());
    QFETCH(bool, resignWithCommand);
    QFETCH(QString, situation);
    const bool keyArrives = situation == QLatin1String("key arrives");
    m_work.reset();
    FileMap release = releaseV2();
    if (keyArrives)
        release.insert(QStringLiteral("bin/update.pub"), readFile(m_keys.filePath(QStringLiteral("first.pub"))));
    QVERIFY(publish(release, QStringLiteral("v2"), QStringLiteral("first"), 7));
    const QString www = m_work->filePath(QStringLiteral("www/app"));
    const QString publicKey = m_keys.filePath(QStringLiteral("first.pub"));
    // Our signature is a minisign signature as far as the minisign command goes.
    QByteArray said;
    QVERIFY2(minisign({QStringLiteral("-V"), QStringLiteral("-p"), publicKey, QStringLiteral("-m"),
                       QStringLiteral("update.ini")}, www, &said), said.constData());
    if (resignWithCommand) {
        QVERIFY(QFile::remove(served(QStringLiteral("update.ini.minisig"))));
        QVERIFY(minisign({QStringLiteral("-S"), QStringLiteral("-s"), m_keys.filePath(QStringLiteral("first.key")),
                          QStringLiteral("-m"), QStringLiteral("update.ini")}, www));
    }
    QVERIFY(serve());
    const auto inst = install(QStringLiteral("first"));
    QVERIFY(inst);

    if (keyArrives)
        QVERIFY(QFile::remove(inst->exeDir() + QStringLiteral("/update.pub")));

    UpdaterRun run = inst->run({QStringLiteral("console")});
    const FileMap v2 = releaseV2();
    for (auto it = v2.cbegin(); it != v2.cend(); ++it)
        QCOMPARE(readFile(inst->root() + QLatin1Char('/') + it.key()), it.value());
    QCOMPARE(run.out, resultRecord(true, true, QString()));
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(readFile(inst->root() + QStringLiteral("/update_md5.info")), readFile(served(QStringLiteral("v2/md5.txt"))));
    QCOMPARE(readFile(inst->root() + QStringLiteral("/update_sequence.info")), QByteArray("7\n"));

    // Up to date now; the same release is still accepted and found so.
    run = inst->run({QStringLiteral("console")});
    QCOMPARE(run.out, resultRecord(true, false, QString()));
}

void TestSignedRelease::refusals_data()
{
    QTest::addColumn<QString>("tamper");
    QTest::addColumn<QString>("message");

    const QString signature = QStringLiteral("升级描述文件签名无效");
    const QString list = QStringLiteral("更新列表文件校验不对");
    QTest::newRow("unknown key") << "unknown key" << signature;
    QTest::newRow("no signature") << "no signature" << signature;
    QTest::newRow("tampered descriptor") << "tampered descriptor" << signature;
    QTest::newRow("signed descriptor without a release group") << "no release group" << signature;
    QTest::newRow("tampered list") << "tampered list" << list;
    QTest::newRow("tampered sha256.txt") << "tampered sums" << list;
    QTest::newRow("sha256.txt missing a path") << "sums missing a path" << list;
    // Same size and MD5 text as listed: only the SHA-256 tells them apart.
    QTest::newRow("file with a colliding MD5") << "md5 collision"
                                              << QStringLiteral("更新文件block.bin校验不对");
    QTest::newRow("rollback to a lower sequence") << "rollback"
                                                  << QStringLiteral("升级版本低于已安装版本");
    // Something that is no number where the floor lies might have been any number.
    QTest::newRow("floor unreadable") << "floor unreadable" << QStringLiteral("升级版本低于已安装版本");
    // The installer copied release 6's published folder; the server replays 5.
    QTest::newRow("older than the release installed") << "newer installed"
                                                       << QStringLiteral("升级版本低于已安装版本");
    QTest::newRow("expired") << "expired" << QStringLiteral("升级描述文件已过期");
}

void TestSignedRelease::refusals()
{
    if (!m_missing.isEmpty())
        QSKIP(m_missing.constData());
    QFETCH(QString, tamper);
    QFETCH(QString, message);
    m_work.reset();
    QVERIFY(publish(releaseV2(), QStringLiteral("v2"), QStringLiteral("first"), 5));
    const QString www = m_work->filePath(QStringLiteral("www/app"));
    const QString key = m_keys.filePath(QStringLiteral("first.key"));

    // Edits the descriptor and signs it again with the minisign command, so that
    // only the edit, not the signature, is wrong.
    auto resignedDescriptor = [&](const QByteArray &from, const QByteArray &to) {
        QByteArray descriptor = readFile(served(QStringLiteral("update.ini")));
        const int at = descriptor.indexOf(from);
        if (at < 0)
            return false;
        descriptor.replace(at, from.size(), to);
        return writeFile(served(QStringLiteral("update.ini")), descriptor)
            && QFile::remove(served(QStringLiteral("update.ini.minisig")))
            && minisign({QStringLiteral("-S"), QStringLiteral("-s"), key, QStringLiteral("-m"),
                         QStringLiteral("update.ini")}, www);
    };
    auto appendTo = [&](const QString &relative, const QByteArray &text) {
        return writeFile(served(relative), readFile(served(relative)) + text);
    };

    QString publicKey = QStringLiteral("first");
    qint64 recorded = 0;
    FileMap copied; // a published version folder, copied as an installer does
    if (tamper == QLatin1String("unknown key")) {
        publicKey = QStringLiteral("second");
    } else if (tamper == QLatin1String("no signature")) {
        QVERIFY(QFile::remove(served(QStringLiteral("update.ini.minisig"))));
    } else if (tamper == QLatin1String("tampered descriptor")) {
        QVERIFY(appendTo(QStringLiteral("update.ini"), "\n"));
    } else if (tamper == QLatin1String("no release group")) {
        QVERIFY(resignedDescriptor("[Release]", "[Other]"));
    } else if (tamper == QLatin1String("tampered list")) {
        QVERIFY(appendTo(QStringLiteral("v2/md5.txt"), "\r\n"));
    } else if (tamper == QLatin1String("tampered sums")) {
        QVERIFY(appendTo(QStringLiteral("v2/sha256.txt"), "\r\n"));
    } else if (tamper == QLatin1String("sums missing a path")) {
        // The list's hash still matches: the descriptor is re-signed with it.
        QByteArray sums = readFile(served(QStringLiteral("v2/sha256.txt")));
        sums = sums.mid(sums.indexOf('\n') + 1);
        const QByteArray oldHash = QCryptographicHash::hash(readFile(served(QStringLiteral("v2/sha256.txt"))),
                                                            QCryptographicHash::Sha256).toHex();
        QVERIFY(writeFile(served(QStringLiteral("v2/sha256.txt")), sums));
        QVERIFY(resignedDescriptor(oldHash, QCryptographicHash::hash(sums, QCryptographicHash::Sha256).toHex()));
    } else if (tamper == QLatin1String("md5 collision")) {
        QVERIFY(writeFile(served(QStringLiteral("v2/data/block.bin")), withSuffix(CollisionB)));
        QCOMPARE(md5Text(withSuffix(CollisionB)), md5Text(withSuffix(CollisionA)));
    } else if (tamper == QLatin1String("rollback")) {
        recorded = 6;
    } else if (tamper == QLatin1String("newer installed")) {
        const QByteArray descriptor = readFile(served(QStringLiteral("update.ini")));
        const QByteArray signature = readFile(served(QStringLiteral("update.ini.minisig")));
        FileMap newer = releaseV1();
        newer.insert(QStringLiteral("bin/update.pub"), readFile(m_keys.filePath(QStringLiteral("first.pub"))));
        QVERIFY(publish(newer, QStringLiteral("v6"), QStringLiteral("first"), 6));
        copied = snapshot(served(QStringLiteral("v6")));
        QVERIFY(writeFile(served(QStringLiteral("update.ini")), descriptor));
        QVERIFY(writeFile(served(QStringLiteral("update.ini.minisig")), signature));
    } else if (tamper == QLatin1String("expired")) {
        QVERIFY(resignedDescriptor("[Release]\n", "[Release]\nExpires=2020-01-31T00:00:00Z\n")
                || resignedDescriptor("[Release]\r\n", "[Release]\r\nExpires=2020-01-31T00:00:00Z\r\n"));
    }
    QVERIFY(serve());
    const auto inst = install(publicKey);
    QVERIFY(inst);
    if (recorded > 0)
        QVERIFY(writeFile(inst->root() + QStringLiteral("/update_sequence.info"), QByteArray::number(recorded) + '\n'));
    if (tamper == QLatin1String("floor unreadable"))
        QVERIFY(writeFile(inst->root() + QStringLiteral("/update_sequence.info"), "seven\n"));
    for (auto it = copied.cbegin(); it != copied.cend(); ++it) {
        if (it.value() != "<folder>")
            QVERIFY(writeFile(inst->root() + QLatin1Char('/') + it.key(), it.value()));
    }
    const FileMap before = installationState(inst->root());

    const UpdaterRun run = inst->run({QStringLiteral("console")});
    QByteArray expected = resultRecord(false, false, message);
    // A file fails after the check has reported an update under way.
    if (tamper == QLatin1String("md5 collision"))
        expected.prepend(resultRecord(true, true, QString()));
    QCOMPARE(run.out, expected);
    QCOMPARE(run.exitCode, 1);
    FileMap after = installationState(inst->root());
    // A release whose signature holds raises the floor before its files come.
    if (tamper == QLatin1String("md5 collision"))
        QCOMPARE(after.take(QStringLiteral("update_sequence.info")), QByteArray("5\n"));
    QCOMPARE(after, before);
    QCOMPARE(inst->hostCalls(), QList<QStringList>());
}

void TestSignedRelease::keyRotation()
{
    if (!m_missing.isEmpty())
        QSKIP(m_missing.constData());
    // Release 1, signed with the first key, ships an update.pub that holds the
    // second; release 2 is signed with the second key only.
    m_work.reset();
    FileMap rotating = releaseV2();
    rotating.insert(QStringLiteral("bin/update.pub"), readFile(m_keys.filePath(QStringLiteral("second.pub"))));
    QVERIFY(publish(rotating, QStringLiteral("v2"), QStringLiteral("first"), 1));
    QVERIFY(serve());
    const auto inst = install(QStringLiteral("first"));
    QVERIFY(inst);
    UpdaterRun run = inst->run({QStringLiteral("console")});
    QCOMPARE(run.out, resultRecord(true, true, QString()));
    const QString anchor = inst->exeDir() + QStringLiteral("/update.pub");
    QCOMPARE(readFile(anchor), readFile(m_keys.filePath(QStringLiteral("second.pub"))));

    // What a kill between the two renames of update.pub leaves: the old key set
    // aside, the new one still in the cache, no record of the run. It stays signed.
    const QString record = inst->root() + QStringLiteral("/update_md5.info");
    const QString floor = inst->root() + QStringLiteral("/update_sequence.info");
    const QByteArray applied = readFile(record);
    QVERIFY(QFile::remove(record) && QFile::remove(floor));
    QVERIFY(QFile::rename(anchor, inst->exeDir() + QStringLiteral("/update/update.pub")));
    const FileMap killed = installationState(inst->root());
    run = inst->run({QStringLiteral("console")});
    QCOMPARE(run.out, resultRecord(false, false, QStringLiteral("升级描述文件签名无效")));
    QCOMPARE(installationState(inst->root()), killed);
    QVERIFY(QFile::rename(inst->exeDir() + QStringLiteral("/update/update.pub"), anchor));
    QVERIFY(writeFile(record, applied));

    FileMap next = rotating;
    next.insert(QStringLiteral("new/added.txt"), "changed in 3");
    QVERIFY(publish(next, QStringLiteral("v3"), QStringLiteral("second")));
    run = inst->run({QStringLiteral("console")});
    QCOMPARE(run.out, resultRecord(true, true, QString()));
    QCOMPARE(readFile(inst->root() + QStringLiteral("/new/added.txt")), QByteArray("changed in 3"));
    QCOMPARE(readFile(inst->root() + QStringLiteral("/update_sequence.info")), QByteArray("2\n"));

    // The first key no longer counts.
    QVERIFY(publish(rotating, QStringLiteral("v4"), QStringLiteral("first")));
    run = inst->run({QStringLiteral("console")});
    QCOMPARE(run.out, resultRecord(false, false, QStringLiteral("升级描述文件签名无效")));
}

QTEST_MAIN(TestSignedRelease)
#include "tst_signedrelease.moc"
