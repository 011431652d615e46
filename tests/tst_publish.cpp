// Process-level tests of updater-publish: the real executable publishes release
// folders made in temporary directories, and the results are read back with the
// updater's own list parser and INI read, and served by a real nginx.

#include "support/nginxserver.h"
#include "update/filelist.h"
#include "update/md5.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

#include <algorithm>
#include <unistd.h>

namespace {

struct ToolRun
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

// Runs the built updater-publish; asNobody drops to an unprivileged user, which is
// how a permission can stop the tool although the tests run as root.
ToolRun runPublish(const QStringList &arguments, bool asNobody = false)
{
    QString program = QStringLiteral(UPDATER_PUBLISH_EXE);
    QStringList args = arguments;
    if (asNobody) {
        args = QStringList{QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                           QStringLiteral("--clear-groups"), program} + arguments;
        program = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
    }
    QProcess process;
    process.start(program, args);
    ToolRun run;
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit)
        return run;
    run.exitCode = process.exitCode();
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

bool writeFile(const QString &path, const QByteArray &content)
{
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

// Content that differs per file and spans several hashing chunks when large.
QByteArray patternBytes(int size, int seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 state = 2166136261u ^ static_cast<quint32>(seed);
    for (int i = 0; i < size; ++i) {
        state = state * 1664525u + 1013904223u;
        bytes[i] = static_cast<char>(state >> 24);
    }
    return bytes;
}

// Every entry below root with its content ("<folder>" for folders, the target for
// links), so a test can see that nothing at all changed.
QMap<QString, QByteArray> snapshot(const QString &root)
{
    QMap<QString, QByteArray> tree;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        const QString key = QDir(root).relativeFilePath(info.filePath());
        if (info.isSymLink())
            tree.insert(key, "-> " + info.symLinkTarget().toUtf8());
        else if (info.isDir())
            tree.insert(key, "<folder>");
        else
            tree.insert(key, readFile(info.filePath()));
    }
    return tree;
}

QStringList lines(const QByteArray &text)
{
    return QString::fromUtf8(text).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// One release of several shapes: nested folders, an empty file, files larger than
// a hashing chunk, names whose key order differs from their backslash order.
QMap<QString, QByteArray> sampleRelease()
{
    return {
        {QStringLiteral("Host.exe"), patternBytes(2500000, 1)},
        {QStringLiteral("empty.dat"), QByteArray()},
        {QStringLiteral("data/abc.txt"), QByteArray("abc")},
        {QStringLiteral("data0.txt"), QByteArray("sorts after data/ as a key")},
        {QStringLiteral("data/deep/er/file.bin"), patternBytes(70000, 2)},
        {QStringLiteral("a b.txt"), QByteArray("a space in the name")},
        {QStringLiteral("bin/plugin.dll"), patternBytes(1048576, 3)},
        {QStringLiteral("B.txt"), QByteArray("upper case sorts first")},
        {QStringLiteral("A space.txt"), QByteArray("first in key order")},
    };
}

bool writeRelease(const QString &root, const QMap<QString, QByteArray> &files)
{
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        if (!writeFile(root + QLatin1Char('/') + it.key(), it.value()))
            return false;
    }
    return true;
}

QByteArray httpGet(QNetworkAccessManager &manager, const QString &address, int &status)
{
    QNetworkReply *reply = manager.get(QNetworkRequest(QUrl(address, QUrl::TolerantMode)));
    QSignalSpy finished(reply, &QNetworkReply::finished);
    if (!reply->isFinished())
        finished.wait(10000);
    status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QByteArray body = reply->readAll();
    delete reply;
    return body;
}

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
    void refusals_data();
    void refusals();
    void gbkPathRoundTrip();
    void replaceSwapsTheFolder();
    void writeFailureKeepsPublication();
    void verifyDetects_data();
    void verifyDetects();
    void nginxServesPrintedAddresses_data();
    void nginxServesPrintedAddresses();
    void helpDocumentsEveryOption();
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
}

