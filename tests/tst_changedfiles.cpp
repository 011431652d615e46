#include "update/changedfiles.h"
#include "update/md5.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <thread>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

using DiskFiles = QMap<QString, QByteArray>;
Q_DECLARE_METATYPE(DiskFiles)

namespace {

// Stands for "a directory at this path" in the disk column.
const QByteArray Directory = "<directory>";
// Followed by a target: a symbolic link at this path, in the disk column.
const QByteArray Link = "<link>";
// Stands for "no record file at all" in the record column.
const QByteArray NoRecord = "<none>";

QByteArray listLine(const QString &path, const QByteArray &content)
{
    return fileListLine(md5Text(content), quint64(content.size()), path.toLocal8Bit()) + "\r\n";
}

QByteArray listLineWithMd5(const QString &path, const QByteArray &md5)
{
    return fileListLine(md5, 0, path.toLocal8Bit()) + "\r\n";
}

QStringList dump(const UpdateFileMap &files)
{
    QStringList lines;
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        lines.append(it.key() + QLatin1Char('|') + it->path + QLatin1Char('|')
                     + QString::number(it->size) + QLatin1Char('|') + QString::fromLatin1(it->md5));
    return lines;
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

#ifdef Q_OS_UNIX
// Counts how often somebody opens one of the given FIFOs for reading. A reader
// blocks in open() until a writer appears, so every open is seen here, and the
// writer's open-and-close lets the reader go on (it reads an empty file).
class FifoWatcher
{
public:
    explicit FifoWatcher(const QStringList &paths)
    {
        for (const QString &path : paths)
            m_paths.append(QFile::encodeName(path));
        m_opens = std::vector<int>(size_t(m_paths.size()), 0);
        m_thread = std::thread([this] { run(); });
    }
    ~FifoWatcher() { stop(); }

    void stop()
    {
        if (!m_thread.joinable())
            return;
        m_stop = true;
        m_thread.join();
    }
    int opens(int i) const { return m_opens.at(size_t(i)); }

private:
    void run()
    {
        while (!m_stop) {
            for (int i = 0; i < m_paths.size(); ++i) {
                const int fd = ::open(m_paths.at(i).constData(), O_WRONLY | O_NONBLOCK);
                if (fd >= 0) {
                    ++m_opens[size_t(i)];
                    ::close(fd);
                }
            }
            std::this_thread::yield();
        }
    }

    QList<QByteArray> m_paths;
    std::vector<int> m_opens;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};
#endif

} // namespace

class TestChangedFiles : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void select_data();
    void select();
    void recordedFilesAreNotOpened_data();
    void recordedFilesAreNotOpened();
};

