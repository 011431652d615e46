// Unit tests of the path rules and address concatenation of updater-publish.

#include "publish/addressreport.h"
#include "publish/pathencoding.h"
#include "publish/pathrules.h"

#include <QTextCodec>
#include <QtTest>

class TestPublishRules : public QObject
{
    Q_OBJECT
private slots:
    void excludeGlob_data();
    void excludeGlob();
    void windowsName_data();
    void windowsName();
    void addresses_data();
    void addresses();
    void listPathEncoding_data();
    void listPathEncoding();
};

void TestPublishRules::excludeGlob_data()
{
    QTest::addColumn<QString>("glob");
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("isFolder");
    QTest::addColumn<bool>("matches");

    QTest::newRow("name anywhere") << "*.pdb" << "a/b/x.pdb" << false << true;
    QTest::newRow("name ignores case") << "*.PDB" << "x.pdb" << false << true;
    QTest::newRow("star stays in the name") << "bin/*.pdb" << "bin/sub/x.pdb" << false << false;
    QTest::newRow("anchored path") << "bin/*.pdb" << "bin/x.pdb" << false << true;
    QTest::newRow("anchored path not deeper") << "bin/*.pdb" << "lib/bin/x.pdb" << false << false;
    QTest::newRow("double star spans") << "bin/**/x.pdb" << "bin/a/b/x.pdb" << false << true;
    QTest::newRow("double star may be empty") << "**/x.pdb" << "x.pdb" << false << true;
    QTest::newRow("question mark is one character") << "a?.txt" << "ab.txt" << false << true;
    QTest::newRow("question mark is not a slash") << "a?b" << "a/b" << false << false;
    QTest::newRow("class") << "[ab].txt" << "b.txt" << false << true;
    QTest::newRow("negated class") << "[!ab].txt" << "b.txt" << false << false;
    QTest::newRow("folder only, on a folder") << "docs/" << "docs" << true << true;
    QTest::newRow("folder only, on a file") << "docs/" << "docs" << false << false;
    QTest::newRow("dots are literal") << "a.b" << "axb" << false << false;
    QTest::newRow("backslash as separator") << "bin\\*.dll" << "bin/x.dll" << false << true;
}

void TestPublishRules::excludeGlob()
{
    QFETCH(QString, glob);
    QFETCH(QString, path);
    QFETCH(bool, isFolder);
    QFETCH(bool, matches);
    QCOMPARE(matchesExcludeGlob(glob, path, isFolder), matches);
}

void TestPublishRules::windowsName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("problem");

    QTest::newRow("plain") << "readme.txt" << QString();
    QTest::newRow("COM0 is a device too") << "COM0.txt" << "\"COM0\" is a device name on Windows";
    QTest::newRow("CONSOLE is no device") << "CONSOLE" << QString();
    QTest::newRow("dot inside") << "a.b.c" << QString();
    QTest::newRow("leading space") << " a" << QString();
    QTest::newRow("device with extension") << "Lpt1.dat" << "\"Lpt1\" is a device name on Windows";
    QTest::newRow("device with two extensions") << "con.tar.gz" << "\"con\" is a device name on Windows";
    QTest::newRow("colon") << "a:b" << "\":\" is not allowed in a Windows name";
    QTest::newRow("DEL is allowed") << "a\x7f" << QString();
    QTest::newRow("unit separator") << "a\x1f" << "a control character is not allowed in a Windows name";
    QTest::newRow("trailing space") << "a " << "Windows drops a trailing dot or space from a name";
    QTest::newRow("short-name alias") << "Update~1.inf" << "Windows may read \"Update~1.inf\" as the short name of another file";
}

void TestPublishRules::windowsName()
{
    QFETCH(QString, name);
    QFETCH(QString, problem);
    QCOMPARE(windowsNameProblem(name), problem);
}