void TestPublish::defaultExclusions_data()
{
    QTest::addColumn<QStringList>("extraFiles");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("listed");

    const QStringList installationFiles = {
        QStringLiteral("system.cfg"), QStringLiteral("bin/system.cfg"), QStringLiteral("update_md5.info"),
        QStringLiteral("Host.exe.old"), QStringLiteral("bin/x.dll.OLD"), QStringLiteral("update/cached.bin"),
        QStringLiteral("bin/update/a/b.txt"), QStringLiteral("Update/upper.txt")};
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

    QTest::newRow("chinese version text")
        << QStringList{QStringLiteral("--version"), QStringLiteral("2.0 正式版（修复若干问题）"), QStringLiteral("--folder"),
                       QStringLiteral("v2")}
        << 1 << QStringLiteral("v2") << QStringLiteral("2.0 正式版（修复若干问题）");
    QTest::newRow("defaults") << QStringList() << 1 << QStringLiteral("Base") << QString();
    QTest::newRow("optional") << QStringList{QStringLiteral("--optional"), QStringLiteral("--version"),
                                             QStringLiteral("3")}
                              << 0 << QStringLiteral("Base") << QStringLiteral("3");
    QTest::newRow("INI special characters")
        << QStringList{QStringLiteral("--version"), QStringLiteral(" 1,2; \"x\"=@y\\z ")}
        << 1 << QStringLiteral("Base") << QStringLiteral(" 1,2; \"x\"=@y\\z ");
    QTest::newRow("non-ASCII next to hex digits")
        << QStringList{QStringLiteral("--version"), QStringLiteral("版abc版1")}
        << 1 << QStringLiteral("Base") << QStringLiteral("版abc版1");
}

void TestPublish::descriptorRoundTrip()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, updateType);
    QFETCH(QString, folder);
    QFETCH(QString, version);

    QTemporaryDir tmp;
    const QString rel = tmp.filePath(QStringLiteral("release"));
    const QString out = tmp.filePath(QStringLiteral("www"));
    QVERIFY(writeFile(rel + QStringLiteral("/a.txt"), "a"));
    const ToolRun run = runPublish(arguments + QStringList{rel, out});
    QCOMPARE(run.err, QByteArray());
    QCOMPARE(run.exitCode, 0);

    // The updater's read: a saved file, the INI format, no codec.
    const QString path = out + QStringLiteral("/update.ini");
    QSettings settings(path, QSettings::IniFormat);
    QCOMPARE(settings.status(), QSettings::NoError);
    QCOMPARE(settings.value(QStringLiteral("Summary/UpdateType"), 1).toInt(), updateType);
    QCOMPARE(settings.value(QStringLiteral("Version/Folder"), QStringLiteral("Base")).toString(), folder);
    QCOMPARE(settings.value(QStringLiteral("Version/Version"), QString()).toString(), version);
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

void TestPublish::refusals_data()
{
    QTest::addColumn<QStringList>("files");     // created in the release besides good.txt
    QTest::addColumn<QString>("setup");         // a special arrangement, see refusals()
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("messages");  // %REL% and %OUT% stand for the folders

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
    QTest::newRow("every problem, in path order")
        << QStringList{QStringLiteral("z%.txt"), QStringLiteral("a#.txt")} << QString() << none
        << QStringList{QStringLiteral("\"a#.txt\": \"#\" would cut the download address short"),
                       QStringLiteral("\"z%.txt\": \"%\" would be read as an escape in the download address")};
}

