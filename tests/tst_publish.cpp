// Process-level tests of updater-publish: the real executable publishes release
// folders made in temporary directories, and the results are read back with the
// updater's own list parser and INI read.

#include "support/linuxtools.h"
#include "support/publishrun.h"
#include "update/filelist.h"
#include "update/inivalues.h"
#include "update/md5.h"
#include "update/packindex.h"
#include "update/signedrelease.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

#include <algorithm>

namespace {

// Restores the process's local 8-bit encoding when a test changed it.
class LocaleCodecScope
{
public:
    explicit LocaleCodecScope(QTextCodec *codec)
        : m_previous(QTextCodec::codecForLocale())
    {
        QTextCodec::setCodecForLocale(codec);
    }
    ~LocaleCodecScope() { QTextCodec::setCodecForLocale(m_previous); }

private:
    QTextCodec *m_previous;
};

} // namespace

class TestPublish : public QObject
{
    Q_OBJECT
private slots:
    void roundTrip();
    void defaultExclusions_data();
    void defaultExclusions();
    void descriptorRoundTrip_data();
    void descriptorRoundTrip();
    void deterministicOutput();
    void pathEncodingRoundTrip_data();
    void pathEncodingRoundTrip();
    void replaceSwapsTheFolder();
    void writeFailureKeepsPublication();
    void signedPublish_data();
    void signedPublish();
    void packArtefacts_data();
    void packArtefacts();
    void helpDocumentsEveryOption();
    void wrongCommandLine_data();
    void wrongCommandLine();
};

void TestPublish::roundTrip()
{
    QTemporaryDir tmp;
    const QString rel = tmp.filePath(QStringLiteral("release"));
    const QString out = tmp.filePath(QStringLiteral("www"));
    const QMap<QString, QByteArray> files = sampleRelease();
    QVERIFY(writeRelease(rel, files));

    const ToolRun run = runPublish({QStringLiteral("--folder"), QStringLiteral("v1"), rel, out});
    QCOMPARE(run.err, QByteArray());  // no progress line: stderr is not a terminal
    QCOMPARE(run.exitCode, 0);

    const QByteArray list = readFile(out + QStringLiteral("/v1/md5.txt"));
    QCOMPARE(IniValues(readFile(out + QStringLiteral("/update.ini"))).value(QStringLiteral("Version/List")).toString(),
             QString::fromLatin1(sha256Text(list)));
    const UpdateFileMap parsed = parseFileList(list);
    QCOMPARE(parsed.keys(), files.keys());
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        const UpdateFileEntry entry = parsed.value(it.key());
        QCOMPARE(entry.path, it.key());
        QCOMPARE(entry.size, quint64(it.value().size()));
        QCOMPARE(entry.md5, md5Text(it.value()));
        QCOMPARE(readFile(out + QStringLiteral("/v1/") + it.key()), it.value());
    }

    // Lines in the updater's key order, CR LF ends, backslash separators.
    QStringList keys = files.keys();
    std::sort(keys.begin(), keys.end());
    QByteArray expected;
    for (const QString &key : qAsConst(keys)) {
        QString listed = key;
        listed.replace(QLatin1Char('/'), QLatin1Char('\\'));
        expected += md5Text(files.value(key)) + '\t' + fileListSizeField(quint64(files.value(key).size())) + '\t'
                  + listed.toLatin1() + "\r\n";
    }
    QCOMPARE(list, expected);
    QVERIFY(list.indexOf("\tdata\\abc.txt\r\n") < list.indexOf("\tdata0.txt\r\n"));
    QVERIFY(list.indexOf("\tB.txt\r\n") < list.indexOf("\ta b.txt\r\n"));

    // Nothing but the descriptor and the version folder, all readable by others
    // (the web server's user).
    QCOMPARE(QDir(out).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList({QStringLiteral("update.ini"), QStringLiteral("v1")}));
    QVERIFY(QFileInfo(out + QStringLiteral("/update.ini")).permissions() & QFileDevice::ReadOther);
    QVERIFY(QFileInfo(out + QStringLiteral("/v1")).permissions() & QFileDevice::ExeOther);
    QVERIFY(QFileInfo(out + QStringLiteral("/v1/md5.txt")).permissions() & QFileDevice::ReadOther);
    // Nothing in it compresses: no index, no frames.
    QVERIFY(!QFileInfo::exists(out + QStringLiteral("/v1/index.txt")) && !QFileInfo::exists(out + QStringLiteral("/v1/#pack")));
}