void TestPublishRules::addresses_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("descriptor");
    QTest::addColumn<QString>("fileList");
    QTest::addColumn<QString>("sampleFile");

    QTest::newRow("trailing slash") << "http://h/pub/app/" << "Base" << "http://h/pub/app//update.ini"
                                    << "http://h/pub/app/Base//md5.txt" << "http://h/pub/app/Base/bin/a.dll";
    QTest::newRow("no trailing slash") << "http://h/pub/app" << "Base" << "http://h/pub/app/update.ini"
                                       << "http://h/pub/appBase//md5.txt" << "http://h/pub/appBase/bin/a.dll";
    QTest::newRow("host only") << "http://h:81" << "v2" << "http://h:81/update.ini" << "http://h:81v2//md5.txt"
                               << "http://h:81v2/bin/a.dll";
}

void TestPublishRules::addresses()
{
    QFETCH(QString, url);
    QFETCH(QString, folder);
    QFETCH(QString, descriptor);
    QFETCH(QString, fileList);
    QFETCH(QString, sampleFile);
    const UpdateAddresses a = updateAddresses(url, folder, QStringLiteral("bin/a.dll"));
    QCOMPARE(a.descriptor, descriptor);
    QCOMPARE(a.fileList, fileList);
    QCOMPARE(a.sampleFile, sampleFile);
    const QString report = addressReport(url, folder, QStringLiteral("bin/a.dll"));
    QVERIFY(report.contains(QStringLiteral("  descriptor:  ") + descriptor + QLatin1Char('\n')));
    QVERIFY(report.contains(QStringLiteral("  file list:   ") + fileList + QLatin1Char('\n')));
    QVERIFY(report.contains(QStringLiteral("  sample file: ") + sampleFile + QLatin1Char('\n')));
    QCOMPARE(report.contains(QLatin1String("sibling")), !url.endsWith(QLatin1Char('/')));
    QCOMPARE(report.count(QStringLiteral("servers that do not merge")), 1);
}

void TestPublishRules::listPathEncoding_data()
{
    QTest::addColumn<QString>("encoding");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("bytes");  // empty: refused

    QTest::newRow("ASCII") << QString() << "bin/a b.dll" << QByteArray("bin\\a b.dll");
    QTest::newRow("non-ASCII without encoding") << QString() << "é.txt" << QByteArray();
    QTest::newRow("GBK") << "GBK" << "数据/a.txt" << QByteArray("\xca\xfd\xbe\xdd\\a.txt");
    QTest::newRow("GBK cannot hold an emoji") << "GBK" << "😀" << QByteArray();
    QTest::newRow("windows-1252") << "windows-1252" << "café/€.txt" << QByteArray("caf\xe9\\\x80.txt");
    QTest::newRow("windows-1252 without Chinese") << "windows-1252" << "中.txt" << QByteArray();
    QTest::newRow("UTF-8, no byte-order mark") << "UTF-8" << "bin/a.dll" << QByteArray("bin\\a.dll");
    QTest::newRow("UTF-8") << "UTF-8" << "数据/a.txt" << QByteArray("\xe6\x95\xb0\xe6\x8d\xae\\a.txt");
    // The updater keeps a leading mark as a character, so such a name survives.
    QTest::newRow("UTF-8 name starting with U+FEFF") << "UTF-8" << QChar(0xfeff) + QStringLiteral("a.txt") << QByteArray("\xef\xbb\xbf" "a.txt");
}

void TestPublishRules::listPathEncoding()
{
    QFETCH(QString, encoding);
    QFETCH(QString, path);
    QFETCH(QByteArray, bytes);
    QTextCodec *codec = nullptr;
    QString message;
    QVERIFY2(pathCodecForName(encoding, codec, message), qPrintable(message));
    QByteArray encoded;
    QString reason;
    QCOMPARE(encodeListPath(path, codec, encoded, reason), !bytes.isEmpty());
    if (bytes.isEmpty()) {
        QVERIFY(!reason.isEmpty());
        return;
    }
    QCOMPARE(encoded, bytes);
    QString decoded;
    QVERIFY(decodeListPath(encoded, codec, decoded));
    QCOMPARE(decoded, path);
}

QTEST_GUILESS_MAIN(TestPublishRules)
#include "tst_publishrules.moc"