void TestPublish::refusals()
{
    QFETCH(QStringList, files);
    QFETCH(QString, setup);
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, messages);

    QTemporaryDir tmp;
    QString rel = tmp.filePath(QStringLiteral("rel"));
    QString out = tmp.filePath(QStringLiteral("out"));
    // A previous publication that must survive every refusal.
    QVERIFY(writeFile(out + QStringLiteral("/update.ini"), "[Version]\nFolder=old\n"));
    QVERIFY(writeFile(out + QStringLiteral("/old/md5.txt"), fileListLine(md5Text("o"), 1, "o.txt") + "\r\n"));
    QVERIFY(writeFile(out + QStringLiteral("/old/o.txt"), "o"));
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
    const ToolRun run = runPublish(arguments + QStringList{rel, out}, asNobody);
    const QMap<QString, QByteArray> after = snapshot(tmp.path());
    QFile::setPermissions(rel + QLatin1Char('/') + files.value(0).section(QLatin1Char('/'), 0, 0),
                          QFileDevice::Permissions(0x7755));

    QByteArray expected;
    for (QString message : qAsConst(messages)) {
        message.replace(QLatin1String("%REL%"), rel).replace(QLatin1String("%OUT%"), out);
        expected += "updater-publish: refused: " + message.toUtf8() + '\n';
    }
    QCOMPARE(QString::fromUtf8(run.err), QString::fromUtf8(expected));
    QCOMPARE(run.exitCode, 2);
    QCOMPARE(run.out, QByteArray());
    QCOMPARE(after, before);
}

void TestPublish::gbkPathRoundTrip()
{
    QTextCodec *gbk = QTextCodec::codecForName("GBK");
    if (!gbk)
        QSKIP("this Qt has no GBK codec");
    QTemporaryDir tmp;
    const QString rel = tmp.filePath(QStringLiteral("release"));
    const QString out = tmp.filePath(QStringLiteral("www"));
    const QString name = QStringLiteral("数据/中文名.txt");
    const QByteArray content = "内容";
    QVERIFY(writeFile(rel + QLatin1Char('/') + name, content));
    QVERIFY(writeFile(rel + QStringLiteral("/plain.txt"), "plain"));

    const ToolRun run = runPublish({QStringLiteral("--path-encoding"), QStringLiteral("GBK"), rel, out});
    QCOMPARE(run.err, QByteArray());
    QCOMPARE(run.exitCode, 0);
    const QByteArray list = readFile(out + QStringLiteral("/Base/md5.txt"));
    QVERIFY(list.contains('\t' + gbk->fromUnicode(QStringLiteral("数据\\中文名.txt")) + "\r\n"));
    QCOMPARE(readFile(out + QLatin1String("/Base/") + name), content);

    UpdateFileMap parsed;
    {
        // A Chinese Windows client: its local 8-bit encoding is GBK.
        LocaleCodecScope clientEncoding(gbk);
        parsed = parseFileList(list);
    }
    QCOMPARE(parsed.keys(), QStringList({QStringLiteral("plain.txt"), name}));
    QCOMPARE(parsed.value(name).md5, md5Text(content));
    QCOMPARE(parsed.value(name).size, quint64(content.size()));

    const ToolRun verify = runPublish({QStringLiteral("--verify"), QStringLiteral("--path-encoding"),
                                       QStringLiteral("GBK"), out});
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

void TestPublish::verifyDetects_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("report");  // %OUT% stands for OUT_DIR

    const QString abc = QString::fromLatin1(md5Text("abc"));
    QTest::newRow("intact") << QString() << 0
                            << QStringList{QStringLiteral("\"%OUT%\": 3 files verified, no problem found.")};
    QTest::newRow("missing file") << QStringLiteral("remove") << 1 << QStringList{QStringLiteral("\"data/abc.txt\": missing")};
    QTest::newRow("changed byte")
        << QStringLiteral("changeByte") << 1
        << QStringList{QStringLiteral("\"data/abc.txt\": MD5 text %1, listed as %2").arg(QString::fromLatin1(md5Text("abd")), abc)};
    QTest::newRow("wrong size listed") << QStringLiteral("listSize") << 1
                                       << QStringList{QStringLiteral("\"data/abc.txt\": 3 bytes, listed as 4")};
    QTest::newRow("truncated file")
        << QStringLiteral("truncate") << 1
        << QStringList{QStringLiteral("\"data/abc.txt\": 2 bytes, listed as 3"),
                       QStringLiteral("\"data/abc.txt\": MD5 text %1, listed as %2").arg(QString::fromLatin1(md5Text("ab")), abc)};
    QTest::newRow("unsafe path") << QStringLiteral("unsafeLine") << 1
                                 << QStringList{QStringLiteral("md5.txt line 4: \"../x.txt\" is an unsafe path (the updater drops it)")};
    QTest::newRow("malformed line") << QStringLiteral("badLine") << 1
                                    << QStringList{QStringLiteral("md5.txt line 4: not three TAB-separated fields (the updater skips it)")};
    QTest::newRow("no descriptor") << QStringLiteral("noDescriptor") << 1
                                   << QStringList{QStringLiteral("\"%OUT%/update.ini\": cannot be read as INI")};
}

