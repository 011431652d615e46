#include "downloadharness.h"
#include "support/testhttpserver.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

using harness::entryFor;
using harness::filesBelow;
using harness::readFile;
using harness::writeFile;
using harness::WorkerRun;

namespace {

QByteArray newBody(const QString &path)
{
    return "new " + path.toUtf8() + QByteArray(3000, 'n');
}

QByteArray oldBody(const QString &path)
{
    return "old " + path.toUtf8();
}

// 254 bytes: a valid name whose ".old" companion is longer than any file system
// allows (255), so moving it aside fails for root as for anyone.
QString longName()
{
    return QString(250, QLatin1Char('n')) + QStringLiteral(".bin");
}

// A name that the local 8-bit encoding cannot carry: a lone surrogate where it is
// UTF-8, Chinese in a Western Windows code page.
QString unencodableName()
{
#ifdef Q_OS_WIN
    return QStringLiteral("look中文.bin");
#else
    return QStringLiteral("look") + QChar(0xD800) + QStringLiteral(".bin");
#endif
}

// The file that such a name finds on disk: on Unix the 8-bit encoding turns it into
// another, look-alike name; Windows keeps names in UTF-16, so there it is the file
// of that very name, which only an 8-bit rename cannot reach.
QString lookAlikeOf(const QString &path)
{
#ifdef Q_OS_WIN
    return path;
#else
    return QFile::decodeName(QFile::encodeName(path));
#endif
}

} // namespace

enum class Fault {
    SetAsideNotRemovable,
    RenameRefused,
    RenameOfLookAlike,
    FolderNotCreatable,
    CachedFileVanished,
    CachedFileVanishedOldRestored,
    CachedFileVanishedEarlierOld,
    CachedFileSwapped
};
Q_DECLARE_METATYPE(Fault)

class TestInstall : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void installsWithSetAside();
    void failures_data();
    void failures();
    void stopsAtThirdOfFive();
    void heldByScanner_data();
    void heldByScanner();

private:
    QString cachePath(const QString &relative) const
    {
        return m_dir->filePath(QStringLiteral("cache/") + relative);
    }
    QString appPath(const QString &relative) const
    {
        return m_dir->filePath(QStringLiteral("app/") + relative);
    }
    QString cacheRoot() const { return m_dir->filePath(QStringLiteral("cache")); }
    QString appRoot() const { return m_dir->filePath(QStringLiteral("app")); }
    /// Serves the new body of every path and returns the entries in this order.
    QList<UpdateFileEntry> serve(const QStringList &paths)
    {
        QList<UpdateFileEntry> entries;
        for (const QString &path : paths) {
            m_server->setRoute("/pub/" + path.toUtf8(), TestHttpServer::ok(newBody(path)));
            entries.append(entryFor(path, newBody(path)));
        }
        return entries;
    }
    std::unique_ptr<WorkerRun> run(const QList<UpdateFileEntry> &files) const
    {
        return std::make_unique<WorkerRun>(m_server->baseUrl() + QStringLiteral("/pub/"),
                                           cacheRoot(), appRoot(), files);
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<TestHttpServer> m_server;
};

void TestInstall::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    QVERIFY(QDir().mkpath(cacheRoot()));
    QVERIFY(QDir().mkpath(appRoot()));
    m_server = std::make_unique<TestHttpServer>();
    QVERIFY(m_server->start());
}

void TestInstall::cleanup()
{
    m_server.reset();
    m_dir.reset();
}

