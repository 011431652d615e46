// A published tree as clients meet it: checked by updater-publish --verify, and
// served by a real nginx at the addresses that --url prints.

#include "support/nginxserver.h"
#include "support/publishrun.h"
#include "update/filelist.h"
#include "update/md5.h"
#include "update/minisign.h"
#include "update/packindex.h"

#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {

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

QStringList lines(const QByteArray &text)
{
    return QString::fromUtf8(text).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

} // namespace

class TestPublishedTree : public QObject
{
    Q_OBJECT
private slots:
    void verifyDetects_data();
    void verifyDetects();
    void nginxServesPrintedAddresses_data();
    void nginxServesPrintedAddresses();
};

void TestPublishedTree::verifyDetects_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<bool>("signedTree");     // published with --sign, verified with --public-key
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("report");  // %OUT% stands for OUT_DIR, %KEY% for the key ID, %FRAME%
                                              // for top.txt's compressed copy, %MD5%, %SHA% for its listed
                                              // hashes, %NOWMD5%, %NOWSHA% for those it has after the damage

    const QString abc = QString::fromLatin1(md5Text("abc"));
    // Any edit of md5.txt shows against Version/List, signed or not.
    const QString listChanged = QStringLiteral("\"%OUT%/v1/md5.txt\": its SHA-256 differs from Version/List of update.ini");
    QTest::newRow("intact") << QString() << false << 0
                            << QStringList{QStringLiteral("\"%OUT%\": 3 files verified, no problem found.")};
    QTest::newRow("missing file") << QStringLiteral("remove") << false << 1
                                  << QStringList{QStringLiteral("\"data/abc.txt\": missing")};
    QTest::newRow("changed byte")
        << QStringLiteral("changeByte") << false << 1
        << QStringList{QStringLiteral("\"data/abc.txt\": MD5 text %1, listed as %2").arg(QString::fromLatin1(md5Text("abd")), abc)};
    QTest::newRow("wrong size listed") << QStringLiteral("listSize") << false << 1
                                       << QStringList{listChanged, QStringLiteral("\"data/abc.txt\": 3 bytes, listed as 4")};
    QTest::newRow("truncated file")
        << QStringLiteral("truncate") << false << 1
        << QStringList{QStringLiteral("\"data/abc.txt\": 2 bytes, listed as 3"),
                       QStringLiteral("\"data/abc.txt\": MD5 text %1, listed as %2").arg(QString::fromLatin1(md5Text("ab")), abc)};
    QTest::newRow("unsafe path") << QStringLiteral("unsafeLine") << false << 1
                                 << QStringList{listChanged, QStringLiteral("md5.txt line 4: \"../x.txt\" is an unsafe path (the updater drops it)")};
    QTest::newRow("byte-order mark before a path")
        << QStringLiteral("bomPath") << false << 1
        << QStringList{listChanged, QStringLiteral("\"\\ufeffdata/abc.txt\": missing (the updater reads the byte-order mark U+FEFF "
                                      "as part of the name)")};
    QTest::newRow("malformed line") << QStringLiteral("badLine") << false << 1
                                    << QStringList{listChanged, QStringLiteral("md5.txt line 4: not three TAB-separated fields (the updater skips it)")};
    QTest::newRow("no descriptor") << QStringLiteral("noDescriptor") << false << 1
                                   << QStringList{QStringLiteral("\"%OUT%/update.ini\": cannot be read as INI")};
    QTest::newRow("compressed copy changed")
        << QStringLiteral("changeFrame") << false << 1
        << QStringList{QStringLiteral("\"%FRAME%\": MD5 text %NOWMD5%, listed as %MD5%"),
                       QStringLiteral("\"%FRAME%\": SHA-256 %NOWSHA%, listed as %SHA%")};
    QTest::newRow("compressed copy missing") << QStringLiteral("removeFrame") << false << 1
                                             << QStringList{QStringLiteral("\"%FRAME%\": missing")};
    QTest::newRow("index changed")
        << QStringLiteral("editIndex") << false << 1
        << QStringList{QStringLiteral("\"%OUT%/v1/index.txt\": its SHA-256 differs from Version/Index of update.ini"),
                       QStringLiteral("index.txt line 2: not a well-formed artefact line (the updater skips it)")};

    const QString abd = QString::fromLatin1(md5Text("abd"));
    const QString shaMismatch = QStringLiteral("\"data/abc.txt\": SHA-256 %1, listed as %2")
                                    .arg(QString::fromLatin1(sha256Text("abd")), QString::fromLatin1(sha256Text("abc")));
    const QString outIni = QStringLiteral("\"%OUT%/update.ini");
    QTest::newRow("signed, intact")
        << QString() << true << 0
        << QStringList{QStringLiteral("\"%OUT%\": 3 files verified, signed release 1, no problem found.")};
    QTest::newRow("signed, file changed")
        << QStringLiteral("changeByte") << true << 1
        << QStringList{QStringLiteral("\"data/abc.txt\": MD5 text %1, listed as %2").arg(abd, abc), shaMismatch};
    QTest::newRow("md5.txt changed to match a changed file") << QStringLiteral("forgeList") << false << 1
                                                             << QStringList{listChanged};
    QTest::newRow("signed, md5.txt changed to match a changed file")
        << QStringLiteral("forgeList") << true << 1
        << QStringList{listChanged, QStringLiteral("\"%OUT%/v1/md5.txt\": its SHA-256 differs from Release/List of update.ini"),
                       shaMismatch};
    QTest::newRow("signed, a line of sha256.txt removed")
        << QStringLiteral("dropSum") << true << 1
        << QStringList{QStringLiteral("\"%OUT%/v1/sha256.txt\": its SHA-256 differs from Release/Hashes of update.ini"),
                       QStringLiteral("\"data/abc.txt\": not named in sha256.txt")};
    QTest::newRow("signed, update.ini changed")
        << QStringLiteral("editDescriptor") << true << 1
        << QStringList{outIni + QStringLiteral(".minisig\": the signature does not match the data")};
    QTest::newRow("signed, verified with another key")
        << QStringLiteral("otherKey") << true << 1
        << QStringList{outIni + QStringLiteral(".minisig\": signed with key %KEY%, which is not a trusted key")};
    QTest::newRow("published unsigned, verified with a key")
        << QStringLiteral("unsign") << true << 1
        << QStringList{outIni + QStringLiteral(".minisig\": cannot be read: " NoSuchFileText),
                       outIni + QStringLiteral("\": no [Release] group (the updater refuses it)"),
                       QStringLiteral("\"%OUT%/v1/sha256.txt\": cannot be read: " NoSuchFileText)};
    QTest::newRow("signed, expired")
        << QStringLiteral("expire") << true << 1
        << QStringList{outIni + QStringLiteral("\": the release expired at 2020-01-31T00:00:00Z")};
}