void TestPublish::verifyDetects()
{
    QFETCH(QString, damage);
    QFETCH(int, exitCode);
    QFETCH(QStringList, report);

    QTemporaryDir tmp;
    const QString rel = tmp.filePath(QStringLiteral("release"));
    const QString out = tmp.filePath(QStringLiteral("www"));
    QVERIFY(writeFile(rel + QStringLiteral("/data/abc.txt"), "abc"));
    QVERIFY(writeFile(rel + QStringLiteral("/data/big.bin"), patternBytes(1500000, 9)));
    QVERIFY(writeFile(rel + QStringLiteral("/top.txt"), "top"));
    QCOMPARE(runPublish({QStringLiteral("--folder"), QStringLiteral("v1"), rel, out}).exitCode, 0);

    const QString file = out + QStringLiteral("/v1/data/abc.txt");
    const QString listPath = out + QStringLiteral("/v1/md5.txt");
    QByteArray list = readFile(listPath);
    if (damage == QLatin1String("remove")) {
        QVERIFY(QFile::remove(file));
    } else if (damage == QLatin1String("changeByte")) {
        QVERIFY(writeFile(file, "abd"));
    } else if (damage == QLatin1String("truncate")) {
        QVERIFY(writeFile(file, "ab"));
    } else if (damage == QLatin1String("listSize")) {
        QVERIFY(list.contains("\t0000000300000000\tdata\\abc.txt"));
        list.replace("\t0000000300000000\tdata\\abc.txt", "\t0000000400000000\tdata\\abc.txt");
        QVERIFY(writeFile(listPath, list));
    } else if (damage == QLatin1String("unsafeLine")) {
        QVERIFY(writeFile(listPath, list + fileListLine(md5Text("x"), 1, "..\\x.txt") + "\r\n"));
    } else if (damage == QLatin1String("badLine")) {
        QVERIFY(writeFile(listPath, list + "a heading without fields\r\n"));
    } else if (damage == QLatin1String("noDescriptor")) {
        QVERIFY(QFile::remove(out + QStringLiteral("/update.ini")));
    }

    const ToolRun run = runPublish({QStringLiteral("--verify"), out});
    QString expected;
    for (const QString &line : qAsConst(report))
        expected += QString(line).replace(QLatin1String("%OUT%"), out) + QLatin1Char('\n');
    QCOMPARE(QString::fromUtf8(run.out), expected);
    QCOMPARE(run.exitCode, exitCode);
}

void TestPublish::nginxServesPrintedAddresses_data()
{
    QTest::addColumn<bool>("trailingSlash");
    QTest::newRow("URL ending in a slash") << true;
    QTest::newRow("URL without the slash, folder moved beside") << false;
}