void TestInstall::installsWithSetAside()
{
    const QStringList paths{QStringLiteral("a.txt"), QStringLiteral("c.txt"),
                            QStringLiteral("new/deep/b.txt"), QStringLiteral("ro.txt")};
    for (const QString &replaced : {QStringLiteral("a.txt"), QStringLiteral("c.txt"), QStringLiteral("ro.txt")})
        QVERIFY(writeFile(appPath(replaced), oldBody(replaced)));
    QVERIFY(writeFile(appPath(QStringLiteral("a.txt.old")), "earlier"));
    // Windows will not delete a read-only file; an earlier ".old" may be one.
    QVERIFY(writeFile(appPath(QStringLiteral("ro.txt.old")), "earlier read-only"));
    QVERIFY(QFile::setPermissions(appPath(QStringLiteral("ro.txt.old")), QFile::ReadOwner | QFile::ReadUser));

    auto r = run(serve(paths));
    QVERIFY(r->startAndWait());
    QVERIFY2(r->worker->isSuccess(), qPrintable(r->worker->errorMsg()));
    QCOMPARE(r->worker->errorMsg(), QStringLiteral("更新成功"));
    QCOMPARE(r->failed.count(), 0);

    for (const QString &path : paths) {
        QCOMPARE(readFile(appPath(path)), newBody(path));
        // Written through a temporary file, but not left private to its owner.
        QVERIFY(QFile::permissions(appPath(path)) & QFile::ReadOther);
    }
    QCOMPARE(readFile(appPath(QStringLiteral("a.txt.old"))), oldBody(QStringLiteral("a.txt")));
    QCOMPARE(readFile(appPath(QStringLiteral("c.txt.old"))), oldBody(QStringLiteral("c.txt")));
    QCOMPARE(readFile(appPath(QStringLiteral("ro.txt.old"))), oldBody(QStringLiteral("ro.txt")));
    QCOMPARE(filesBelow(appRoot()),
             (QStringList{QStringLiteral("a.txt"), QStringLiteral("a.txt.old"), QStringLiteral("c.txt"),
                          QStringLiteral("c.txt.old"), QStringLiteral("new/deep/b.txt"),
                          QStringLiteral("ro.txt"), QStringLiteral("ro.txt.old")}));
    QCOMPARE(filesBelow(cacheRoot()), QStringList());
}

void TestInstall::failures_data()
{
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<QString>("message");       // "{app}" stands for the installation root
    QTest::addColumn<QString>("failedFile");    // downloadFail's file, relative to the root
    QTest::addColumn<QStringList>("appAfter");  // besides untouched "old" files
    QTest::addColumn<QStringList>("cacheAfter");

    QTest::newRow("earlier .old not removable")
        << Fault::SetAsideNotRemovable << QStringLiteral("删除文件a.txt.old失败") << "a.txt"
        << QStringList{QStringLiteral("a.txt"), QStringLiteral("a.txt.old/inside")}
        << QStringList{QStringLiteral("a.txt")};
    QTest::newRow("rename refused")
        << Fault::RenameRefused
        << QStringLiteral("重命名{app}/%1为{app}/%1.old失败").arg(longName()) << longName()
        << QStringList{longName()} << QStringList{QStringLiteral("b.txt"), longName()};
#ifndef Q_OS_WIN
    // Windows moves files through the wide calls, which reach any name.
    QTest::newRow("name not representable in 8 bits")
        << Fault::RenameOfLookAlike
        << QStringLiteral("重命名{app}/%1为{app}/%1.old失败").arg(unencodableName())
        << unencodableName() << QStringList{lookAlikeOf(unencodableName())}
        << QStringList{QStringLiteral("b.txt"), lookAlikeOf(unencodableName())};
#endif
    QTest::newRow("folder not creatable")
        << Fault::FolderNotCreatable << QStringLiteral("创建目录{app}/sub失败") << "sub/a.txt"
        << QStringList{QStringLiteral("sub")} << QStringList{QStringLiteral("sub/a.txt")};
    QTest::newRow("cached file vanished, new file")
        << Fault::CachedFileVanished << QStringLiteral("覆盖文件a.txt失败") << "a.txt"
        << QStringList() << QStringList{QStringLiteral("b.txt")};
    QTest::newRow("cached file vanished, old file put back")
        << Fault::CachedFileVanishedOldRestored << QStringLiteral("覆盖文件a.txt失败") << "a.txt"
        << QStringList{QStringLiteral("a.txt")} << QStringList{QStringLiteral("b.txt")};
    // Found missing before anything moves: the earlier ".old" stays too.
    QTest::newRow("cached file vanished, earlier .old kept")
        << Fault::CachedFileVanishedEarlierOld << QStringLiteral("覆盖文件a.txt失败") << "a.txt"
        << QStringList{QStringLiteral("a.txt"), QStringLiteral("a.txt.old")} << QStringList{QStringLiteral("b.txt")};
    // Replaced by other bytes of its size after its check: nothing is installed.
    QTest::newRow("cached file swapped after its check")
        << Fault::CachedFileSwapped << QStringLiteral("更新文件a.txt校验不对") << "a.txt"
        << QStringList{QStringLiteral("a.txt")} << QStringList{QStringLiteral("b.txt")};
}