void TestPublishedTree::verifyDetects()
{
    QFETCH(QString, damage);
    QFETCH(bool, signedTree);
    QFETCH(int, exitCode);
    QFETCH(QStringList, report);

    QTemporaryDir tmp;
    const QString rel = tmp.filePath(QStringLiteral("release"));
    const QString out = tmp.filePath(QStringLiteral("www"));
    QVERIFY(writeFile(rel + QStringLiteral("/data/abc.txt"), "abc"));
    QVERIFY(writeFile(rel + QStringLiteral("/data/big.bin"), patternBytes(1500000, 9)));
    QVERIFY(writeFile(rel + QStringLiteral("/top.txt"), QByteArray("top\n").repeated(2000)));  // compresses
    QStringList options{QStringLiteral("--folder"), QStringLiteral("v1")};
    const QString key = tmp.filePath(QStringLiteral("key.key"));
    if (signedTree) {
        QVERIFY2(makeMinisignKey(tmp.path(), QStringLiteral("key")), "minisign -G failed");
        options << QStringLiteral("--sign") << key << QStringLiteral("--expires") << QStringLiteral("1");
    }
    QCOMPARE(runPublish(options + QStringList{rel, out}).exitCode, 0);

    const QString file = out + QStringLiteral("/v1/data/abc.txt");
    const QString listPath = out + QStringLiteral("/v1/md5.txt");
    QByteArray list = readFile(listPath);
    const QString indexPath = out + QStringLiteral("/v1/index.txt");
    PackArtefact copy;
    QByteArray field;
    QVERIFY(parsePackIndexLine(readFile(indexPath).split('\r').value(0), copy, field) && field == "top.txt");
    const QString framePath = out + QStringLiteral("/v1/") + copy.relativePath();
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
    } else if (damage == QLatin1String("bomPath")) {
        // Hand-edited in an editor that marks UTF-8: the path still looks right.
        QVERIFY(list.contains("\tdata\\abc.txt"));
        list.replace("\tdata\\abc.txt", "\t\xEF\xBB\xBF" "data\\abc.txt");
        QVERIFY(writeFile(listPath, list));
    } else if (damage == QLatin1String("badLine")) {
        QVERIFY(writeFile(listPath, list + "a heading without fields\r\n"));
    } else if (damage == QLatin1String("changeFrame")) {
        QByteArray frame = readFile(framePath);
        frame[frame.size() - 1] = char(frame.at(frame.size() - 1) ^ 1);
        QVERIFY(writeFile(framePath, frame));
    } else if (damage == QLatin1String("removeFrame")) {
        QVERIFY(QFile::remove(framePath));
    } else if (damage == QLatin1String("editIndex")) {
        QVERIFY(writeFile(indexPath, readFile(indexPath) + "junk\r\n"));
    } else if (damage == QLatin1String("noDescriptor")) {
        QVERIFY(QFile::remove(out + QStringLiteral("/update.ini")));
    } else if (damage == QLatin1String("unsign")) {
        QVERIFY(QFile::remove(out + QStringLiteral("/update.ini.minisig")));
        QCOMPARE(runPublish({QStringLiteral("--folder"), QStringLiteral("v1"), QStringLiteral("--replace"), rel, out})
                     .exitCode, 0);
    } else if (damage == QLatin1String("forgeList")) {
        // What an attacker without the key would do: the file and its line both changed.
        QVERIFY(writeFile(file, "abd"));
        QVERIFY(list.contains(md5Text("abc")));
        QVERIFY(writeFile(listPath, list.replace(md5Text("abc"), md5Text("abd"))));
    } else if (damage == QLatin1String("dropSum")) {
        const QString sumsPath = out + QStringLiteral("/v1/sha256.txt");
        const QByteArray line = sha256Text("abc") + "\tdata\\abc.txt\r\n";
        QByteArray sums = readFile(sumsPath);
        QVERIFY(sums.contains(line));
        QVERIFY(writeFile(sumsPath, sums.replace(line, QByteArray())));
    } else if (damage == QLatin1String("editDescriptor") || damage == QLatin1String("expire")) {
        const QString descriptorPath = out + QStringLiteral("/update.ini");
        QByteArray descriptor = readFile(descriptorPath);
        const int at = descriptor.indexOf("Expires=");
        QVERIFY(at >= 0);
        // Without the key only a change that leaves the signature behind: a later date.
        descriptor.replace(at + 8, 20,
                           damage == QLatin1String("expire") ? "2020-01-31T00:00:00Z" : "2099-01-31T00:00:00Z");
        QVERIFY(writeFile(descriptorPath, descriptor));
        if (damage == QLatin1String("expire")) {
            // Signed anew with the right key: only the date is wrong.
            MinisignSecretKey secret;
            QString error;
            QVERIFY2(parseMinisignSecretKey(readFile(key), QByteArray(), secret, error), qPrintable(error));
            QVERIFY(writeFile(descriptorPath + QStringLiteral(".minisig"), signMinisign(descriptor, secret, "again")));
        }
    }

    QStringList arguments{QStringLiteral("--verify"), out};
    if (damage == QLatin1String("bomPath"))
        arguments << QStringLiteral("--path-encoding") << QStringLiteral("UTF-8");
    if (damage == QLatin1String("otherKey")) {
        QVERIFY2(makeMinisignKey(tmp.path(), QStringLiteral("other")), "minisign -G failed");
        arguments << QStringLiteral("--public-key") << tmp.filePath(QStringLiteral("other.pub"));
    } else if (signedTree) {
        arguments << QStringLiteral("--public-key") << tmp.filePath(QStringLiteral("key.pub"));
    }
    const ToolRun run = runPublish(arguments);
    const QString keyId = minisignKeyId(tmp.filePath(QStringLiteral("key.pub")));
    const QByteArray frame = readFile(framePath);
    QString expected;
    for (const QString &line : qAsConst(report)) {
        expected += QString(line).replace(QLatin1String("%OUT%"), out).replace(QLatin1String("%KEY%"), keyId)
                        .replace(QLatin1String("%FRAME%"), copy.relativePath())
                        .replace(QLatin1String("%NOWMD5%"), QString::fromLatin1(md5Text(frame)))
                        .replace(QLatin1String("%NOWSHA%"), QString::fromLatin1(sha256Text(frame)))
                        .replace(QLatin1String("%MD5%"), QString::fromLatin1(copy.md5))
                        .replace(QLatin1String("%SHA%"), QString::fromLatin1(copy.sha256)) + '\n';
    }
    QCOMPARE(QString::fromUtf8(run.out), expected);
    QCOMPARE(run.exitCode, exitCode);
}

void TestPublishedTree::nginxServesPrintedAddresses_data()
{
    QTest::addColumn<bool>("trailingSlash");
    QTest::newRow("URL ending in a slash") << true;
    QTest::newRow("URL without the slash, folder moved beside") << false;
}

void TestPublishedTree::nginxServesPrintedAddresses()
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

QTEST_GUILESS_MAIN(TestPublishedTree)
#include "tst_publishedtree.moc"
