// Every release that updater-publish must refuse: exit code 2, a message naming
// the offending path, and nothing written or changed anywhere.

#include "support/publishrun.h"
#include "update/filelist.h"
#include "update/md5.h"
#include "update/windowsnames.h"

#include <QFile>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

class TestPublishRefusals : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void refusals_data();
    void refusals();

private:
    QTemporaryDir m_keys;  // signing keys shared by the rows: an encrypted one is slow to make
};

void TestPublishRefusals::initTestCase()
{
    QVERIFY2(makeMinisignKey(m_keys.path(), QStringLiteral("enc"), "right password"), "minisign -G failed");
    QVERIFY2(makeMinisignKey(m_keys.path(), QStringLiteral("plain")), "minisign -G -W failed");
    const QByteArray key = readFile(m_keys.filePath(QStringLiteral("plain.key")));
    QVERIFY(writeFile(m_keys.filePath(QStringLiteral("bad.key")), key.left(key.size() - 10) + '\n'));
}

void TestPublishRefusals::refusals_data()
{
    QTest::addColumn<QStringList>("files");     // created in the release besides good.txt
    QTest::addColumn<QString>("setup");         // a special arrangement, see refusals()
    QTest::addColumn<QStringList>("arguments"); // %KEYS% stands for the folder of the keys
    QTest::addColumn<QStringList>("messages");  // %REL%, %OUT% and %KEYS% stand for the folders

    const QStringList none;
    auto row = [&](const char *name, const QStringList &files, const QString &message,
                   const QStringList &arguments = QStringList(), const QString &setup = QString()) {
        QTest::newRow(name) << files << setup << arguments << QStringList{message};
    };
    const QString unsafe = QStringLiteral("the updater drops it as an unsafe path");
    row("dot-dot through backslashes", {QStringLiteral("..\\evil.txt")}, QStringLiteral("\"..\\evil.txt\": ") + unsafe);
    row("drive colon", {QStringLiteral("c:x.txt")}, QStringLiteral("\"c:x.txt\": ") + unsafe);
    const QString breaksLine = QStringLiteral("a TAB, CR or LF would break its md5.txt line");
    row("TAB", {QStringLiteral("a\tb.txt")}, QStringLiteral("\"a\\tb.txt\": ") + breaksLine);
    row("CR", {QStringLiteral("a\rb.txt")}, QStringLiteral("\"a\\rb.txt\": ") + breaksLine);
    row("LF in a folder", {QStringLiteral("dir\nx/b.txt")}, QStringLiteral("\"dir\\nx/b.txt\": ") + breaksLine);
    row("percent", {QStringLiteral("100%.txt")},
        QStringLiteral("\"100%.txt\": \"%\" would be read as an escape in the download address"));
    row("hash", {QStringLiteral("a#b.txt")}, QStringLiteral("\"a#b.txt\": \"#\" would cut the download address short"));
    row("backslash", {QStringLiteral("dir\\file.txt")},
        QStringLiteral("\"dir\\file.txt\": the updater reads a backslash as a folder separator"));
    for (const QString &c : {QStringLiteral("<"), QStringLiteral(">"), QStringLiteral("\""), QStringLiteral("|"),
                             QStringLiteral("?"), QStringLiteral("*")}) {
        const QString name = QStringLiteral("a") + c + QStringLiteral("b");
        QTest::newRow(qPrintable(QStringLiteral("Windows character ") + c))
            << QStringList{name} << QString() << none
            << QStringList{QStringLiteral("\"%1\": \"%2\" is not allowed in a Windows name").arg(name, c)};
    }
    row("control character", {QStringLiteral("a\x01" "b")},
        QStringLiteral("\"a\\x01b\": a control character is not allowed in a Windows name"));
    const QString trailing = QStringLiteral("Windows drops a trailing dot or space from a name");
    row("trailing dot", {QStringLiteral("name.")}, QStringLiteral("\"name.\": ") + trailing);
    row("trailing space in a folder", {QStringLiteral("dir /x.txt")}, QStringLiteral("\"dir /x.txt\": ") + trailing);
    row("CON", {QStringLiteral("CON")}, QStringLiteral("\"CON\": \"CON\" is a device name on Windows"));
    row("nul with extension", {QStringLiteral("nul.txt")}, QStringLiteral("\"nul.txt\": \"nul\" is a device name on Windows"));
    row("COM1 deeper", {QStringLiteral("sub/com1.log")},
        QStringLiteral("\"sub/com1.log\": \"com1\" is a device name on Windows"));
    row("LPT9", {QStringLiteral("LPT9")}, QStringLiteral("\"LPT9\": \"LPT9\" is a device name on Windows"));
    row("AUX folder", {QStringLiteral("aux/readme.txt")},
        QStringLiteral("\"aux/readme.txt\": \"aux\" is a device name on Windows"));
    row("PRN", {QStringLiteral("prn.dll")}, QStringLiteral("\"prn.dll\": \"prn\" is a device name on Windows"));
    row("letter case", {QStringLiteral("Data/a.txt"), QStringLiteral("data/A.txt")},
        QStringLiteral("\"data/A.txt\": differs only in letter case from \"Data/a.txt\" (one file on Windows)"));
    row("file and folder letter case", {QStringLiteral("Readme/x.txt"), QStringLiteral("readme")},
        QStringLiteral("\"readme\": differs only in letter case from the folder \"Readme\" (one name on Windows)"));
    row("dotless i, but not the Kelvin sign", {QStringLiteral("F\u0131le.txt"), QStringLiteral("file.txt"),
                                               QStringLiteral("\u212a"), QStringLiteral("k")},
        QStringLiteral("\"file.txt\": differs only in letter case from \"F\u0131le.txt\" (one file on Windows)"),
        {QStringLiteral("--path-encoding"), QStringLiteral("UTF-8")});
    row("non-ASCII without encoding", {QStringLiteral("中文.txt")},
        QStringLiteral("\"中文.txt\": not plain ASCII: give --path-encoding with the clients' code page (e.g. GBK)"));
    row("not representable", {QStringLiteral("😀.txt")}, QStringLiteral("\"😀.txt\": cannot be represented in GBK"),
        {QStringLiteral("--path-encoding"), QStringLiteral("GBK")});
    row("unknown encoding", none, QStringLiteral("unknown --path-encoding \"NOPE\""),
        {QStringLiteral("--path-encoding"), QStringLiteral("NOPE")});
    row("encoding not ASCII-compatible", none,
        QStringLiteral("--path-encoding \"UTF-16\" does not keep ASCII characters as single bytes"),
        {QStringLiteral("--path-encoding"), QStringLiteral("UTF-16")});
    row("unreadable file", {QStringLiteral("secret.bin")},
        QStringLiteral("\"secret.bin\": cannot read this file: Permission denied"), none, QStringLiteral("unreadable"));
    row("unreadable folder", {QStringLiteral("locked/x.txt")}, QStringLiteral("\"locked\": cannot read this folder"),
        none, QStringLiteral("unreadable"));
    row("link to a folder", none, QStringLiteral("\"linked\": is a symbolic link to a folder, which is not followed"),
        none, QStringLiteral("folderLink"));
    row("empty release", none, QStringLiteral("RELEASE_DIR holds no file to publish"), none, QStringLiteral("empty"));
    row("OUT_DIR inside RELEASE_DIR", none, QStringLiteral("OUT_DIR \"%REL%/out\" is inside RELEASE_DIR \"%REL%\""),
        none, QStringLiteral("outInsideRelease"));
    row("OUT_DIR is RELEASE_DIR", none, QStringLiteral("OUT_DIR \"%REL%\" is inside RELEASE_DIR \"%REL%\""), none,
        QStringLiteral("outIsRelease"));
    row("RELEASE_DIR inside OUT_DIR", none, QStringLiteral("RELEASE_DIR \"%OUT%/rel\" is inside OUT_DIR \"%OUT%\""),
        none, QStringLiteral("releaseInsideOut"));
    row("existing version folder", none,
        QStringLiteral("the version folder \"%OUT%/old\" exists: publish under a new --folder, or give --replace"),
        {QStringLiteral("--folder"), QStringLiteral("old")});
    row("folder with a slash", none, QStringLiteral("--folder \"a/b\": must be one folder name, without \"/\" or \"\\\""),
        {QStringLiteral("--folder"), QStringLiteral("a/b")});
    row("empty folder", none,
        QStringLiteral("--folder \"\": must not be empty: the list would land beside update.ini"),
        {QStringLiteral("--folder"), QString()});
    row("invalid URL", none,
        QStringLiteral("--url \"http://[::1\" is not a valid address; the updater would stop at start-up"),
        {QStringLiteral("--url"), QStringLiteral("http://[::1")});
    const QStringList encrypted{QStringLiteral("--sign"), QStringLiteral("%KEYS%/enc.key")};
    row("encrypted key without a password", none,
        QStringLiteral("--sign \"%KEYS%/enc.key\": the key is encrypted: set UPDATER_SIGN_PASSWORD to its password, "
                       "or run on a terminal to type it"), encrypted);
    row("wrong password", none, QStringLiteral("--sign \"%KEYS%/enc.key\": wrong password"), encrypted,
        QStringLiteral("wrongPassword"));
    row("release problem before the password", {QStringLiteral("a#b.txt")},
        QStringLiteral("\"a#b.txt\": \"#\" would cut the download address short"), encrypted);
    row("malformed key", none, QStringLiteral("--sign \"%KEYS%/bad.key\": line 2: not a minisign secret key"),
        {QStringLiteral("--sign"), QStringLiteral("%KEYS%/bad.key")});
    row("missing key", none, QStringLiteral("--sign \"%KEYS%/none.key\": cannot be read: " NoSuchFileText ""),
        {QStringLiteral("--sign"), QStringLiteral("%KEYS%/none.key")});
    row("sequence lower than the published one", none,
        QStringLiteral("--sequence 4 is lower than Release/Sequence 5 of \"%OUT%/update.ini\": clients that saw that "
                       "release would refuse this one"),
        {QStringLiteral("--sign"), QStringLiteral("%KEYS%/plain.key"), QStringLiteral("--sequence"), QStringLiteral("4")},
        QStringLiteral("signedOut"));
    row("no higher sequence left", none, QStringLiteral("Release/Sequence 9223372036854775807 of \"%OUT%/update.ini\" is the "
                                                        "highest there is: no later release can carry a higher one"),
        {QStringLiteral("--sign"), QStringLiteral("%KEYS%/plain.key")}, QStringLiteral("highestOut"));
    row("unsigned over a signed tree", none,
        QStringLiteral("\"%OUT%/update.ini.minisig\" exists: clients that hold update.pub would refuse an unsigned "
                       "update.ini; give --sign"), none, QStringLiteral("signedOut"));
    row("earlier release not a folder", none, QStringLiteral("--delta-from \"%KEYS%/none\" is not a folder"),
        {QStringLiteral("--delta-from"), QStringLiteral("%KEYS%/none")});
    QTest::newRow("every problem, in path order")
        << QStringList{QStringLiteral("z%.txt"), QStringLiteral("a#.txt")} << QString() << none
        << QStringList{QStringLiteral("\"a#.txt\": \"#\" would cut the download address short"),
                       QStringLiteral("\"z%.txt\": \"%\" would be read as an escape in the download address")};
}

