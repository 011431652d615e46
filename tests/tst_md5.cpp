#include "update/md5.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#ifdef Q_OS_WIN
#include <windows.h>
#include <psapi.h>
#else
#include <sys/resource.h>
#endif

namespace {

// The MD5 text built a second way: the usual hex form with the byte order
// reversed inside each 8-digit group.
QByteArray wordSwappedHex(const QByteArray &digest)
{
    const QByteArray hex = digest.toHex();
    QByteArray text;
    for (int group = 0; group < 32; group += 8) {
        for (int pair = 6; pair >= 0; pair -= 2)
            text += hex.mid(group + pair, 2);
    }
    return text;
}

QByteArray patterned(int size, int seed)
{
    QByteArray data(size, Qt::Uninitialized);
    quint32 x = 2463534242u + static_cast<quint32>(seed);
    for (int i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        data[i] = static_cast<char>(x);
    }
    return data;
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

qint64 peakRssKiB()
{
#ifdef Q_OS_WIN
    PROCESS_MEMORY_COUNTERS counters;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters))
        return 0;
    return qint64(counters.PeakWorkingSetSize / 1024);
#else
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
#endif
}

} // namespace

class TestMd5 : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void md5Text_data();
    void md5Text();
    void matchesUsualDigestWordSwapped_data();
    void matchesUsualDigestWordSwapped();
    void digestOfWrongSize();
    void fileMatches_data();
    void fileMatches();
    void hugeFileKeepsMemoryBounded();

private:
    QTemporaryDir m_dir;
};

void TestMd5::md5Text_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("text");

    QTest::newRow("abc") << QByteArray("abc") << QByteArray("98500190b04fd23c7d3f96d6727fe128");
    QTest::newRow("empty") << QByteArray() << QByteArray("d98c1dd404b2008f980980e97e42f8ec");
    // Usual form 9e107d9d372bb6826bd81d3542a419d6.
    QTest::newRow("quick brown fox") << QByteArray("The quick brown fox jumps over the lazy dog")
                                     << QByteArray("9d7d109e82b62b37351dd86bd619a442");
    QTest::newRow("NUL bytes") << QByteArray(3, '\0') << wordSwappedHex(QCryptographicHash::hash(QByteArray(3, '\0'), QCryptographicHash::Md5));
}

void TestMd5::md5Text()
{
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, text);
    QCOMPARE(::md5Text(data), text);
    QCOMPARE(md5TextFromDigest(QCryptographicHash::hash(data, QCryptographicHash::Md5)), text);
}

void TestMd5::matchesUsualDigestWordSwapped_data()
{
    QTest::addColumn<int>("size");
    for (int size : {1, 55, 56, 63, 64, 65, 1000, 100000})
        QTest::newRow(qPrintable(QString::number(size))) << size;
}

void TestMd5::matchesUsualDigestWordSwapped()
{
    QFETCH(int, size);
    const QByteArray data = patterned(size, size);
    const QByteArray text = ::md5Text(data);
    QCOMPARE(text.size(), 32);
    QCOMPARE(text, wordSwappedHex(QCryptographicHash::hash(data, QCryptographicHash::Md5)));
    QCOMPARE(text, text.toLower());
}

void TestMd5::digestOfWrongSize()
{
    QCOMPARE(md5TextFromDigest(QByteArray(15, 'a')), QByteArray());
    QCOMPARE(md5TextFromDigest(QByteArray(17, 'a')), QByteArray());
}

void TestMd5::fileMatches_data()
{
    QTest::addColumn<QString>("name");     // created with content unless "missing" or "dir"
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<bool>("matches");

    // Not a multiple of any sensible chunk size, so the last partial chunk counts.
    const QByteArray big = patterned(5 * 1024 * 1024 + 12345, 7);
    const QByteArray bigText = ::md5Text(big);
    QTest::newRow("multi-megabyte") << "big.bin" << big << bigText << true;
    QTest::newRow("multi-megabyte, last byte differs")
            << "big2.bin" << QByteArray(big).append('x') << bigText << false;
    QTest::newRow("abc") << "abc.txt" << QByteArray("abc") << QByteArray("98500190b04fd23c7d3f96d6727fe128") << true;
    QTest::newRow("empty file") << "empty" << QByteArray() << QByteArray("d98c1dd404b2008f980980e97e42f8ec") << true;
    QTest::newRow("CR LF not translated") << "crlf.txt" << QByteArray("a\r\nb\r\n") << ::md5Text("a\r\nb\r\n") << true;
    QTest::newRow("upper-case expected") << "abc2.txt" << QByteArray("abc")
                                         << QByteArray("98500190B04FD23C7D3F96D6727FE128") << false;
    QTest::newRow("usual-order expected") << "abc3.txt" << QByteArray("abc")
                                          << QByteArray("900150983cd24fb0d6963f7d28e17f72") << false;
    QTest::newRow("expected with line end") << "abc4.txt" << QByteArray("abc")
                                            << QByteArray("98500190b04fd23c7d3f96d6727fe128\n") << false;
    QTest::newRow("empty expected") << "abc5.txt" << QByteArray("abc") << QByteArray() << false;
    QTest::newRow("missing") << "missing" << QByteArray() << QByteArray("d98c1dd404b2008f980980e97e42f8ec") << false;
    QTest::newRow("directory") << "dir" << QByteArray() << QByteArray("d98c1dd404b2008f980980e97e42f8ec") << false;
}

void TestMd5::fileMatches()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, expected);
    QFETCH(bool, matches);
    QVERIFY(m_dir.isValid());
    const QString path = m_dir.filePath(name);
    if (name == QLatin1String("dir"))
        QVERIFY(QDir().mkpath(path));
    else if (name != QLatin1String("missing"))
        QVERIFY(writeFile(path, content));

    QCOMPARE(fileMatchesMd5(path, expected), matches);

    QByteArray text = "unchanged";
    const bool readable = fileMd5Text(path, text);
    QCOMPARE(readable, name != QLatin1String("missing") && name != QLatin1String("dir"));
    QCOMPARE(text, readable ? ::md5Text(content) : QByteArray("unchanged"));
}

void TestMd5::hugeFileKeepsMemoryBounded()
{
    // A sparse 768 MiB file: hashing it whole in memory would raise the peak
    // resident size by that much, chunked reading by almost nothing.
    const qint64 size = 768ll * 1024 * 1024;
    const QString path = m_dir.filePath(QStringLiteral("sparse.bin"));
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        if (!file.resize(size))
            QSKIP("cannot create a large sparse file here");
    }
    QCryptographicHash reference(QCryptographicHash::Md5);
    const QByteArray zeros(1024 * 1024, '\0');
    for (qint64 done = 0; done < size; done += zeros.size())
        reference.addData(zeros);
    const QByteArray expected = md5TextFromDigest(reference.result());

    const qint64 before = peakRssKiB();
    QVERIFY(fileMatchesMd5(path, expected));
    const qint64 grown = peakRssKiB() - before;
    QVERIFY2(grown < 64 * 1024, qPrintable(QStringLiteral("peak RSS grew by %1 KiB").arg(grown)));
    QFile::remove(path);
}

QTEST_GUILESS_MAIN(TestMd5)
#include "tst_md5.moc"
