#include "update/filelist.h"

#include <QTextCodec>
#include <QtTest>

#include <limits>

namespace {

const QByteArray AbcMd5 = "98500190b04fd23c7d3f96d6727fe128";
const QByteArray EmptyMd5 = "d98c1dd404b2008f980980e97e42f8ec";

// One line per entry, in map order, so a mismatch shows which entry differs.
QStringList dump(const UpdateFileMap &files)
{
    QStringList lines;
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        QString line = it.key() + QLatin1Char('|') + it->path + QLatin1Char('|')
                + QString::number(it->size, 16) + QLatin1Char('|') + QString::fromLatin1(it->md5.toHex());
        lines.append(line);
    }
    return lines;
}

QString entry(const QString &path, quint64 size, const QByteArray &md5)
{
    return path + QLatin1Char('|') + path + QLatin1Char('|') + QString::number(size, 16)
            + QLatin1Char('|') + QString::fromLatin1(md5.toHex());
}

QByteArray line(const QByteArray &md5, const QByteArray &size, const QByteArray &path)
{
    return md5 + '\t' + size + '\t' + path;
}

} // namespace

class TestFileList : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void parse_data();
    void parse();
    void pathDecoding_data();
    void pathDecoding();
    void lineEndsDoNotMatter();
    void parseByRuleSet_data();
    void parseByRuleSet();
    void unsafePathsDropped_data();
    void unsafePathsDropped();
    void safeRelativePath_data();
    void safeRelativePath();
    void sizeField_data();
    void sizeField();
    void keyOrderIsOrdinal();
};