void TestPublish::defaultExclusions_data()
{
    QTest::addColumn<QStringList>("extraFiles");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("listed");

    const QStringList installationFiles = {
        QStringLiteral("system.cfg"), QStringLiteral("bin/system.cfg"), QStringLiteral("update_md5.info"),
        QStringLiteral("update_sequence.info"), QStringLiteral("bin/Update_Sequence.info"),
        QStringLiteral("Host.exe.old"), QStringLiteral("bin/x.dll.OLD"), QStringLiteral("update/cached.bin"),
        QStringLiteral("bin/update/a/b.txt"), QStringLiteral("Update/upper.txt"), QStringLiteral("update_id.info"),
        QStringLiteral("bin/update_id.info"), QStringLiteral("Update_Retry.info"), QStringLiteral("bin/update_retry.info")};
    QTest::newRow("installation leftovers") << installationFiles << QStringList()
                                            << QStringList{QStringLiteral("keep/update/x.txt"), QStringLiteral("main.exe")};
    QTest::newRow("exclude by name anywhere")
        << QStringList{QStringLiteral("a.pdb"), QStringLiteral("keep/deep/b.PDB")}
        << QStringList{QStringLiteral("--exclude"), QStringLiteral("*.pdb")}
        << QStringList{QStringLiteral("keep/update/x.txt"), QStringLiteral("main.exe")};
    QTest::newRow("exclude anchored path and folder")
        << QStringList{QStringLiteral("docs/a.txt"), QStringLiteral("keep/docs/b.txt"), QStringLiteral("keep/c.log")}
        << QStringList{QStringLiteral("--exclude"), QStringLiteral("docs/"), QStringLiteral("--exclude"),
                       QStringLiteral("keep/*.log")}
        << QStringList{QStringLiteral("keep/update/x.txt"), QStringLiteral("main.exe")};
    QTest::newRow("double star spans folders")
        << QStringList{QStringLiteral("keep/deep/x.tmp"), QStringLiteral("y.tmp"), QStringLiteral("keep/z.tmpx")}
        << QStringList{QStringLiteral("--exclude"), QStringLiteral("**/*.tmp")}
        << QStringList{QStringLiteral("keep/update/x.txt"), QStringLiteral("keep/z.tmpx"), QStringLiteral("main.exe")};
}

void TestPublish::defaultExclusions()
{
    QFETCH(QStringList, extraFiles);
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, listed);

    QTemporaryDir tmp;
    const QString rel = tmp.filePath(QStringLiteral("release"));
    const QString out = tmp.filePath(QStringLiteral("www"));
    // A cache folder lower in the tree is the host's own data and is published.
    QVERIFY(writeFile(rel + QStringLiteral("/main.exe"), "main"));
    QVERIFY(writeFile(rel + QStringLiteral("/keep/update/x.txt"), "x"));
    for (const QString &file : qAsConst(extraFiles))
        QVERIFY(writeFile(rel + QLatin1Char('/') + file, "excluded"));

    const ToolRun run = runPublish(arguments + QStringList{rel, out});
    QCOMPARE(run.err, QByteArray());
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(parseFileList(readFile(out + QStringLiteral("/Base/md5.txt"))).keys(), listed);
    QStringList copied;
    QDirIterator it(out + QStringLiteral("/Base"), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        copied.append(QDir(out + QStringLiteral("/Base")).relativeFilePath(it.next()));
    copied.sort();
    QCOMPARE(copied, QStringList(listed) << QStringLiteral("md5.txt"));
}

void TestPublish::descriptorRoundTrip_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("updateType");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QStringList>("again");  // then published again at once, with --replace and a.txt changed
    QTest::addColumn<QString>("rollout");    // "Version/Rollout" in the end; empty: none

    QTest::newRow("chinese version text")
        << QStringList{QStringLiteral("--version"), QStringLiteral("2.0 正式版（修复若干问题）"), QStringLiteral("--folder"),
                       QStringLiteral("v2")}
        << 1 << QStringLiteral("v2") << QStringLiteral("2.0 正式版（修复若干问题）") << QStringList() << QString();
    QTest::newRow("defaults") << QStringList() << 1 << QStringLiteral("Base") << QString() << QStringList() << QString();
    QTest::newRow("optional") << QStringList{QStringLiteral("--optional"), QStringLiteral("--version"),
                                             QStringLiteral("3")}
                              << 0 << QStringLiteral("Base") << QStringLiteral("3") << QStringList() << QString();
    QTest::newRow("INI special characters")
        << QStringList{QStringLiteral("--version"), QStringLiteral(" 1,2; \"x\"=@y\\z ")}
        << 1 << QStringLiteral("Base") << QStringLiteral(" 1,2; \"x\"=@y\\z ") << QStringList() << QString();
    QTest::newRow("non-ASCII next to hex digits")
        << QStringList{QStringLiteral("--version"), QStringLiteral("版abc版1")}
        << 1 << QStringLiteral("Base") << QStringLiteral("版abc版1") << QStringList() << QString();
    const QString rollout = QStringLiteral("--rollout");
    QTest::newRow("rollout raised within the same second, same sizes")
        << QStringList{rollout, QStringLiteral("25")} << 1 << QStringLiteral("Base") << QString()
        << QStringList{rollout, QStringLiteral("50")} << QStringLiteral("50");
    QTest::newRow("rollout halted") << QStringList{rollout, QStringLiteral("5")} << 1 << QStringLiteral("Base")
                                    << QString() << QStringList{rollout, QStringLiteral("0")} << QStringLiteral("0");
}