void TestInstall::failures()
{
    QFETCH(Fault, fault);
    QFETCH(QString, message);
    QFETCH(QString, failedFile);
    QFETCH(QStringList, appAfter);
    QFETCH(QStringList, cacheAfter);
    message.replace(QLatin1String("{app}"), QFileInfo(appRoot()).absoluteFilePath());

    QList<UpdateFileEntry> files;
    QStringList untouched; // installed files that must keep their old bytes
    bool vanish = false;
    switch (fault) {
    case Fault::SetAsideNotRemovable:
        QVERIFY(writeFile(appPath(QStringLiteral("a.txt")), oldBody(QStringLiteral("a.txt"))));
        // A folder with contents is no file to remove, for root either.
        QVERIFY(writeFile(appPath(QStringLiteral("a.txt.old/inside")), oldBody(QStringLiteral("a.txt.old/inside"))));
        untouched = QStringList{QStringLiteral("a.txt"), QStringLiteral("a.txt.old/inside")};
        files = serve({QStringLiteral("a.txt")});
        break;
    case Fault::RenameRefused:
    case Fault::RenameOfLookAlike: {
        const QString name = fault == Fault::RenameRefused ? longName() : unencodableName();
        const QString onDisk = lookAlikeOf(name);
        if (fault == Fault::RenameOfLookAlike && QFile::decodeName(QFile::encodeName(name)) == name)
            QSKIP("the local 8-bit encoding here carries every name unchanged");
        // Valid in the cache already, so that a download (b.txt) comes after the
        // constructor and the failure is seen.
        const QByteArray body = newBody(name);
        if (!writeFile(cachePath(onDisk), body))
            QSKIP("the file system refuses the name");
        QVERIFY(writeFile(appPath(onDisk), oldBody(onDisk)));
        untouched = QStringList{onDisk};
        files = QList<UpdateFileEntry>{entryFor(name, body)} + serve({QStringLiteral("b.txt")});
        break;
    }
    case Fault::FolderNotCreatable:
        // A file where the folder must be: no one can create the folder.
        QVERIFY(writeFile(appPath(QStringLiteral("sub")), oldBody(QStringLiteral("sub"))));
        untouched = QStringList{QStringLiteral("sub")};
        files = serve({QStringLiteral("sub/a.txt")});
        break;
    case Fault::CachedFileVanishedEarlierOld:
        QVERIFY(writeFile(appPath(QStringLiteral("a.txt.old")), "earlier"));
        Q_FALLTHROUGH();
    case Fault::CachedFileVanishedOldRestored:
        QVERIFY(writeFile(appPath(QStringLiteral("a.txt")), oldBody(QStringLiteral("a.txt"))));
        untouched = QStringList{QStringLiteral("a.txt")};
        Q_FALLTHROUGH();
    case Fault::CachedFileVanished:
        vanish = true;
        files = serve({QStringLiteral("a.txt"), QStringLiteral("b.txt")});
        break;
    case Fault::CachedFileSwapped:
        QVERIFY(writeFile(appPath(QStringLiteral("a.txt")), oldBody(QStringLiteral("a.txt"))));
        untouched = QStringList{QStringLiteral("a.txt")};
        files = serve({QStringLiteral("a.txt"), QStringLiteral("b.txt")});
        break;
    }

    auto r = run(files);
    if (vanish || fault == Fault::CachedFileSwapped) {
        // Something else (a cleaner, a virus scanner, another program sharing the
        // cache) takes or changes the verified a.txt while b.txt downloads.
        const QString verified = cachePath(QStringLiteral("a.txt"));
        QObject::connect(r->worker.get(), &CDownloadThread::downloadStarted, r->worker.get(), [verified, vanish] {
            if (vanish)
                QFile::remove(verified);
            else
                writeFile(verified, QByteArray(int(QFileInfo(verified).size()), 'x'));
        });
    }
    QVERIFY(r->startAndWait());
    QCOMPARE(r->worker->errorMsg(), message);
    QVERIFY(!r->worker->isSuccess());
    QCOMPARE(r->failed.count(), 1);
    QCOMPARE(r->failed.at(0).at(0).value<QFileInfo>().absoluteFilePath(),
             QFileInfo(appPath(failedFile)).absoluteFilePath());
    QCOMPARE(r->failed.at(0).at(1).toString(), message);

    QCOMPARE(filesBelow(appRoot()), appAfter);
    for (const QString &path : qAsConst(untouched))
        QCOMPARE(readFile(appPath(path)), oldBody(path));
    QCOMPARE(filesBelow(cacheRoot()), cacheAfter);
}