void TestFileList::parse_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QStringList>("expected");

    const QByteArray three = "0000000300000000";
    QTest::newRow("worked example") << line(AbcMd5, three, "bin\\abc.txt") + "\r\n"
                                    << QStringList{entry("bin/abc.txt", 3, AbcMd5)};
    QTest::newRow("LF") << line(AbcMd5, three, "a.txt") + '\n' + line(EmptyMd5, "0", "b.txt") + '\n'
                        << QStringList{entry("a.txt", 3, AbcMd5), entry("b.txt", 0, EmptyMd5)};
    QTest::newRow("CR LF") << line(AbcMd5, three, "a.txt") + "\r\n" + line(EmptyMd5, "0", "b.txt") + "\r\n"
                           << QStringList{entry("a.txt", 3, AbcMd5), entry("b.txt", 0, EmptyMd5)};
    QTest::newRow("two CRs keep one") << line(AbcMd5, three, "a.txt") + "\r\r\n"
                                      << QStringList{entry("a.txt\r", 3, AbcMd5)};
    QTest::newRow("final line without LF") << line(AbcMd5, three, "a.txt") + '\n' + line(EmptyMd5, "0", "b.txt")
                                           << QStringList{entry("a.txt", 3, AbcMd5), entry("b.txt", 0, EmptyMd5)};
    QTest::newRow("empty text") << QByteArray() << QStringList();
    QTest::newRow("only blank lines") << QByteArray("\n\r\n\n\r\n") << QStringList();
    QTest::newRow("later duplicate wins")
            << line(AbcMd5, three, "x.dll") + '\n' + line(EmptyMd5, "0000000500000000", "x.dll") + '\n'
            << QStringList{entry("x.dll", 5, EmptyMd5)};
    QTest::newRow("leading separator and backslash give one key")
            << line(AbcMd5, three, "/bin\\x.dll") + '\n' + line(EmptyMd5, "0", "bin/x.dll") + '\n'
            << QStringList{entry("bin/x.dll", 0, EmptyMd5)};
    QTest::newRow("doubled separator and dot components kept as written")
            << line(AbcMd5, three, "d\\\\x.txt") + '\n' + line(AbcMd5, three, ".\\y.txt") + '\n'
               + line(EmptyMd5, "0", "bin/./x.dll")
            << QStringList{entry("./y.txt", 3, AbcMd5), entry("bin/./x.dll", 0, EmptyMd5),
                           entry("d//x.txt", 3, AbcMd5)};
    // Two spellings of one file would be fetched into one cached place and the
    // second installation would find it gone: as for any path listed twice, the
    // later line wins.
    QTest::newRow("plain spelling after odd ones wins")
            << line(AbcMd5, three, "d\\\\x.txt") + '\n' + line(AbcMd5, three, "./d/./x.txt") + '\n'
               + line(EmptyMd5, "0", "d/x.txt")
            << QStringList{entry("d/x.txt", 0, EmptyMd5)};
    QTest::newRow("odd spelling after the plain one wins")
            << line(EmptyMd5, "0", "y.txt") + '\n' + line(AbcMd5, three, ".\\y.txt")
            << QStringList{entry("./y.txt", 3, AbcMd5)};
    QTest::newRow("case-distinct paths")
            << line(AbcMd5, three, "bin/a.dll") + '\n' + line(EmptyMd5, "0", "Bin/a.dll") + '\n'
            << QStringList{entry("Bin/a.dll", 0, EmptyMd5), entry("bin/a.dll", 3, AbcMd5)};
    QTest::newRow("short size 1a2b") << line(AbcMd5, "1a2b", "a") << QStringList{entry("a", 0x1a2b00000000ull, AbcMd5)};
    QTest::newRow("4 GiB") << line(AbcMd5, "0000000000000001", "a") << QStringList{entry("a", 0x100000000ull, AbcMd5)};
    QTest::newRow("4 GiB + 3") << line(AbcMd5, "0000000300000001", "a") << QStringList{entry("a", 0x100000003ull, AbcMd5)};
    QTest::newRow("largest size") << line(AbcMd5, "ffffffffffffffff", "a")
                                  << QStringList{entry("a", std::numeric_limits<quint64>::max(), AbcMd5)};
    QTest::newRow("upper-case hex size") << line(AbcMd5, "0000ABCD00000000", "a") << QStringList{entry("a", 0xabcd, AbcMd5)};
    QTest::newRow("size not hex") << line(AbcMd5, "00000003zz", "a") << QStringList{entry("a", 0, AbcMd5)};
    QTest::newRow("size empty") << line(AbcMd5, "", "a") << QStringList{entry("a", 0, AbcMd5)};
    QTest::newRow("size beyond 64 bits") << line(AbcMd5, "10000000000000000", "a") << QStringList{entry("a", 0, AbcMd5)};
    QTest::newRow("BOM stays in first fingerprint")
            << "\xEF\xBB\xBF" + line(AbcMd5, three, "a") + '\n' + line(AbcMd5, three, "b")
            << QStringList{entry("a", 3, "\xEF\xBB\xBF" + AbcMd5), entry("b", 3, AbcMd5)};
    QTest::newRow("upper-case fingerprint unchanged") << line(AbcMd5.toUpper(), three, "a")
                                                      << QStringList{entry("a", 3, AbcMd5.toUpper())};
    QTest::newRow("fields not trimmed") << line(" " + AbcMd5, three, " a.txt ")
                                        << QStringList{entry(" a.txt ", 3, " " + AbcMd5)};
    QTest::newRow("any fingerprint accepted") << line("", three, "a") + '\n' + line("nonsense", three, "b")
                                              << QStringList{entry("a", 3, ""), entry("b", 3, "nonsense")};
    QTest::newRow("not three fields skipped")
            << "# md5\tsize\n" + line(AbcMd5, three, "a") + "\t\n" + AbcMd5 + '\t' + three + '\n'
               + line(AbcMd5, three, "b") + "\textra\n[heading]\n" + line(EmptyMd5, "0", "c")
            << QStringList{entry("c", 0, EmptyMd5)};
    const QByteArray localPath = "bin/\xC3\xA4.dll";
    QTest::newRow("path decoded from local 8-bit") << line(AbcMd5, three, localPath)
                                                   << QStringList{entry(QString::fromLocal8Bit(localPath), 3, AbcMd5)};
}