void TestPublish::descriptorRoundTrip()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, updateType);
    QFETCH(QString, folder);
    QFETCH(QString, version);
    QFETCH(QStringList, again);
    QFETCH(QString, rollout);

    QTemporaryDir tmp;
    const QString rel = tmp.filePath(QStringLiteral("release"));
    const QString out = tmp.filePath(QStringLiteral("www"));
    QVERIFY(writeFile(rel + QStringLiteral("/a.txt"), "a"));
    while (!again.isEmpty() && QDateTime::currentMSecsSinceEpoch() % 1000 > 200)
        QTest::qSleep(5);  // early in a second, so that both publications fall within it
    const ToolRun run = runPublish(arguments + QStringList{rel, out});
    QCOMPARE(run.err, QByteArray());
    QCOMPARE(run.exitCode, 0);
    const QString path = out + QStringLiteral("/update.ini");
    if (!again.isEmpty()) {
        // A server's validators are the time in whole seconds and the size.
        const QStringList replaced{path, out + QStringLiteral("/Base/a.txt"), out + QStringLiteral("/Base/md5.txt")};
        QVector<qint64> before;
        for (const QString &file : replaced)
            before << QFileInfo(file).lastModified().toSecsSinceEpoch();
        QVERIFY(writeFile(rel + QStringLiteral("/a.txt"), "b"));
        QCOMPARE(runPublish(again + QStringList{QStringLiteral("--replace"), rel, out}).exitCode, 0);
        for (int i = 0; i < replaced.size(); ++i)
            QVERIFY2(QFileInfo(replaced.at(i)).lastModified().toSecsSinceEpoch() > before.at(i),
                     qPrintable(replaced.at(i)));
    }

    // The updater's read: a saved file, the INI format, no codec.
    QSettings settings(path, QSettings::IniFormat);
    QCOMPARE(settings.status(), QSettings::NoError);
    QCOMPARE(settings.value(QStringLiteral("Summary/UpdateType"), 1).toInt(), updateType);
    QCOMPARE(settings.value(QStringLiteral("Version/Folder"), QStringLiteral("Base")).toString(), folder);
    QCOMPARE(settings.value(QStringLiteral("Version/Version"), QString()).toString(), version);
    QCOMPARE(settings.value(QStringLiteral("Version/Rollout")).toString(), rollout);
    QVERIFY(settings.contains(QStringLiteral("Summary/UpdateType")));
    // Without a codec only ASCII is read back as written.
    const QByteArray bytes = readFile(path);
    QVERIFY2(std::all_of(bytes.cbegin(), bytes.cend(), [](char c) { return static_cast<unsigned char>(c) < 0x80; }),
             bytes.constData());
}