void TestInstall::stopsAtThirdOfFive()
{
    const QStringList paths{QStringLiteral("1.txt"), QStringLiteral("2.txt"), QStringLiteral("3/x.txt"),
                            QStringLiteral("4.txt"), QStringLiteral("5.txt")};
    QVERIFY(writeFile(appPath(QStringLiteral("1.txt")), oldBody(QStringLiteral("1.txt"))));
    QVERIFY(writeFile(appPath(QStringLiteral("2.txt")), oldBody(QStringLiteral("2.txt"))));
    QVERIFY(writeFile(appPath(QStringLiteral("3")), oldBody(QStringLiteral("3"))));

    auto r = run(serve(paths));
    QVERIFY(r->startAndWait());
    const QString message = QStringLiteral("创建目录%1失败").arg(QFileInfo(appPath(QStringLiteral("3"))).absoluteFilePath());
    QCOMPARE(r->worker->errorMsg(), message);
    QVERIFY(!r->worker->isSuccess());
    QCOMPARE(r->failed.count(), 1);
    QCOMPARE(r->failed.at(0).at(0).value<QFileInfo>().absoluteFilePath(),
             QFileInfo(appPath(QStringLiteral("3/x.txt"))).absoluteFilePath());

    // Nothing is rolled back: the first two stay installed with their ".old".
    QCOMPARE(filesBelow(appRoot()),
             (QStringList{QStringLiteral("1.txt"), QStringLiteral("1.txt.old"), QStringLiteral("2.txt"),
                          QStringLiteral("2.txt.old"), QStringLiteral("3")}));
    QCOMPARE(readFile(appPath(QStringLiteral("1.txt"))), newBody(QStringLiteral("1.txt")));
    QCOMPARE(readFile(appPath(QStringLiteral("1.txt.old"))), oldBody(QStringLiteral("1.txt")));
    QCOMPARE(readFile(appPath(QStringLiteral("2.txt"))), newBody(QStringLiteral("2.txt")));
    QCOMPARE(readFile(appPath(QStringLiteral("2.txt.old"))), oldBody(QStringLiteral("2.txt")));
    QCOMPARE(filesBelow(cacheRoot()),
             (QStringList{QStringLiteral("3/x.txt"), QStringLiteral("4.txt"), QStringLiteral("5.txt")}));
    for (const QString &path : {QStringLiteral("3/x.txt"), QStringLiteral("4.txt"), QStringLiteral("5.txt")})
        QCOMPARE(readFile(cachePath(path)), newBody(path));
}

void TestInstall::heldByScanner_data()
{
    QTest::addColumn<int>("holdSeconds");
    QTest::addColumn<bool>("installed");
    QTest::newRow("held for 3 s: waited for") << 3 << true;
    QTest::newRow("held for good: fails, nothing missing") << 600 << false;
}

void TestInstall::heldByScanner()
{
#ifndef FILE_HOLDER_EXE
    QSKIP("a file held against renaming is a Windows notion");
#else
    QFETCH(int, holdSeconds);
    QFETCH(bool, installed);
    const QStringList paths{QStringLiteral("a.dll"), QStringLiteral("b.txt")};
    for (const QString &path : paths)
        QVERIFY(writeFile(appPath(path), oldBody(path)));
    QProcess holder;
    const QString ready = m_dir->filePath(QStringLiteral("held"));
    holder.start(QStringLiteral(FILE_HOLDER_EXE), {QDir::toNativeSeparators(appPath(QStringLiteral("b.txt"))),
                                                   QString::number(holdSeconds), QDir::toNativeSeparators(ready)});
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(ready), 20000);

    QElapsedTimer clock;
    clock.start();
    auto r = run(serve(paths));
    QVERIFY(r->startAndWait(60000));
    QCOMPARE(r->worker->isSuccess(), installed);
    QVERIFY2(clock.elapsed() < 60000, qPrintable(QString::number(clock.elapsed())));
    holder.kill();
    holder.waitForFinished();
    // Complete, or as it was for the held file: never without it.
    for (const QString &path : paths)
        QCOMPARE(readFile(appPath(path)), installed || path != QLatin1String("b.txt") ? newBody(path) : oldBody(path));
    if (!installed) {
        const QString held = QFileInfo(appPath(QStringLiteral("b.txt"))).absoluteFilePath();
        QCOMPARE(r->worker->errorMsg(), QStringLiteral("重命名%1为%1.old失败").arg(held));
    }
#endif
}

QTEST_GUILESS_MAIN(TestInstall)
#include "tst_install.moc"