void TestFileList::parse()
{
    QFETCH(QByteArray, text);
    QFETCH(QStringList, expected);
    // The list format itself; what Windows adds is parseByRuleSet's.
    QCOMPARE(dump(parseFileList(text, QTextCodec::codecForLocale(), PathRules::Basic)), expected);
}

void TestFileList::pathDecoding_data()
{
    QTest::addColumn<QByteArray>("codec");
    QTest::addColumn<QByteArray>("field");
    QTest::addColumn<QString>("path");

    QTest::newRow("leading byte-order mark stays visible")
            << QByteArray("UTF-8") << QByteArray("\xEF\xBB\xBF" "bin\\a.dll") << QChar(0xfeff) + QStringLiteral("bin/a.dll");
    QTest::newRow("GBK") << QByteArray("GBK") << QByteArray("\xCA\xFD\xBE\xDD\\a.txt") << QStringLiteral("数据/a.txt");
    QTest::newRow("no codec: Latin-1") << QByteArray() << QByteArray("caf\xE9") << QStringLiteral("café");
}

void TestFileList::pathDecoding()
{
    QFETCH(QByteArray, codec);
    QFETCH(QByteArray, field);
    QFETCH(QString, path);
    QTextCodec *textCodec = codec.isEmpty() ? nullptr : QTextCodec::codecForName(codec);
    QVERIFY(codec.isEmpty() || textCodec);
    QCOMPARE(fileListPath(field, textCodec), path);
    QCOMPARE(parseFileList(line(AbcMd5, "0", field), textCodec).keys(), QStringList{path});
    // The one-argument form is the same reading with the locale's codec.
    const QByteArray text = line(AbcMd5, "0", field) + "\r\n" + line(EmptyMd5, "0", "a.txt");
    QCOMPARE(dump(parseFileList(text)), dump(parseFileList(text, QTextCodec::codecForLocale())));
}

void TestFileList::lineEndsDoNotMatter()
{
    QByteArray lf;
    for (int i = 0; i < 50; ++i)
        lf += line(AbcMd5, QByteArray::number(i, 16).rightJustified(8, '0') + "00000000",
                   "dir" + QByteArray::number(i % 7) + "\\file" + QByteArray::number(i)) + '\n';
    QByteArray crlf = lf;
    crlf.replace("\n", "\r\n");
    const UpdateFileMap fromLf = parseFileList(lf);
    QCOMPARE(fromLf.size(), 50);
    QCOMPARE(dump(parseFileList(crlf)), dump(fromLf));
}

void TestFileList::parseByRuleSet_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QStringList>("basic");   // the keys parsed by each rule set
    QTest::addColumn<QStringList>("windows");

    QTest::newRow("one file in two cases: the later line wins")
            << line(AbcMd5, "0", "A.dll") + '\n' + line(EmptyMd5, "0", "a.dll")
            << QStringList{"A.dll", "a.dll"} << QStringList{"a.dll"};
    QTest::newRow("folders in two cases, one spelled oddly")
            << line(AbcMd5, "0", "Bin/a.dll") + '\n' + line(EmptyMd5, "0", ".\\bin\\A.DLL")
            << QStringList{"./bin/A.DLL", "Bin/a.dll"} << QStringList{"./bin/A.DLL"};
    QByteArray many;
    QStringList upper;
    QStringList lower;
    for (int i = 0; i < 100; ++i) {
        many += line(AbcMd5, "0", "d/f" + QByteArray::number(i)) + '\n';
        upper.append(QStringLiteral("D/F%1").arg(i));
        lower.append(upper.last().toLower());
    }
    upper.sort();
    lower.sort();
    QTest::newRow("a hundred files, then all again in capitals") << many + many.toUpper() << upper + lower << upper;
    QTest::newRow("dotless i taken for I") << line(AbcMd5, "0", "\u0131.dll") + '\n' + line(EmptyMd5, "0", "I.dll")
                                           << QStringList{"I.dll", "\u0131.dll"} << QStringList{"I.dll"};
    const QStringList apart{"SS", "k.dll", "\u00df", "\u1e9e", "\u212a.dll"}; // Kelvin sign last
    QTest::newRow("Kelvin sign, sharp s: one unit, upper-cased as itself")
            << line(AbcMd5, "0", "SS") + '\n' + line(AbcMd5, "0", "k.dll") + '\n' + line(AbcMd5, "0", "\u00df") + '\n'
                       + line(AbcMd5, "0", "\u1e9e") + '\n' + line(AbcMd5, "0", "\u212a.dll")
            << apart << apart;
}