void TestPublish::nginxServesPrintedAddresses()
{
    QFETCH(bool, trailingSlash);
    if (!NginxServer::isAvailable())
        QSKIP("nginx is not installed");
    QTemporaryDir tmp;
    const QString rel = tmp.filePath(QStringLiteral("release"));
    const QString www = tmp.filePath(QStringLiteral("www"));
    const QMap<QString, QByteArray> files = sampleRelease();
    QVERIFY(writeRelease(rel, files));
    QVERIFY(QDir().mkpath(www));

    NginxServer nginx;
    QString error;
    QVERIFY2(nginx.start(www, error), qPrintable(error));
    const QString url = nginx.baseAddress() + (trailingSlash ? QStringLiteral("/pub/app/") : QStringLiteral("/pub/app"));
    const QString out = www + QStringLiteral("/pub/app");
    const ToolRun run = runPublish({QStringLiteral("--folder"), QStringLiteral("v3"), QStringLiteral("--url"), url, rel, out});
    QCOMPARE(run.err, QByteArray());
    QCOMPARE(run.exitCode, 0);

    QMap<QString, QString> printed;
    const QRegularExpression address(QStringLiteral("^  (descriptor|file list|sample file): +(.+)$"));
    for (const QString &line : lines(run.out)) {
        const QRegularExpressionMatch match = address.match(line);
        if (match.hasMatch())
            printed.insert(match.captured(1), match.captured(2));
    }
    QCOMPARE(printed.size(), 3);
    // The first file in key order has a space in its name: it must be requested
    // as the updater would, not as a carefully escaped address.
    QCOMPARE(printed.value(QStringLiteral("sample file")), url + QStringLiteral("v3/A space.txt"));
    if (trailingSlash) {
        QCOMPARE(printed.value(QStringLiteral("descriptor")), url + QStringLiteral("/update.ini"));
        QVERIFY(printed.value(QStringLiteral("descriptor")).endsWith(QLatin1String("/pub/app//update.ini")));
        QVERIFY(printed.value(QStringLiteral("file list")).endsWith(QLatin1String("/pub/app/v3//md5.txt")));
        QVERIFY(run.out.contains("merges \"//\""));
    } else {
        QVERIFY(printed.value(QStringLiteral("file list")).endsWith(QLatin1String("/pub/appv3//md5.txt")));
        QVERIFY(run.out.contains("URL does not end in \"/\": the version folder then becomes a sibling named \"appv3\""));
        // What the tool tells the publisher to do: serve the folder as that sibling.
        QVERIFY(QDir().rename(out + QStringLiteral("/v3"), www + QStringLiteral("/pub/appv3")));
    }
    const QString versionDir = trailingSlash ? out + QStringLiteral("/v3") : www + QStringLiteral("/pub/appv3");

    QNetworkAccessManager manager;
    int status = 0;
    QCOMPARE(httpGet(manager, printed.value(QStringLiteral("descriptor")), status), readFile(out + QStringLiteral("/update.ini")));
    QCOMPARE(status, 200);
    const QByteArray list = httpGet(manager, printed.value(QStringLiteral("file list")), status);
    QCOMPARE(status, 200);
    QCOMPARE(list, readFile(versionDir + QStringLiteral("/md5.txt")));
    QCOMPARE(httpGet(manager, printed.value(QStringLiteral("sample file")), status), files.value(QStringLiteral("A space.txt")));
    QCOMPARE(status, 200);

    // Every listed file at base + path, the way the download worker builds it.
    const QString base = printed.value(QStringLiteral("sample file")).chopped(int(qstrlen("A space.txt")));
    const UpdateFileMap parsed = parseFileList(list);
    QCOMPARE(parsed.size(), files.size());
    for (const UpdateFileEntry &entry : parsed) {
        const QByteArray body = httpGet(manager, base + entry.path, status);
        QCOMPARE(status, 200);
        QCOMPARE(body, files.value(entry.path));
        QCOMPARE(md5Text(body), entry.md5);
    }
}

void TestPublish::helpDocumentsEveryOption()
{
    const ToolRun run = runPublish({QStringLiteral("--help")});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.err, QByteArray());
    for (const char *option : {"--version TEXT", "--folder NAME", "--optional", "--url URL", "--path-encoding NAME",
                               "--exclude GLOB", "--replace", "--verify", "Exit codes", "RELEASE_DIR OUT_DIR"}) {
        QVERIFY2(run.out.contains(option), option);
    }
    const ToolRun wrong = runPublish({QStringLiteral("--no-such-option"), QStringLiteral("a"), QStringLiteral("b")});
    QCOMPARE(wrong.exitCode, 2);
    QCOMPARE(wrong.err, QByteArray("updater-publish: Unknown option 'no-such-option'.\nTry \"updater-publish --help\".\n"));
    QCOMPARE(wrong.out, QByteArray());
}

QTEST_GUILESS_MAIN(TestPublish)
#include "tst_publish.moc"