void TestChangedFiles::select_data()
{
    QTest::addColumn<DiskFiles>("disk");
    QTest::addColumn<QByteArray>("record");
    QTest::addColumn<QByteArray>("list");
    QTest::addColumn<QStringList>("expected");
    // What a repair, which reads every file and ignores the record, selects.
    QTest::addColumn<QStringList>("damaged");

    const QByteArray a = "content of a";
    const QByteArray b = "content of b";
    const QByteArray c = "content of c";
    const QByteArray list = listLine("a.dll", a) + listLine("bin/b.dll", b) + listLine("c.dat", c);
    auto selected = [](const QString &path, const QByteArray &content) -> QString {
        return path + QLatin1Char('|') + path + QLatin1Char('|') + QString::number(content.size())
                + QLatin1Char('|') + QString::fromLatin1(md5Text(content));
    };
    const QStringList all{"a.dll", "bin/b.dll", "c.dat"};

    QTest::newRow("no record: hash decides")
            << DiskFiles{{"a.dll", a}, {"bin/b.dll", "old b"}} << NoRecord << list
            << QStringList{selected("bin/b.dll", b), selected("c.dat", c)} << QStringList{"bin/b.dll", "c.dat"};
    QTest::newRow("no record, all in place") << DiskFiles{{"a.dll", a}, {"bin/b.dll", b}, {"c.dat", c}}
                                             << NoRecord << list << QStringList() << QStringList();
    QTest::newRow("record equal to list, files differ on disk")
            << DiskFiles{{"a.dll", "x"}, {"bin/b.dll", "y"}} << list << list << QStringList() << all;
    QTest::newRow("recorded equal but deleted") << DiskFiles{} << list << list << QStringList() << all;
    QTest::newRow("record line too long to be a path: skipped")
            << DiskFiles{} << QByteArray(3 << 20, 'x') + "\r\n" + list << list << QStringList() << all;
    QTest::newRow("recorded different but matching on disk")
            << DiskFiles{{"a.dll", a}, {"bin/b.dll", b}, {"c.dat", c}}
            << listLine("a.dll", "older a") + listLine("bin/b.dll", b) + listLine("c.dat", c) << list
            << QStringList{selected("a.dll", a)} << QStringList();
    // A record names a file twice only when a list did; its later line is the one
    // that was installed.
    QTest::newRow("recorded twice, later line different")
            << DiskFiles{{"a.dll", a}, {"bin/b.dll", b}, {"c.dat", c}} << list + listLine("a.dll", "older a")
            << list << QStringList{selected("a.dll", a)} << QStringList();
    QTest::newRow("recorded twice, later line equal")
            << DiskFiles{{"a.dll", "x"}, {"bin/b.dll", b}, {"c.dat", c}} << listLine("a.dll", "older a") + list
            << list << QStringList() << QStringList{"a.dll"};
    QTest::newRow("recorded equal, then under another spelling")
            << DiskFiles{{"a.dll", "x"}, {"bin/b.dll", b}, {"c.dat", c}} << list + listLine("./a.dll", "older a")
            << list << QStringList{selected("a.dll", a)} << QStringList{"a.dll"};
#ifdef Q_OS_UNIX
    // An ordinary run reads what a link points to; a repair replaces the link.
    QTest::newRow("link at an unrecorded path")
            << DiskFiles{{"a.dll", Link + "target.dat"}, {"target.dat", a}, {"bin/b.dll", b}, {"c.dat", c}}
            << NoRecord << list << QStringList() << QStringList{"a.dll"};
#endif
    QTest::newRow("directory at an unrecorded path")
            << DiskFiles{{"a.dll", Directory}, {"bin/b.dll", b}, {"c.dat", c}} << NoRecord << list
            << QStringList{selected("a.dll", a)} << QStringList{"a.dll"};
    QTest::newRow("directory at a recorded path")
            << DiskFiles{{"a.dll", Directory}, {"bin/b.dll", b}, {"c.dat", c}} << list << list << QStringList()
            << QStringList{"a.dll"};
    QTest::newRow("empty list") << DiskFiles{{"a.dll", "x"}} << list << QByteArray() << QStringList() << QStringList();
    QTest::newRow("empty list, no record")
            << DiskFiles{{"a.dll", "x"}} << NoRecord << QByteArray() << QStringList() << QStringList();
    QTest::newRow("record is a directory: counts as empty")
            << DiskFiles{{"a.dll", a}, {"update_md5.info", Directory}} << NoRecord << list
            << QStringList{selected("bin/b.dll", b), selected("c.dat", c)} << QStringList{"bin/b.dll", "c.dat"};
    QTest::newRow("malformed record lines judged by content")
            << DiskFiles{{"a.dll", a}, {"bin/b.dll", "old b"}, {"c.dat", "old c"}}
            << md5Text(a) + "\ta.dll\r\n" + md5Text(b) + "\t0\tbin/b.dll\textra\r\n" + listLine("c.dat", c)
            << list << QStringList{selected("bin/b.dll", b)} << QStringList{"bin/b.dll", "c.dat"};
    QTest::newRow("record entries not in the list are ignored")
            << DiskFiles{{"a.dll", a}, {"bin/b.dll", b}, {"c.dat", c}}
            << list + listLine("gone.dll", "gone") + listLine("other.dll", "other") << list << QStringList()
            << QStringList();
    QTest::newRow("record key differs in case")
            << DiskFiles{{"a.dll", "changed"}, {"bin/b.dll", b}, {"c.dat", c}}
            << listLine("A.dll", a) + listLine("bin/b.dll", b) + listLine("c.dat", c) << list
            << QStringList{selected("a.dll", a)} << QStringList{"a.dll"};
    QTest::newRow("record fingerprint in upper case differs")
            << DiskFiles{{"a.dll", a}} << listLineWithMd5("a.dll", md5Text(a).toUpper())
            << listLine("a.dll", a) << QStringList{selected("a.dll", a)} << QStringList();
    const QByteArray upper = md5Text(a).toUpper();
    QTest::newRow("upper-case listed fingerprint never matches a file")
            << DiskFiles{{"a.dll", a}} << NoRecord << listLineWithMd5("a.dll", upper)
            << QStringList{"a.dll|a.dll|0|" + QString::fromLatin1(upper)} << QStringList{"a.dll"};
    // Only a repair compares sizes: it is the cheap first look at every file.
    QTest::newRow("size is never compared")
            << DiskFiles{{"a.dll", a}} << NoRecord << fileListLine(md5Text(a), 999999, "a.dll") + '\n'
            << QStringList() << QStringList{"a.dll"};
    // Read in pieces, the record's lines are cut at their ends: a line that came out
    // wrong would leave its file to a look on disk, where none of them is.
    QByteArray many;
    for (int i = 0; i < 20000; ++i)
        many += listLine(QStringLiteral("d%1/file%2.dat").arg(i % 7).arg(i), QByteArray::number(i));
    QTest::newRow("long record") << DiskFiles{} << many << many << QStringList()
                                 << QStringList(parseFileList(many).keys());
}