void TestFileList::parseByRuleSet()
{
    QFETCH(QByteArray, text);
    QFETCH(QStringList, basic);
    QFETCH(QStringList, windows);
    QTextCodec *const utf8 = QTextCodec::codecForName("UTF-8");
    QCOMPARE(parseFileList(text, utf8, PathRules::Basic).keys(), basic);
    QCOMPARE(parseFileList(text, utf8, PathRules::Windows).keys(), windows);

    // The record is matched to the list by fingerprint: two lines must share one
    // exactly when the parser keeps only one of them.
    QList<QByteArray> lines = text.split('\n');
    lines.removeAll(QByteArray());
    for (const PathRules rules : {PathRules::Basic, PathRules::Windows}) {
        for (int i = 0; i < lines.size(); ++i) {
            for (int j = i + 1; j < lines.size(); ++j) {
                const QString first = parseFileList(lines.at(i), utf8, rules).firstKey();
                const QString second = parseFileList(lines.at(j), utf8, rules).firstKey();
                const bool oneFile = parseFileList(lines.at(i) + '\n' + lines.at(j), utf8, rules).size() == 1;
                QVERIFY2((listPathIdentity(first, rules) == listPathIdentity(second, rules)) == oneFile,
                         qPrintable(first + QLatin1Char(' ') + second));
            }
        }
    }
}

void TestFileList::unsafePathsDropped_data()
{
    QTest::addColumn<QByteArray>("path");

    QTest::newRow("doubled leading slash") << QByteArray("//x.dll");
    QTest::newRow("doubled leading backslash") << QByteArray("\\\\x.dll");
    QTest::newRow("UNC") << QByteArray("\\\\server\\share\\x.dll");
    QTest::newRow("empty") << QByteArray("");
    QTest::newRow("only slash") << QByteArray("/");
    QTest::newRow("only backslash") << QByteArray("\\");
    QTest::newRow("drive letter") << QByteArray("C:\\Windows\\x.dll");
    QTest::newRow("drive-relative") << QByteArray("c:x.dll");
    QTest::newRow("stream name") << QByteArray("x.dll:evil");
    QTest::newRow("trailing separator") << QByteArray("bin/");
    QTest::newRow("dot") << QByteArray(".");
    QTest::newRow("leading separator then dot") << QByteArray("\\.");
    QTest::newRow("dot as last component") << QByteArray("bin/.");
    QTest::newRow("only dot components") << QByteArray(".\\.");
    QTest::newRow("dot then trailing separator") << QByteArray("./");
    QTest::newRow("dot with trailing space") << QByteArray("bin/. /x.dll");
    QTest::newRow("dot-dot") << QByteArray("..");
    QTest::newRow("leading dot-dot") << QByteArray("../x.dll");
    QTest::newRow("climbing out") << QByteArray("bin\\..\\..\\x.dll");
    QTest::newRow("dot-dot at end") << QByteArray("bin/..");
    QTest::newRow("three dots") << QByteArray("bin/.../x.dll");
    QTest::newRow("dot-dot with trailing space") << QByteArray("bin/.. /x.dll");
    QTest::newRow("dot-dot with trailing dot") << QByteArray("bin/.../..../x.dll");
    QTest::newRow("space component") << QByteArray("bin/ /x.dll");
    QTest::newRow("only space") << QByteArray(" ");
}