void TestPublish::deterministicOutput()
{
    QTemporaryDir tmp;
    const QMap<QString, QByteArray> files = sampleRelease();
    // The same files created in opposite orders, at different times.
    const QString relA = tmp.filePath(QStringLiteral("a"));
    const QString relB = tmp.filePath(QStringLiteral("b"));
    QVERIFY(writeRelease(relA, files));
    QStringList keys = files.keys();
    std::reverse(keys.begin(), keys.end());
    for (const QString &key : qAsConst(keys))
        QVERIFY(writeFile(relB + QLatin1Char('/') + key, files.value(key)));
    QFile touched(relB + QStringLiteral("/B.txt"));
    QVERIFY(touched.open(QIODevice::ReadWrite));
    QVERIFY(touched.setFileTime(QDateTime(QDate(2001, 2, 3), QTime(4, 5, 6)), QFileDevice::FileModificationTime));
    touched.close();

    const QStringList options = {QStringLiteral("--version"), QStringLiteral("版本 7"), QStringLiteral("--folder"),
                                 QStringLiteral("v7"), QStringLiteral("--optional")};
    const QString out1 = tmp.filePath(QStringLiteral("out1"));
    const QString out2 = tmp.filePath(QStringLiteral("out2"));
    QCOMPARE(runPublish(options + QStringList{relA, out1}).exitCode, 0);
    QCOMPARE(runPublish(options + QStringList{relB, out2}).exitCode, 0);
    QCOMPARE(runPublish(options + QStringList{QStringLiteral("--replace"), relB, out1}).exitCode, 0);

    QCOMPARE(readFile(out2 + QStringLiteral("/v7/md5.txt")), readFile(out1 + QStringLiteral("/v7/md5.txt")));
    QCOMPARE(readFile(out2 + QStringLiteral("/update.ini")), readFile(out1 + QStringLiteral("/update.ini")));
    QCOMPARE(snapshot(out2), snapshot(out1));
}

void TestPublish::pathEncodingRoundTrip_data()
{
    QTest::addColumn<QString>("encoding");
    QTest::addColumn<QByteArray>("listed");  // the path field of 数据/中文名.txt

    QTest::newRow("GBK") << QStringLiteral("GBK") << QByteArray("\xca\xfd\xbe\xdd\\\xd6\xd0\xce\xc4\xc3\xfb.txt");
    QTest::newRow("UTF-8") << QStringLiteral("UTF-8")
                           << QByteArray("\xe6\x95\xb0\xe6\x8d\xae\\\xe4\xb8\xad\xe6\x96\x87\xe5\x90\x8d.txt");
}

void TestPublish::pathEncodingRoundTrip()
{
    QFETCH(QString, encoding);
    QFETCH(QByteArray, listed);
    QTextCodec *codec = QTextCodec::codecForName(encoding.toLatin1());
    if (!codec)
        QSKIP("this Qt lacks the codec");
    QTemporaryDir tmp;
    const QString rel = tmp.filePath(QStringLiteral("release"));
    const QString out = tmp.filePath(QStringLiteral("www"));
    const QString name = QStringLiteral("数据/中文名.txt");
    const QByteArray content = "内容";
    QVERIFY(writeFile(rel + QLatin1Char('/') + name, content));
    QVERIFY(writeFile(rel + QStringLiteral("/plain.txt"), "plain"));

    const ToolRun run = runPublish({QStringLiteral("--path-encoding"), encoding, rel, out});
    QCOMPARE(run.err, QByteArray());
    QCOMPARE(run.exitCode, 0);
    // Every path exactly as encoded, with no byte-order mark in front of any.
    const QByteArray list = readFile(out + QStringLiteral("/Base/md5.txt"));
    QCOMPARE(list, fileListLine(md5Text("plain"), 5, "plain.txt") + "\r\n"
                       + fileListLine(md5Text(content), quint64(content.size()), listed) + "\r\n");
    QCOMPARE(readFile(out + QLatin1String("/Base/") + name), content);

    UpdateFileMap parsed;
    {
        // A client whose local 8-bit encoding is this one (GBK: Chinese Windows).
        LocaleCodecScope clientEncoding(codec);
        parsed = parseFileList(list);
    }
    QCOMPARE(parsed.keys(), QStringList({QStringLiteral("plain.txt"), name}));
    QCOMPARE(parsed.value(name).md5, md5Text(content));
    QCOMPARE(parsed.value(name).size, quint64(content.size()));

    const ToolRun verify = runPublish({QStringLiteral("--verify"), QStringLiteral("--path-encoding"), encoding, out});
    QCOMPARE(verify.exitCode, 0);
    QCOMPARE(verify.out, QStringLiteral("\"%1\": 2 files verified, no problem found.\n").arg(out).toUtf8());
}