void TestPublishRefusals::refusals()
{
    QFETCH(QStringList, files);
    QFETCH(QString, setup);
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, messages);
#ifdef Q_OS_WIN
    // Such trees cannot even be made on Windows: names it cannot hold, a backslash
    // (a separator there), names equal but for case (one file), links (shortcuts).
    QSet<QString> folded; // every path and folder so far, case-folded
    for (const QString &file : qAsConst(files)) {
        const QStringList parts = file.split(QLatin1Char('/'));
        bool holdable = !folded.contains(windowsUpcase(file));
        for (int i = 0; i < parts.size() && holdable; ++i) {
            const QString &part = parts.at(i);
            holdable = !part.contains(QLatin1Char('\\')) && windowsNameFlaw(QStringRef(&part)) == WindowsNameFlaw::None;
            folded.insert(windowsUpcase(parts.mid(0, i + 1).join(QLatin1Char('/'))));
        }
        if (!holdable)
            QSKIP("not a tree that Windows can hold");
    }
    if (setup == QLatin1String("folderLink"))
        QSKIP("QFile::link makes shortcuts on Windows, which the file system does not follow");
#endif

    QTemporaryDir tmp;
    QString rel = tmp.filePath(QStringLiteral("rel"));
    QString out = tmp.filePath(QStringLiteral("out"));
    // A previous publication that must survive every refusal.
    QVERIFY(writeFile(out + QStringLiteral("/update.ini"), "[Version]\nFolder=old\n"));
    QVERIFY(writeFile(out + QStringLiteral("/old/md5.txt"), fileListLine(md5Text("o"), 1, "o.txt") + "\r\n"));
    QVERIFY(writeFile(out + QStringLiteral("/old/o.txt"), "o"));
    if (setup == QLatin1String("signedOut") || setup == QLatin1String("highestOut")) {
        const QByteArray sequence = setup == QLatin1String("signedOut") ? "5" : "9223372036854775807";
        const QByteArray release = "[Release]\nSequence=" + sequence + "\nList=" + QByteArray(64, 'a') + "\nHashes=" + QByteArray(64, 'b');
        QVERIFY(writeFile(out + QStringLiteral("/update.ini"), "[Version]\nFolder=old\n" + release + '\n'));
        QVERIFY(writeFile(out + QStringLiteral("/update.ini.minisig"), "a signature\n"));
    }
    for (QString &argument : arguments)
        argument.replace(QLatin1String("%KEYS%"), m_keys.path());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("UPDATER_SIGN_PASSWORD"));
    if (setup == QLatin1String("wrongPassword"))
        environment.insert(QStringLiteral("UPDATER_SIGN_PASSWORD"), QStringLiteral("wrong password"));
    if (setup == QLatin1String("releaseInsideOut"))
        rel = out + QStringLiteral("/rel");
    if (setup != QLatin1String("empty"))
        QVERIFY(writeFile(rel + QStringLiteral("/good.txt"), "good"));
    else
        QVERIFY(writeFile(rel + QStringLiteral("/system.cfg"), "[Update]\n"));
    for (const QString &file : qAsConst(files))
        QVERIFY(writeFile(rel + QLatin1Char('/') + file, "x"));

    bool asNobody = false;
    if (setup == QLatin1String("unreadable")) {
#ifdef Q_OS_WIN
        QSKIP("Windows has no permission bits that keep a file from its owner");
#else
        const QString target = rel + QLatin1Char('/') + files.constFirst().section(QLatin1Char('/'), 0, 0);
        QVERIFY(QFile::setPermissions(target, QFileDevice::Permissions()));
        if (geteuid() == 0) {
            // Permission bits stop nobody as root; the tool runs as "nobody".
            if (QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty())
                QSKIP("running as root without setpriv: cannot make a file unreadable");
            asNobody = true;
            QVERIFY(QFile::setPermissions(tmp.path(), QFileDevice::Permissions(0x7755)));
            QVERIFY(QFile::setPermissions(out, QFileDevice::Permissions(0x7777)));
        }
#endif
    } else if (setup == QLatin1String("folderLink")) {
        QVERIFY(QDir().mkpath(tmp.filePath(QStringLiteral("elsewhere"))));
        QVERIFY(writeFile(tmp.filePath(QStringLiteral("elsewhere/f.txt")), "f"));
        QVERIFY(QFile::link(tmp.filePath(QStringLiteral("elsewhere")), rel + QStringLiteral("/linked")));
    } else if (setup == QLatin1String("outInsideRelease")) {
        out = rel + QStringLiteral("/out");
    } else if (setup == QLatin1String("outIsRelease")) {
        out = rel;
    }

    const QMap<QString, QByteArray> before = snapshot(tmp.path());
    const ToolRun run = runPublish(arguments + QStringList{rel, out}, asNobody, environment);
    const QMap<QString, QByteArray> after = snapshot(tmp.path());
    QFile::setPermissions(rel + QLatin1Char('/') + files.value(0).section(QLatin1Char('/'), 0, 0),
                          QFileDevice::Permissions(0x7755));

    QByteArray expected;
    for (QString message : qAsConst(messages)) {
        message.replace(QLatin1String("%REL%"), rel).replace(QLatin1String("%OUT%"), out)
            .replace(QLatin1String("%KEYS%"), m_keys.path());
        expected += "updater-publish: refused: " + message.toUtf8() + '\n';
    }
    QCOMPARE(QString::fromUtf8(run.err), QString::fromUtf8(expected));
    QCOMPARE(run.exitCode, 2);
    QCOMPARE(run.out, QByteArray());
    QCOMPARE(after, before);
}

QTEST_GUILESS_MAIN(TestPublishRefusals)
#include "tst_publishrefusals.moc"