void TestFileList::unsafePathsDropped()
{
    QFETCH(QByteArray, path);
    const QByteArray text = line(AbcMd5, "0000000300000000", "before.dll") + "\r\n"
            + line(EmptyMd5, "0000000100000000", path) + "\r\n"
            + line(AbcMd5, "0000000200000000", "sub/after.dll") + "\r\n";
    QCOMPARE(dump(parseFileList(text)),
             (QStringList{entry("before.dll", 3, AbcMd5), entry("sub/after.dll", 2, AbcMd5)}));
    // The same path as a later duplicate does not remove the safe entry either.
    const QByteArray again = line(AbcMd5, "0000000300000000", "x.dll") + '\n' + line(EmptyMd5, "0", path);
    QCOMPARE(dump(parseFileList(again)), QStringList{entry("x.dll", 3, AbcMd5)});
}

void TestFileList::safeRelativePath_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("basic");
    QTest::addColumn<bool>("windows");

    QTest::newRow("file") << QStringLiteral("a.dll") << true << true;
    QTest::newRow("nested") << QStringLiteral("bin/plugins/a.dll") << true << true;
    QTest::newRow("dots inside names") << QStringLiteral("..a/b..c/.hidden/x.") << true << false;
    QTest::newRow("spaces inside names") << QStringLiteral("my dir/ a .txt") << true << true;
    QTest::newRow("non-ASCII") << QStringLiteral("数据/文件.dat") << true << true;
    QTest::newRow("backslash nested") << QStringLiteral("bin\\a.dll") << true << true;
    QTest::newRow("inner empty component") << QStringLiteral("a//b") << true << true;
    QTest::newRow("leading dot component") << QStringLiteral("./a") << true << true;
    QTest::newRow("empty") << QString() << false << false;
    QTest::newRow("absolute") << QStringLiteral("/etc/passwd") << false << false;
    QTest::newRow("backslash absolute") << QStringLiteral("\\x.dll") << false << false;
    QTest::newRow("drive") << QStringLiteral("C:/x.dll") << false << false;
    QTest::newRow("stream") << QStringLiteral("a.dll:s") << false << false;
    QTest::newRow("trailing separator") << QStringLiteral("a/") << false << false;
    QTest::newRow("dot") << QStringLiteral(".") << false << false;
    QTest::newRow("last component dot") << QStringLiteral("a/.") << false << false;
    QTest::newRow("only dot components") << QStringLiteral("./.\\.") << false << false;
    QTest::newRow("dot space") << QStringLiteral("a/. /b") << false << false;
    QTest::newRow("dot-dot") << QStringLiteral("a/../b") << false << false;
    QTest::newRow("backslash dot-dot") << QStringLiteral("a\\..\\..\\b") << false << false;
    QTest::newRow("dot-dot space") << QStringLiteral("a/.. /b") << false << false;
    QTest::newRow("three dots") << QStringLiteral("...") << false << false;
    QTest::newRow("folder ending in a space") << QStringLiteral("docs /a.txt") << true << false;
    QTest::newRow("device with extension") << QStringLiteral("bin/nul.txt") << true << false;
    QTest::newRow("device as folder") << QStringLiteral("Aux/x.dll") << true << false;
    QTest::newRow("device, spaces before the dot") << QStringLiteral("nul  .txt") << true << false;
    QTest::newRow("port 0") << QStringLiteral("LPT0") << true << false;
    QTest::newRow("superscript port digit") << QStringLiteral("com\u00b2.log") << true << false;
    QTest::newRow("console output") << QStringLiteral("CONOUT$") << true << false;
    QTest::newRow("no devices") << QStringLiteral("console/com10/nul_x.txt") << true << true;
    QTest::newRow("question mark") << QStringLiteral("what?.txt") << true << false;
    QTest::newRow("control character") << QStringLiteral("a\u0001.txt") << true << false;
    QTest::newRow("short-name alias") << QStringLiteral("UPDATE~1.INF") << true << false;
    QTest::newRow("short-name alias as folder") << QStringLiteral("Progra~1/x.dll") << true << false;
    QTest::newRow("tilde names no alias has") << QStringLiteral("version~1.1/backup~1.tar.gz/a~1b.txt") << true << true;
    QTest::newRow("own file in another case") << QStringLiteral("UPDATE.PUB") << true << false;
    QTest::newRow("own file spelled exactly") << QStringLiteral("update.pub") << true << true;
    QTest::newRow("own file in bin, another case") << QStringLiteral("bin/System.cfg") << true << false;
    QTest::newRow("own file in Bin") << QStringLiteral("Bin\\update_sequence.info") << true << false;
    QTest::newRow("own file in bin, spelled exactly") << QStringLiteral("bin/update_md5.info") << true << true;
    QTest::newRow("own file, odd spelling") << QStringLiteral(".//Update_MD5.info") << true << false;
    QTest::newRow("own file with a dotless i") << QStringLiteral("update_md5.\u0131nfo") << true << false;
    QTest::newRow("own name deeper down") << QStringLiteral("data/SYSTEM.CFG") << true << true;
}