void TestPublish::replaceSwapsTheFolder()
{
    QTemporaryDir tmp;
    const QString rel1 = tmp.filePath(QStringLiteral("r1"));
    const QString rel2 = tmp.filePath(QStringLiteral("r2"));
    const QString out = tmp.filePath(QStringLiteral("www"));
    QVERIFY(writeFile(rel1 + QStringLiteral("/gone.txt"), "only in the first build"));
    QVERIFY(writeFile(rel1 + QStringLiteral("/same.txt"), "first"));
    QVERIFY(writeFile(rel2 + QStringLiteral("/same.txt"), "second"));
    QVERIFY(writeFile(rel2 + QStringLiteral("/new/n.txt"), "new"));
    QCOMPARE(runPublish({QStringLiteral("--version"), QStringLiteral("1"), rel1, out}).exitCode, 0);

    const ToolRun run = runPublish({QStringLiteral("--replace"), QStringLiteral("--version"), QStringLiteral("2"), rel2, out});
    QCOMPARE(run.err, QByteArray());
    QCOMPARE(run.exitCode, 0);
    QMap<QString, QByteArray> tree = snapshot(out);
    QCOMPARE(tree.keys(), QStringList({QStringLiteral("Base"), QStringLiteral("Base/md5.txt"), QStringLiteral("Base/new"),
                                       QStringLiteral("Base/new/n.txt"), QStringLiteral("Base/same.txt"),
                                       QStringLiteral("update.ini")}));
    QCOMPARE(tree.value(QStringLiteral("Base/same.txt")), QByteArray("second"));
    QCOMPARE(QSettings(out + QStringLiteral("/update.ini"), QSettings::IniFormat)
                 .value(QStringLiteral("Version/Version")).toString(), QStringLiteral("2"));
}

void TestPublish::writeFailureKeepsPublication()
{
    // A file where a folder of OUT_DIR must be: creating it fails after every check.
    QTemporaryDir tmp;
    const QString rel = tmp.filePath(QStringLiteral("release"));
    QVERIFY(writeFile(rel + QStringLiteral("/a.txt"), "a"));
    QVERIFY(writeFile(tmp.filePath(QStringLiteral("blocker")), "a file"));
    const QString out = tmp.filePath(QStringLiteral("blocker/www"));
    const QMap<QString, QByteArray> before = snapshot(tmp.path());
    const ToolRun run = runPublish({rel, out});
    QCOMPARE(QString::fromUtf8(run.err),
             QStringLiteral("updater-publish: failed: cannot create OUT_DIR \"%1\"\n").arg(out));
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(snapshot(tmp.path()), before);
}

void TestPublish::signedPublish_data()
{
    QTest::addColumn<QByteArray>("password");  // empty: a key made with -W
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<qint64>("sequence");
    QTest::addColumn<int>("expiresDays");

    QTest::newRow("unencrypted key") << QByteArray() << QStringList() << qint64(1) << 0;
    QTest::newRow("encrypted key, password from the environment")
        << QByteArray("pass word 密码") << QStringList() << qint64(1) << 0;
    QTest::newRow("sequence and expiry given")
        << QByteArray() << QStringList{QStringLiteral("--sequence"), QStringLiteral("41"), QStringLiteral("--expires"),
                                       QStringLiteral("30")}
        << qint64(41) << 30;
}