void TestChangedFiles::select()
{
    QFETCH(DiskFiles, disk);
    QFETCH(QByteArray, record);
    QFETCH(QByteArray, list);
    QFETCH(QStringList, expected);
    QFETCH(QStringList, damaged);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QDir root(dir.path());
    for (auto it = disk.cbegin(); it != disk.cend(); ++it) {
        if (it.value() == Directory)
            QVERIFY(root.mkpath(it.key()));
        else if (it.value().startsWith(Link))
            QVERIFY(QFile::link(QString::fromUtf8(it.value().mid(Link.size())), root.filePath(it.key())));
        else
            QVERIFY(writeFile(root.filePath(it.key()), it.value()));
    }
    if (record != NoRecord)
        QVERIFY(writeFile(root.filePath(QStringLiteral("update_md5.info")), record));

    QCOMPARE(dump(findChangedFiles(parseFileList(list), root)), expected);
    QCOMPARE(findDamagedFiles(parseFileList(list), root).keys(), damaged);
}

void TestChangedFiles::recordedFilesAreNotOpened_data()
{
    QTest::addColumn<bool>("recorded");
    QTest::addColumn<bool>("outsideRoot");
    QTest::addColumn<bool>("opened");

    QTest::newRow("record equal to list") << true << false << false;
    // The control case shows that an open would be noticed.
    QTest::newRow("no record: every file is opened") << false << false << true;
    QTest::newRow("unsafe path handed in directly") << false << true << false;
}

void TestChangedFiles::recordedFilesAreNotOpened()
{
#ifndef Q_OS_UNIX
    QSKIP("an open is observed through a FIFO, which only Unix has");
#else
    QFETCH(bool, recorded);
    QFETCH(bool, outsideRoot);
    QFETCH(bool, opened);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QDir root(dir.filePath(QStringLiteral("root")));
    QVERIFY(root.mkpath(QStringLiteral("bin")));

    // Every listed file is a FIFO: opening one blocks until the watcher opens the
    // other end, which it counts.
    UpdateFileMap files;
    QStringList fifos;
    const QStringList paths = outsideRoot ? QStringList{QStringLiteral("../outside.dll")}
                                          : QStringList{QStringLiteral("a.dll"), QStringLiteral("bin/b.dll")};
    QByteArray list;
    for (const QString &path : paths) {
        const QString full = QDir::cleanPath(root.filePath(path));
        QCOMPARE(::mkfifo(QFile::encodeName(full).constData(), 0600), 0);
        fifos.append(full);
        UpdateFileEntry entry;
        entry.path = path;
        entry.size = 3;
        entry.md5 = md5Text("abc");
        files.insert(path, entry);
        list += fileListLine(entry.md5, entry.size, path.toLocal8Bit()) + "\r\n";
    }
    if (recorded)
        QVERIFY(writeFile(root.filePath(QStringLiteral("update_md5.info")), list));

    FifoWatcher watcher(fifos);
    const UpdateFileMap changed = findChangedFiles(files, root);
    watcher.stop();

    for (int i = 0; i < fifos.size(); ++i)
        QCOMPARE(watcher.opens(i) > 0, opened);
    // Recorded equal: nothing selected. Opened FIFOs read as empty files, and an
    // unsafe path is selected without being read.
    QCOMPARE(changed.keys(), recorded ? QStringList() : paths);
#endif
}

QTEST_GUILESS_MAIN(TestChangedFiles)
#include "tst_changedfiles.moc"