void TestFileList::safeRelativePath()
{
    QFETCH(QString, path);
    QFETCH(bool, basic);
    QFETCH(bool, windows);
    QCOMPARE(isSafeRelativePath(path, PathRules::Basic), basic);
    QCOMPARE(isSafeRelativePath(path, PathRules::Windows), windows);
}

void TestFileList::sizeField_data()
{
    QTest::addColumn<quint64>("size");
    QTest::addColumn<QByteArray>("field");

    QTest::newRow("0") << quint64(0) << QByteArray("0000000000000000");
    QTest::newRow("3") << quint64(3) << QByteArray("0000000300000000");
    QTest::newRow("0x1a2b") << quint64(0x1a2b) << QByteArray("00001a2b00000000");
    QTest::newRow("4 GiB - 1") << quint64(0xffffffffu) << QByteArray("ffffffff00000000");
    QTest::newRow("4 GiB") << quint64(0x100000000ull) << QByteArray("0000000000000001");
    QTest::newRow("4 GiB + 3") << quint64(0x100000003ull) << QByteArray("0000000300000001");
    QTest::newRow("5 GiB + 3") << quint64(0x140000003ull) << QByteArray("4000000300000001");
    QTest::newRow("largest") << std::numeric_limits<quint64>::max() << QByteArray("ffffffffffffffff");
}

void TestFileList::sizeField()
{
    QFETCH(quint64, size);
    QFETCH(QByteArray, field);
    QCOMPARE(fileListSizeField(size), field);
    const QByteArray text = fileListLine(AbcMd5, size, "bin\\f.dat") + "\r\n";
    QCOMPARE(text, AbcMd5 + '\t' + field + "\tbin\\f.dat\r\n");
    QCOMPARE(dump(parseFileList(text)), QStringList{entry("bin/f.dat", size, AbcMd5)});
}

void TestFileList::keyOrderIsOrdinal()
{
    const QByteArray text = line(AbcMd5, "0", "b.dll") + '\n' + line(AbcMd5, "0", "a.dll") + '\n'
            + line(AbcMd5, "0", "Z.dll") + '\n' + line(AbcMd5, "0", "B.dll") + '\n'
            + line(AbcMd5, "0", "_.dll") + '\n' + line(AbcMd5, "0", "a/b.dll") + '\n'
            + line(AbcMd5, "0", "a.dll.bak");
    // Basic rules: on Windows "B.dll" and "b.dll" would be one entry (parseByRuleSet).
    QCOMPARE(parseFileList(text, QTextCodec::codecForLocale(), PathRules::Basic).keys(),
             (QStringList{"B.dll", "Z.dll", "_.dll", "a.dll", "a.dll.bak", "a/b.dll", "b.dll"}));
}

QTEST_GUILESS_MAIN(TestFileList)
#include "tst_filelist.moc"