void TestPublish::signedPublish()
{
    QFETCH(QByteArray, password);
    QFETCH(QStringList, arguments);
    QFETCH(qint64, sequence);
    QFETCH(int, expiresDays);

    QTemporaryDir tmp;
    const QString rel = tmp.filePath(QStringLiteral("release"));
    const QString out = tmp.filePath(QStringLiteral("www"));
    QVERIFY(writeFile(rel + QStringLiteral("/data/abc.txt"), "abc"));
    QVERIFY(writeFile(rel + QStringLiteral("/top.txt"), "top"));
    QVERIFY2(makeMinisignKey(tmp.path(), QStringLiteral("key"), password), "minisign -G failed");
    const QString key = tmp.filePath(QStringLiteral("key.key"));
    const QString publicKey = tmp.filePath(QStringLiteral("key.pub"));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("UPDATER_SIGN_PASSWORD"), QString::fromUtf8(password));

    const qint64 before = QDateTime::currentSecsSinceEpoch();
    const ToolRun run = runPublish(QStringList{QStringLiteral("--sign"), key, QStringLiteral("--folder"),
                                               QStringLiteral("v1")} + arguments + QStringList{rel, out},
                                   false, environment);
    const qint64 after = QDateTime::currentSecsSinceEpoch();
    QCOMPARE(run.err, QByteArray());
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(QDir(out).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList({QStringLiteral("update.ini"), QStringLiteral("update.ini.minisig"), QStringLiteral("v1")}));

    const QByteArray sums = readFile(out + QStringLiteral("/v1/sha256.txt"));
    QCOMPARE(sums, sha256Text("abc") + "\tdata\\abc.txt\r\n" + sha256Text("top") + "\ttop.txt\r\n");
    // Read by the updater's own reader of the group.
    ReleaseInfo release;
    QVERIFY(readReleaseGroup(IniValues(readFile(out + QStringLiteral("/update.ini"))), release));
    QCOMPARE(release.sequence, sequence);
    QCOMPARE(release.listHash, sha256Text(readFile(out + QStringLiteral("/v1/md5.txt"))));
    QCOMPARE(IniValues(readFile(out + QStringLiteral("/update.ini"))).value(QStringLiteral("Version/List")).toString(),
             QString::fromLatin1(release.listHash));
    QCOMPARE(release.hashesHash, sha256Text(sums));
    QString expiry = QStringLiteral("does not expire");
    if (expiresDays > 0) {
        const qint64 expires = release.expires.toSecsSinceEpoch();
        QVERIFY(expires >= before + expiresDays * 86400 && expires <= after + expiresDays * 86400);
        expiry = QStringLiteral("expires ") + release.expires.toString(Qt::ISODate);
    } else {
        QVERIFY(!release.expires.isValid());
    }
    QCOMPARE(QString::fromUtf8(run.out).section(QLatin1Char('\n'), 1),
             QStringLiteral("Signed release %1 with key %2 (%3) in \"%4/update.ini.minisig\".\n")
                 .arg(sequence).arg(minisignKeyId(publicKey), expiry, out));

    const ToolRun minisign = runLinuxTool(QStringLiteral("minisign"), {QStringLiteral("-Vm"), out + QStringLiteral("/update.ini"),
                                                                    QStringLiteral("-p"), publicKey});
    QCOMPARE(minisign.exitCode, 0);
    QVERIFY2(minisign.out.contains("\tfile:update.ini\tsequence:" + QByteArray::number(sequence) + '\n'),
             minisign.out.constData());
    const ToolRun verify = runPublish({QStringLiteral("--verify"), QStringLiteral("--public-key"), publicKey, out});
    QCOMPARE(verify.out, QStringLiteral("\"%1\": 2 files verified, signed release %2, no problem found.\n")
                             .arg(out).arg(sequence).toUtf8());
    QCOMPARE(verify.exitCode, 0);

    // The next release follows the published one by default.
    QCOMPARE(runPublish({QStringLiteral("--sign"), key, QStringLiteral("--folder"), QStringLiteral("v2"), rel, out},
                        false, environment).exitCode, 0);
    QVERIFY(readReleaseGroup(IniValues(readFile(out + QStringLiteral("/update.ini"))), release));
    QCOMPARE(release.sequence, sequence + 1);
}

void TestPublish::packArtefacts_data()
{
    QTest::addColumn<QStringList>("deltaFrom");  // %V1%: the published v1 folder, %REL1%: v1's release tree,
                                                 // %OUT%: OUT_DIR, whose update.ini names v1 until v2 is published
    QTest::addColumn<bool>("signedRelease");
    QTest::addColumn<QStringList>("lines");      // index.txt: kind and path field per line
    QTest::addColumn<QString>("report");         // standard error, with the same stand-ins

    const QStringList copies{QStringLiteral("zst doc\\readme.txt"), QStringLiteral("zst new.txt"),
                             QStringLiteral("zst same.txt")};
    const QStringList patched{QStringLiteral("patch bin\\app.dll"), QStringLiteral("zst doc\\readme.txt"),
                              QStringLiteral("patch doc\\readme.txt"), QStringLiteral("zst new.txt"),
                              QStringLiteral("zst same.txt")};
    const QString from = QStringLiteral("--delta-from");
    const QString two = QStringLiteral("updater-publish: delta-from %1: 2 patches\n");
    QTest::newRow("compressed copies only") << QStringList() << false << copies << QString();
    QTest::newRow("patches from a published folder") << QStringList{from, QStringLiteral("%V1%")} << false << patched
                                                     << two.arg(QStringLiteral("%V1%"));
    QTest::newRow("patches from a plain tree, signed") << QStringList{from, QStringLiteral("%REL1%")} << true << patched
                                                       << two.arg(QStringLiteral("%REL1%"));
    QTest::newRow("one patch from the same base in two releases")
        << QStringList{from, QStringLiteral("%V1%"), from, QStringLiteral("%REL1%")} << false << patched
        << two.arg(QStringLiteral("%V1%")) + two.arg(QStringLiteral("%REL1%"));
    QTest::newRow("patches from the release that OUT_DIR names") << QStringList{from, QStringLiteral("%OUT%")} << false
                                                                << patched << two.arg(QStringLiteral("%OUT% (release v1)"));
    QTest::newRow("a folder that holds no file of the release")
        << QStringList{from, QStringLiteral("%REL1%/doc")} << false << copies
        << QStringLiteral("updater-publish: warning: --delta-from %REL1%/doc matched no file of the release\n");
}

void TestPublish::packArtefacts()
{
    QFETCH(QStringList, deltaFrom);
    QFETCH(bool, signedRelease);
    QFETCH(QStringList, lines);
    QFETCH(QString, report);

    QTemporaryDir tmp;
    const QString rel1 = tmp.filePath(QStringLiteral("rel1"));
    const QString out = tmp.filePath(QStringLiteral("www"));
    QByteArray text;
    for (int i = 0; i < 2000; ++i)
        text += "line " + QByteArray::number(i) + " of a text that compresses well\n";
    const QByteArray library = patternBytes(300000, 7);  // does not compress
    QVERIFY(writeRelease(rel1, {{QStringLiteral("bin/app.dll"), library}, {QStringLiteral("doc/readme.txt"), text},
                                {QStringLiteral("same.txt"), text.left(5000)}, {QStringLiteral("small.txt"), "v1"}}));
    const QMap<QString, QByteArray> v2{{QStringLiteral("bin/app.dll"), QByteArray(library).replace(150000, 4, "XXXX")},
                                       {QStringLiteral("doc/readme.txt"), QByteArray(text).replace("line 1000 ", "one ")},
                                       {QStringLiteral("new.txt"), text.right(3000)},
                                       {QStringLiteral("same.txt"), text.left(5000)},
                                       {QStringLiteral("small.txt"), "v2"}};
    QVERIFY(writeRelease(tmp.filePath(QStringLiteral("rel2")), v2));
    QCOMPARE(runPublish({QStringLiteral("--folder"), QStringLiteral("v1"), rel1, out}).exitCode, 0);
    const auto placed = [&](QString text) {
        return text.replace(QLatin1String("%V1%"), out + QStringLiteral("/v1")).replace(QLatin1String("%REL1%"), rel1)
                   .replace(QLatin1String("%OUT%"), out);
    };
    QStringList arguments{QStringLiteral("--folder"), QStringLiteral("v2")};
    QStringList verify{QStringLiteral("--verify")};
    for (const QString &argument : qAsConst(deltaFrom)) {
        arguments << placed(argument);
        // By then OUT_DIR names v2.
        verify << placed(QString(argument).replace(QLatin1String("%OUT%"), QLatin1String("%V1%")));
    }
    verify << out;
    if (signedRelease) {
        QVERIFY2(makeMinisignKey(tmp.path(), QStringLiteral("key")), "minisign -G failed");
        arguments << QStringLiteral("--sign") << tmp.filePath(QStringLiteral("key.key"));
        verify.prepend(tmp.filePath(QStringLiteral("key.pub")));
        verify.prepend(QStringLiteral("--public-key"));
    }
    const ToolRun run = runPublish(arguments + QStringList{tmp.filePath(QStringLiteral("rel2")), out});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(QString::fromUtf8(run.err), placed(report));

    const QByteArray index = readFile(out + QStringLiteral("/v2/index.txt"));
    QCOMPARE(IniValues(readFile(out + QStringLiteral("/update.ini"))).value(QStringLiteral("Version/Index")).toString(),
             QString::fromLatin1(sha256Text(index)));
    QStringList found;
    QMap<QByteArray, quint64> frameBytes[2];  // by kind: each frame once
    for (const QByteArray &line : index.split('\n')) {
        PackArtefact artefact;
        QByteArray field;
        if (line.isEmpty())
            continue;
        QVERIFY(line.endsWith('\r') && parsePackIndexLine(line.chopped(1), artefact, field));
        const bool patch = artefact.kind == PackArtefact::Patch;
        found << QString::fromLatin1((patch ? "patch " : "zst ") + field);
        const QString framePath = out + QStringLiteral("/v2/") + artefact.relativePath();
        const QByteArray frame = readFile(framePath);
        QCOMPARE(sha256Text(frame), artefact.sha256);
        QCOMPARE(md5Text(frame), artefact.md5);
        frameBytes[patch].insert(artefact.sha256, quint64(frame.size()));
        // The zstd command itself gives the new file from the frame.
        const QString path = QString::fromLatin1(field).replace(QLatin1Char('\\'), QLatin1Char('/'));
        QStringList zstd{QStringLiteral("-d"), QStringLiteral("-q"), QStringLiteral("-f"), framePath,
                         QStringLiteral("-o"), tmp.filePath(QStringLiteral("decoded"))};
        if (patch) {
            const QByteArray base = readFile(rel1 + QLatin1Char('/') + path);
            QCOMPARE(artefact.baseSize, quint64(base.size()));
            QCOMPARE(artefact.baseMd5, md5Text(base));
            QCOMPARE(artefact.baseSha256, sha256Text(base));
            zstd << QStringLiteral("--patch-from") << rel1 + QLatin1Char('/') + path;
        }
        QCOMPARE(runLinuxTool(QStringLiteral("zstd"), zstd).exitCode, 0);
        QCOMPARE(readFile(tmp.filePath(QStringLiteral("decoded"))), v2.value(path));
    }
    QCOMPARE(found, lines);
    quint64 sums[2] = {0, 0};
    for (int kind : {0, 1}) {
        for (const quint64 size : qAsConst(frameBytes[kind]))
            sums[kind] += size;
    }
    QVERIFY(QString::fromUtf8(run.out).endsWith(
        QStringLiteral("Wrote %1 compressed copies (%2 bytes) and %3 patches (%4 bytes) in \"%5/v2/#pack\".\n")
            .arg(frameBytes[0].size()).arg(sums[0]).arg(frameBytes[1].size()).arg(sums[1]).arg(out)));
    const ToolRun verified = runPublish(verify);
    QCOMPARE(QString::fromUtf8(verified.out), QStringLiteral("\"%1\": 5 files verified, %2no problem found.\n")
                                                   .arg(out, signedRelease ? QStringLiteral("signed release 1, ") : QString()));
    QCOMPARE(verified.exitCode, 0);
}

void TestPublish::helpDocumentsEveryOption()
{
    const ToolRun run = runPublish({QStringLiteral("--help")});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.err, QByteArray());
    for (const char *option : {"--version TEXT", "--folder NAME", "--optional", "--url URL", "--path-encoding NAME",
                               "--rollout PERCENT", "--exclude GLOB", "--replace", "--verify", "--public-key FILE",
                               "--sign SECRET_KEY",
                               "UPDATER_SIGN_PASSWORD", "--sequence N", "--expires DAYS", "--delta-from DIR", "Exit codes",
                               "RELEASE_DIR OUT_DIR"}) {
        QVERIFY2(run.out.contains(option), option);
    }
}

void TestPublish::wrongCommandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");

    const QString rel = QStringLiteral("a");
    const QString out = QStringLiteral("b");
    QTest::newRow("unknown option") << QStringList{QStringLiteral("--no-such-option"), rel, out}
                                    << QStringLiteral("Unknown option 'no-such-option'.");
    QTest::newRow("sequence without sign") << QStringList{QStringLiteral("--sequence"), QStringLiteral("3"), rel, out}
                                           << QStringLiteral("--sequence needs --sign");
    QTest::newRow("sequence not a number")
        << QStringList{QStringLiteral("--sign"), QStringLiteral("k"), QStringLiteral("--sequence"), QStringLiteral("-1"),
                       rel, out}
        << QStringLiteral("--sequence \"-1\" is not a whole number from 0 to 9223372036854775807");
    QTest::newRow("expires zero days")
        << QStringList{QStringLiteral("--sign"), QStringLiteral("k"), QStringLiteral("--expires"), QStringLiteral("0"), rel, out}
        << QStringLiteral("--expires \"0\" is not a number of days from 1 to 36500");
    QTest::newRow("rollout above 100") << QStringList{QStringLiteral("--rollout"), QStringLiteral("101"), rel, out}
                                       << QStringLiteral("--rollout \"101\" is not a whole number from 0 to 100");
    QTest::newRow("public key when publishing") << QStringList{QStringLiteral("--public-key"), QStringLiteral("k"), rel, out}
                                                << QStringLiteral("--public-key applies to --verify only");
    QTest::newRow("sign when verifying")
        << QStringList{QStringLiteral("--verify"), QStringLiteral("--sign"), QStringLiteral("k"), out}
        << QStringLiteral("--sign does not apply to --verify");
}

void TestPublish::wrongCommandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    const ToolRun wrong = runPublish(arguments);
    QCOMPARE(QString::fromUtf8(wrong.err), QStringLiteral("updater-publish: %1\nTry \"updater-publish --help\".\n").arg(message));
    QCOMPARE(wrong.exitCode, 2);
    QCOMPARE(wrong.out, QByteArray());
}

QTEST_GUILESS_MAIN(TestPublish)
#include "tst_publish.moc"
