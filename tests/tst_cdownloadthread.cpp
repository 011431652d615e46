#include "downloadharness.h"
#include "support/testhttpserver.h"
#include "update/filelist.h"
#include "update/packindex.h"
#include "update/sha256.h"
#include "update/zstdframe.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

using harness::entryFor;
using harness::filesBelow;
using harness::readFile;
using harness::writeFile;
using harness::WorkerRun;
using Response = TestHttpServer::Response;
using HeaderList = TestHttpServer::HeaderList;
Q_DECLARE_METATYPE(Response)

namespace {

QByteArray patterned(int size, char seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(seed + i * 7 + i / 251);
    return bytes;
}

Response cut(const QByteArray &body, TestHttpServer::Cut how, qint64 after)
{
    Response r = TestHttpServer::ok(body);
    r.cut = how;
    r.cutAfterBytes = after;
    return r;
}

// Large enough to be kept when cut off (from 1 MiB on), cut at KeptBytes.
constexpr int BigSize = 3 * 1024 * 1024;
constexpr int KeptBytes = 2 * 1024 * 1024;

QByteArray bigBody(char seed = 'r')
{
    return patterned(BigSize, seed);
}

const QByteArray Etag = "\"v1\"";
const QByteArray Date = "Mon, 01 Jan 2024 00:00:00 GMT";

Response withHeaders(Response response, const HeaderList &headers)
{
    response.headers += headers;
    return response;
}

/// The whole body with an ETag, served in ranges as nginx does.
Response ranged(const QByteArray &body, const HeaderList &headers = {{"ETag", Etag}})
{
    Response response = withHeaders(TestHttpServer::ok(body), headers);
    response.ranges = TestHttpServer::Ranges::Honour;
    return response;
}

/// A 206 as scripted, whatever was asked for.
Response partialContent(const QByteArray &body, const QByteArray &contentRange,
                        const QByteArray &etag = Etag)
{
    return withHeaders(TestHttpServer::status(206, body),
                       {{"Content-Range", contentRange}, {"ETag", etag}});
}

QByteArray rangeFrom(qint64 offset)
{
    return "bytes=" + QByteArray::number(offset) + '-';
}

// A folder that QDir::removeRecursively() cannot take apart, whoever runs it:
// permission bits stop nothing for root (CI), but a tree nested deeper than
// PATH_MAX cannot be listed by its full path. Built step by step with *at().
bool makeUnremovableFolder(const QString &path)
{
#ifdef Q_OS_UNIX
    if (!QDir().mkpath(path))
        return false;
    int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY);
    const QByteArray name(200, 'd');
    for (int level = 0; fd >= 0 && level < 24; ++level) {
        if (::mkdirat(fd, name.constData(), 0755) != 0) {
            ::close(fd);
            return false;
        }
        const int child = ::openat(fd, name.constData(), O_RDONLY | O_DIRECTORY);
        ::close(fd);
        fd = child;
    }
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
#else
    Q_UNUSED(path);
    return false;
#endif
}

} // namespace

class TestCDownloadThread : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void signalSequence();
    void cachedPlace_data();
    void cachedPlace();
    void downloadFailures_data();
    void downloadFailures();
    void cachedPlaceUnremovable();
    void cacheNotWritable_data();
    void cacheNotWritable();
    void unsafePathFails_data();
    void unsafePathFails();
    void oversizeBodyCutEarly();
    void speedFloor_data();
    void speedFloor();
    void severalInFlight_data();
    void severalInFlight();
    void cancelStopsTheRun_data();
    void cancelStopsTheRun();
    void pathIsEncodedInAddress_data();
    void pathIsEncodedInAddress();
    void unusualAnswersArrive_data();
    void unusualAnswersArrive();
    void keptConnections();
    void nothingListening();
    void endsInConstructor_data();
    void endsInConstructor();
    void quitBeforeStartStillEnds();
    void keptAfterFailure_data();
    void keptAfterFailure();
    void resumeAnswers_data();
    void resumeAnswers();
    void staleKeptBodies_data();
    void staleKeptBodies();
    void severalResumeEachOnItsOwn();
    void installedFileCountsAsDone_data();
    void installedFileCountsAsDone();
    void smallerRoutes_data();
    void smallerRoutes();

private:
    QString cachePath(const QString &relative = QString()) const
    {
        return relative.isEmpty() ? m_dir->filePath(QStringLiteral("cache"))
                                  : m_dir->filePath(QStringLiteral("cache/") + relative);
    }
    QString appPath(const QString &relative = QString()) const
    {
        return relative.isEmpty() ? m_dir->filePath(QStringLiteral("app"))
                                  : m_dir->filePath(QStringLiteral("app/") + relative);
    }
    QString base() const { return m_server->baseUrl() + QStringLiteral("/pub/"); }
    /// Runs files once against the first answer for path, which cuts the body off,
    /// and returns how many bytes were kept for a resume (0: none).
    qint64 cutOff(const QString &path, const QList<UpdateFileEntry> &files, const Response &first,
                  const QString &message);
    std::unique_ptr<WorkerRun> run(const QList<UpdateFileEntry> &files, int connections = 1) const
    {
        return std::make_unique<WorkerRun>(base(), cachePath(), appPath(), files, connections);
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<TestHttpServer> m_server;
};

void TestCDownloadThread::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    QVERIFY(QDir().mkpath(cachePath()));
    QVERIFY(QDir().mkpath(appPath()));
    m_server = std::make_unique<TestHttpServer>();
    QVERIFY(m_server->start());
}

void TestCDownloadThread::cleanup()
{
    m_server.reset();
    // QTemporaryDir cannot remove the over-deep tree of cachedPlaceUnremovable.
    if (m_dir)
        QProcess::execute(QStringLiteral("rm"), {QStringLiteral("-rf"), m_dir->path()});
    m_dir.reset();
}

void TestCDownloadThread::signalSequence()
{
    const QByteArray a = patterned(300 * 1024, 'a');
    const QByteArray b = patterned(1000, 'b');
    const QByteArray c = patterned(5000, 'c');
    Response unannounced = TestHttpServer::ok(a);
    unannounced.framing = TestHttpServer::Framing::Chunked;
    unannounced.writeChunkSize = 64 * 1024;
    // Spaced out so that Qt cannot merge the notifications into one.
    unannounced.writeIntervalMs = 100;
    m_server->setRoute("/pub/a.bin", unannounced);
    m_server->setRoute("/pub/c.bin", TestHttpServer::ok(c));
    QVERIFY(writeFile(cachePath(QStringLiteral("b.bin")), b));

    auto r = run({entryFor(QStringLiteral("a.bin"), a), entryFor(QStringLiteral("b.bin"), b),
                  entryFor(QStringLiteral("c.bin"), c)});
    QVERIFY(r->startAndWait());

    QVERIFY2(r->worker->isSuccess(), qPrintable(r->worker->errorMsg()));
    QCOMPARE(r->worker->errorMsg(), QStringLiteral("更新成功"));
    // a.bin was started by the constructor, where nothing is connected yet; b.bin
    // is valid in the cache and announced by nothing.
    QCOMPARE(r->started.count(), 1);
    const QList<QVariant> started = r->started.at(0);
    QCOMPARE(started.at(0).value<QFileInfo>().absoluteFilePath(),
             QFileInfo(cachePath(QStringLiteral("c.bin"))).absoluteFilePath());
    QCOMPARE(started.at(1).toInt(), 2);
    QCOMPARE(started.at(2).toInt(), 3);

    const int startIndex = r->log.indexOf(QStringLiteral("started c.bin 2/3"));
    QVERIFY2(startIndex > 0, qPrintable(r->log.join(QLatin1Char('\n'))));
    const QStringList before = r->log.mid(0, startIndex);
    const QStringList after = r->log.mid(startIndex + 1);
    // Without a length Qt reports -1 until the end, then the count as the total.
    QVERIFY2(before.count() >= 2, qPrintable(before.join(QLatin1Char('\n'))));
    for (int i = 0; i < before.count() - 1; ++i)
        QVERIFY2(before.at(i).startsWith(QLatin1String("progress ")) && before.at(i).endsWith(QLatin1String("/-1")),
                 qPrintable(before.at(i)));
    QCOMPARE(before.last(), QStringLiteral("progress %1/%1").arg(a.size()));
    QVERIFY(!after.isEmpty());
    for (const QString &line : after)
        QVERIFY2(line.endsWith(QStringLiteral("/%1").arg(c.size())), qPrintable(line));
    QCOMPARE(after.last(), QStringLiteral("progress %1/%1").arg(c.size()));
    QCOMPARE(r->failed.count(), 0);

    QCOMPARE(m_server->requestCount("/pub/a.bin"), 1);
    QCOMPARE(m_server->requestCount("/pub/b.bin"), 0);
    QCOMPARE(m_server->requestCount("/pub/c.bin"), 1);
    QCOMPARE(readFile(appPath(QStringLiteral("a.bin"))), a);
    QCOMPARE(readFile(appPath(QStringLiteral("b.bin"))), b);
    QCOMPARE(readFile(appPath(QStringLiteral("c.bin"))), c);
}

enum class Place { Nothing, ValidFile, StaleFile, Folder, DanglingLink, Fifo, FileAsParentFolder, SharedHardLink,
                   OwnedHardLink, Staged, StaleStaged };
Q_DECLARE_METATYPE(Place)

void TestCDownloadThread::cachedPlace_data()
{
    QTest::addColumn<Place>("place");
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("requests");

    QTest::newRow("nothing, folders missing") << Place::Nothing << "x/y/z.dll" << 1;
    QTest::newRow("valid file is kept") << Place::ValidFile << "x/z.dll" << 0;
    QTest::newRow("stale file replaced") << Place::StaleFile << "x/z.dll" << 1;
    QTest::newRow("folder with contents removed") << Place::Folder << "x/z.dll" << 1;
    QTest::newRow("dangling link removed") << Place::DanglingLink << "x/z.dll" << 1;
    QTest::newRow("fifo removed") << Place::Fifo << "x/z.dll" << 1;
    QTest::newRow("file where a folder must be") << Place::FileAsParentFolder << "x/y/z.dll" << 1;
    // Another user's file, linked into a cache that anyone may write to: installed
    // as a copy, never as their file object.
    QTest::newRow("hard link in a shared cache") << Place::SharedHardLink << "x/z.dll" << 0;
    QTest::newRow("hard link in another user's cache") << Place::OwnedHardLink << "x/z.dll" << 0;
    QTest::newRow("staged by a killed run") << Place::Staged << "x/z.dll" << 0;
    QTest::newRow("staged file changed since") << Place::StaleStaged << "x/z.dll" << 1;
}

void TestCDownloadThread::cachedPlace()
{
    QFETCH(Place, place);
    QFETCH(QString, path);
    QFETCH(int, requests);

    const QByteArray body = patterned(4000, 'z');
    const QString cached = cachePath(path);
    switch (place) {
    case Place::Nothing:
        break;
    case Place::ValidFile:
        QVERIFY(writeFile(cached, body));
        break;
    case Place::StaleFile:
        QVERIFY(writeFile(cached, "stale"));
        break;
    case Place::Folder:
        QVERIFY(writeFile(cached + QStringLiteral("/inner/file.txt"), "inside"));
        break;
    case Place::DanglingLink:
        QVERIFY(QDir().mkpath(QFileInfo(cached).absolutePath()));
        QVERIFY(QFile::link(QStringLiteral("nowhere"), cached));
        break;
    case Place::Fifo:
#ifdef Q_OS_UNIX
        QVERIFY(QDir().mkpath(QFileInfo(cached).absolutePath()));
        QCOMPARE(::mkfifo(QFile::encodeName(cached).constData(), 0644), 0);
#else
        QSKIP("FIFOs exist only on Unix");
#endif
        break;
    case Place::FileAsParentFolder:
        QVERIFY(writeFile(cachePath(QStringLiteral("x/y")), "in the way"));
        break;
    case Place::SharedHardLink:
    case Place::OwnedHardLink:
#ifdef Q_OS_UNIX
        QVERIFY(writeFile(m_dir->filePath(QStringLiteral("user.bin")), body));
        QVERIFY(QDir().mkpath(QFileInfo(cached).absolutePath()));
        if (place == Place::SharedHardLink)
            QCOMPARE(::chmod(QFile::encodeName(cachePath()).constData(), 0777), 0);
        else
            QCOMPARE(::chown(QFile::encodeName(cachePath()).constData(), 65534, 65534), 0);
        QCOMPARE(::link(QFile::encodeName(m_dir->filePath(QStringLiteral("user.bin"))).constData(),
                        QFile::encodeName(cached).constData()), 0);
#else
        QSKIP("Hard links are planted with the Unix call");
#endif
        break;
    case Place::Staged:
    case Place::StaleStaged:
        QVERIFY(writeFile(appPath(QStringLiteral(".update-Ab12Cd/0")), place == Place::Staged ? body : "stale"));
        break;
    }
    m_server->setRoute("/pub/" + path.toUtf8(), TestHttpServer::ok(body));

    auto r = run({entryFor(path, body)});
    QVERIFY(r->startAndWait());
    QVERIFY2(r->worker->isSuccess(), qPrintable(r->worker->errorMsg()));
    QCOMPARE(m_server->requestCount("/pub/" + path.toUtf8()), requests);
    QCOMPARE(readFile(appPath(path)), body);
    QCOMPARE(filesBelow(cachePath()), QStringList());
    QCOMPARE(QDir(appPath()).entryList({QStringLiteral(".update-*")}, QDir::Dirs | QDir::Hidden), QStringList());
#ifdef Q_OS_UNIX
    struct stat installed;
    QCOMPARE(::stat(QFile::encodeName(appPath(path)).constData(), &installed), 0);
    QCOMPARE(int(installed.st_nlink), 1);
#endif
}

void TestCDownloadThread::downloadFailures_data()
{
    QTest::addColumn<Response>("response");
    QTest::addColumn<bool>("stale");
    QTest::addColumn<QString>("message");

    const QByteArray body = patterned(100 * 1024, 'f');
    const QString network = QStringLiteral("下载更新文件f.bin网络错误");
    const QString size = QStringLiteral("下载更新文件f.bin大小不对");

    QTest::newRow("404") << TestHttpServer::status(404, "not found") << false << network;
    QTest::newRow("404 keeps stale file") << TestHttpServer::status(404, "not found") << true << network;
    Response redirect = TestHttpServer::status(302);
    redirect.headers.append(qMakePair(QByteArray("Location"), QByteArray("/pub/elsewhere.bin")));
    QTest::newRow("redirect not followed") << redirect << false << network;
    // The listed MD5 is that of the whole body: the size check comes first.
    QTest::newRow("complete body one byte short") << TestHttpServer::ok(body.left(body.size() - 1))
                                                  << true << size;
    Response shortUnannounced = TestHttpServer::ok(body.left(body.size() - 1));
    shortUnannounced.framing = TestHttpServer::Framing::CloseDelimited;
    QTest::newRow("close-delimited body one byte short") << shortUnannounced << false << size;
    QTest::newRow("complete body one byte long") << TestHttpServer::ok(body + 'x') << false << size;
    QTest::newRow("reset mid-body") << cut(body, TestHttpServer::Cut::Reset, 40 * 1024) << true
                                    << network;
    QTest::newRow("closed before announced length")
        << cut(body, TestHttpServer::Cut::Close, 40 * 1024) << false << network;
    Response noReply;
    noReply.answer = TestHttpServer::Answer::ResetWithoutReply;
    QTest::newRow("reset without reply") << noReply << false << network;
    QByteArray other = body;
    other[5000] = static_cast<char>(other.at(5000) + 1);
    QTest::newRow("wrong md5") << TestHttpServer::ok(other) << true
                               << QStringLiteral("更新文件f.bin校验不对");
    // Asked for the identity encoding, a compressed answer is refused unread: a bomb
    // is never inflated, and even the right bytes compressed are not the file.
    QTest::newRow("gzip bomb") << TestHttpServer::gzipBomb(256 * 1024 * 1024) << true << network;
    QTest::newRow("the body gzipped") << TestHttpServer::gzipped(body) << false << network;

    // Answers no server should send; each is refused, not guessed at.
    Response malformed = TestHttpServer::ok(body);
    malformed.statusLine = "HTTP/1.1 2x0 OK";
    QTest::newRow("malformed status line") << malformed << false << network;
    Response bigHeaders = TestHttpServer::ok(body);
    bigHeaders.headers.append(qMakePair(QByteArray("X-Padding"), QByteArray(70 * 1024, 'p')));
    QTest::newRow("header section over 64 KiB") << bigHeaders << true << network;
    Response manyHeaders = TestHttpServer::ok(body);
    for (int i = 0; i < 2000; ++i)
        manyHeaders.headers.append(qMakePair("X-Line-" + QByteArray::number(i), QByteArray(30, 'h')));
    QTest::newRow("headers adding up to over 64 KiB") << manyHeaders << false << network;
    Response folded = TestHttpServer::ok(body);
    folded.headers.append(qMakePair(QByteArray("X-Folded"), QByteArray("a\r\n b")));
    QTest::newRow("folded header line") << folded << false << network;
    Response twoLengths = TestHttpServer::ok(body);
    twoLengths.headers.append(qMakePair(QByteArray("Content-Length"), QByteArray::number(body.size())));
    twoLengths.headers.append(qMakePair(QByteArray("Content-Length"), QByteArray::number(body.size() + 1)));
    QTest::newRow("two different lengths") << twoLengths << false << network;
    Response coded = TestHttpServer::ok(body);
    coded.framing = TestHttpServer::Framing::Chunked;
    coded.headers.append(qMakePair(QByteArray("Transfer-Encoding"), QByteArray("gzip, chunked")));
    QTest::newRow("transfer coding besides chunked") << coded << false << network;
    Response badChunk = TestHttpServer::ok("zz\r\n" + body + "\r\n0\r\n\r\n");
    badChunk.framing = TestHttpServer::Framing::CloseDelimited;
    badChunk.headers.append(qMakePair(QByteArray("Transfer-Encoding"), QByteArray("chunked")));
    QTest::newRow("chunk size not hex") << badChunk << false << network;
    Response hugeChunk = badChunk;
    hugeChunk.body = "10000000000000000\r\n" + body + "\r\n0\r\n\r\n";
    QTest::newRow("chunk size past 64 bits") << hugeChunk << false << network;
}

void TestCDownloadThread::downloadFailures()
{
    QFETCH(Response, response);
    QFETCH(bool, stale);
    QFETCH(QString, message);

    const QByteArray body = patterned(100 * 1024, 'f');
    m_server->setRoute("/pub/f.bin", response);
    m_server->setRoute("/pub/elsewhere.bin", TestHttpServer::ok(body));
    if (stale)
        QVERIFY(writeFile(cachePath(QStringLiteral("f.bin")), "stale"));

    auto r = run({entryFor(QStringLiteral("f.bin"), body)});
    QVERIFY(r->startAndWait());
    QCOMPARE(r->worker->errorMsg(), message);
    QVERIFY(!r->worker->isSuccess());
    QCOMPARE(r->failed.count(), 1);
    QCOMPARE(r->failed.at(0).at(0).value<QFileInfo>().absoluteFilePath(),
             QFileInfo(cachePath(QStringLiteral("f.bin"))).absoluteFilePath());
    QCOMPARE(r->failed.at(0).at(1).toString(), message);
    QCOMPARE(m_server->requestsFor("/pub/f.bin").at(0).header("Accept-Encoding"), QByteArray("identity"));

    r->destroy();
#ifndef Q_OS_WIN
    // Under Wine the in-process test server often does not learn within seconds
    // that the worker reset the connection of a refused answer (not understood
    // yet); the worker's side is the same code as here.
    QTRY_COMPARE_WITH_TIMEOUT(m_server->openConnectionCount(), 0, 10000);
#endif
    QCOMPARE(r->failed.count(), 1);
    QCOMPARE(m_server->requestCount("/pub/elsewhere.bin"), 0);
    // No temporary file survives, and a stale file is only replaced by a body
    // that passed every check.
    QCOMPARE(filesBelow(cachePath()), stale ? QStringList{QStringLiteral("f.bin")} : QStringList());
    if (stale)
        QCOMPARE(readFile(cachePath(QStringLiteral("f.bin"))), QByteArray("stale"));
    QCOMPARE(filesBelow(appPath()), QStringList());
}

void TestCDownloadThread::cachedPlaceUnremovable()
{
    const QByteArray first = patterned(2000, '1');
    const QByteArray second = patterned(2000, '2');
    m_server->setRoute("/pub/one.bin", TestHttpServer::ok(first));
    m_server->setRoute("/pub/sub/two.bin", TestHttpServer::ok(second));
    const QString blocked = cachePath(QStringLiteral("sub/two.bin"));
    if (!makeUnremovableFolder(blocked))
        QSKIP("cannot build a folder nested deeper than PATH_MAX here");
    QVERIFY(!QDir(blocked).removeRecursively());

    // The second entry, so that the failure comes after the constructor.
    auto r = run({entryFor(QStringLiteral("one.bin"), first),
                  entryFor(QStringLiteral("sub/two.bin"), second)});
    QVERIFY(r->startAndWait());
    const QString message = QStringLiteral("路径%1被占用，无法删除!")
                                .arg(QFileInfo(blocked).absoluteFilePath());
    QCOMPARE(r->worker->errorMsg(), message);
    QCOMPARE(r->failed.count(), 1);
    QCOMPARE(r->failed.at(0).at(0).value<QFileInfo>().absoluteFilePath(),
             QFileInfo(blocked).absoluteFilePath());
    QCOMPARE(r->failed.at(0).at(1).toString(), message);
    QCOMPARE(m_server->requestCount("/pub/sub/two.bin"), 0);
    // A verified file stays in the cache; nothing is installed.
    QCOMPARE(readFile(cachePath(QStringLiteral("one.bin"))), first);
    QCOMPARE(filesBelow(appPath()), QStringList());
}

void TestCDownloadThread::cacheNotWritable_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("body") << patterned(3000, 'w');
    QTest::newRow("empty body") << QByteArray();
}

void TestCDownloadThread::cacheNotWritable()
{
    QFETCH(QByteArray, body);
    // A file where the cache folder must be: no write below it can succeed, for
    // root too. The cache folder itself is not ours to clear away.
    const QString cacheFile = m_dir->filePath(QStringLiteral("cachefile"));
    QVERIFY(writeFile(cacheFile, "not a folder"));
    m_server->setRoute("/pub/w.bin", TestHttpServer::ok(body));

    WorkerRun r(base(), cacheFile, appPath(), {entryFor(QStringLiteral("w.bin"), body)});
    QVERIFY(r.startAndWait());
    const QString message = QStringLiteral("更新文件w.bin写入失败");
    QCOMPARE(r.worker->errorMsg(), message);
    QCOMPARE(r.failed.count(), 1);
    QCOMPARE(r.failed.at(0).at(0).value<QFileInfo>().absoluteFilePath(),
             QFileInfo(cacheFile + QStringLiteral("/w.bin")).absoluteFilePath());
    QCOMPARE(r.failed.at(0).at(1).toString(), message);
    QCOMPARE(readFile(cacheFile), QByteArray("not a folder"));
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             (QStringList{QStringLiteral("app"), QStringLiteral("cache"), QStringLiteral("cachefile")}));
}

void TestCDownloadThread::unsafePathFails_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("name");
    QTest::newRow("parent folder") << "../escape.bin" << "escape.bin";
    QTest::newRow("parent after folder") << "sub/../../escape.bin" << "escape.bin";
    QTest::newRow("absolute") << "/tmp/escape.bin" << "escape.bin";
    QTest::newRow("drive letter") << "C:/escape.bin" << "escape.bin";
    QTest::newRow("dots and spaces") << "sub/. ./escape.bin" << "escape.bin";
}

void TestCDownloadThread::unsafePathFails()
{
    QFETCH(QString, path);
    QFETCH(QString, name);
    const QByteArray first = patterned(2000, 's');
    m_server->setRoute("/pub/safe.bin", TestHttpServer::ok(first));

    auto r = run({entryFor(QStringLiteral("safe.bin"), first), entryFor(path, "escape")});
    QVERIFY(r->startAndWait());
    const QString message = QStringLiteral("下载更新文件%1失败").arg(name);
    QCOMPARE(r->worker->errorMsg(), message);
    QCOMPARE(r->failed.count(), 1);
    QCOMPARE(r->failed.at(0).at(1).toString(), message);
    QCOMPARE(m_server->requestCount(), 1);
    QCOMPARE(filesBelow(cachePath()), QStringList{QStringLiteral("safe.bin")});
    QCOMPARE(filesBelow(appPath()), QStringList());
    QVERIFY(!QFileInfo::exists(m_dir->filePath(QStringLiteral("escape.bin"))));
}

void TestCDownloadThread::oversizeBodyCutEarly()
{
    // 8 MiB at 64 KiB per 50 ms takes more than six seconds to send whole.
    const QByteArray huge = patterned(8 * 1024 * 1024, 'h');
    Response slow = TestHttpServer::ok(huge);
    slow.writeIntervalMs = 50;
    m_server->setRoute("/pub/big.bin", slow);
    UpdateFileEntry entry = entryFor(QStringLiteral("big.bin"), huge.left(1000));

    QElapsedTimer clock;
    clock.start();
    auto r = run({entry});
    QVERIFY(r->startAndWait(15000));
    QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
    const QString message = QStringLiteral("下载更新文件big.bin大小不对");
    QCOMPARE(r->worker->errorMsg(), message);
    QCOMPARE(r->failed.count(), 1);
    r->destroy();
    QTRY_COMPARE_WITH_TIMEOUT(m_server->openConnectionCount(), 0, 10000);
    QCOMPARE(r->failed.count(), 1);
    QCOMPARE(filesBelow(cachePath()), QStringList());
}

void TestCDownloadThread::speedFloor_data()
{
    QTest::addColumn<Response>("response");
    QTest::addColumn<bool>("aboveFloor");
    const QByteArray body = patterned(50000, 't');
    QTest::newRow("headers then stall") << cut(body, TestHttpServer::Cut::Stall, 0) << false;
    QTest::newRow("stall mid-body") << cut(body, TestHttpServer::Cut::Stall, 20000) << false;
    Response never;
    never.answer = TestHttpServer::Answer::Never;
    QTest::newRow("no answer at all") << never << false;
    // Every byte restarts an idle timer; only a floor on the rate ends this.
    Response trickle = TestHttpServer::ok(body);
    trickle.writeChunkSize = 1;
    trickle.writeIntervalMs = 20;
    QTest::newRow("a byte every 20 ms") << trickle << false;
    // 4 KiB per window of 500 ms, spread over it, 8 KiB/s: slow, but well above
    // both floors.
    Response steady = TestHttpServer::ok(body);
    steady.writeChunkSize = 1024;
    steady.writeIntervalMs = 125;
    steady.cut = TestHttpServer::Cut::Close;
    steady.cutAfterBytes = 12000;
    QTest::newRow("slow but steady, then closed") << steady << true;
    // 1,536 bytes per window, 3 KiB/s: ended once the average is judged (1 s).
    steady.writeChunkSize = 384;
    steady.cut = TestHttpServer::Cut::None;
    QTest::newRow("steady but below the average floor") << steady << false;
}

void TestCDownloadThread::speedFloor()
{
    QFETCH(Response, response);
    QFETCH(bool, aboveFloor);
    const QByteArray body = patterned(50000, 't');
    m_server->setRoute("/pub/t.bin", response);
    QElapsedTimer clock;
    clock.start();
    auto r = run({entryFor(QStringLiteral("t.bin"), body)});
    r->worker->setTransferTimeout(500);
    QVERIFY(r->startAndWait(10000));
    // Qt's coarse timers may fire up to 5 % early.
    QVERIFY2(clock.elapsed() >= 470, qPrintable(QString::number(clock.elapsed())));
    // Above the floor the transfer runs on until the server cuts it, 12 writes later.
    if (aboveFloor)
        QVERIFY2(clock.elapsed() >= 11 * 125, qPrintable(QString::number(clock.elapsed())));
    else
        QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
    const QString message = QStringLiteral("下载更新文件t.bin网络错误");
    QCOMPARE(r->worker->errorMsg(), message);
    QCOMPARE(r->failed.count(), 1);
    QCOMPARE(r->failed.at(0).at(1).toString(), message);
    QCOMPARE(filesBelow(cachePath()), QStringList());
}

void TestCDownloadThread::severalInFlight_data()
{
    QTest::addColumn<bool>("failing");
    QTest::newRow("all arrive") << false;
    QTest::newRow("one fails") << true;
}

void TestCDownloadThread::severalInFlight()
{
    QFETCH(bool, failing);
    // Five files, three at once: a comes at once, b and d are slow, c is slow too or
    // fails after a moment, e waits for a free slot.
    QList<UpdateFileEntry> files;
    for (const char name : QByteArray("abcde")) {
        const QString file = QString(QLatin1Char(name)) + QStringLiteral(".bin");
        const QByteArray body = patterned(3000 + name, name);
        Response response = TestHttpServer::ok(body);
        response.delayMs = name == 'a' ? 0 : 600;
        if (failing && name == 'c') {
            response = TestHttpServer::status(404);
            response.delayMs = 200;
        }
        m_server->setRoute("/pub/" + file.toUtf8(), response);
        files.append(entryFor(file, body));
    }
    auto r = run(files, 3);
    QVERIFY(r->startAndWait(10000));
    // Requested in list order, each announced just before its request.
    const QList<TestHttpServer::Request> requests = m_server->requests();
    QStringList started;
    for (const QString &line : qAsConst(r->log)) {
        if (line.startsWith(QLatin1String("started ")))
            started.append(line);
    }
    if (!failing) {
        QVERIFY2(r->worker->isSuccess(), qPrintable(r->worker->errorMsg()));
        // Each once. Sent in list order (see started below), they may still reach the
        // server out of it: one sent on a kept connection overtakes one still connecting.
        QList<QByteArray> targets;
        for (const TestHttpServer::Request &request : requests)
            targets.append(request.target);
        std::sort(targets.begin(), targets.end());
        QCOMPARE(targets, (QList<QByteArray>{"/pub/a.bin", "/pub/b.bin", "/pub/c.bin", "/pub/d.bin",
                                             "/pub/e.bin"}));
        // b, c and d were under way together: three connections.
        QVERIFY(m_server->connectionCount() >= 3);
        // The constructor's own request (a) reaches no receiver, like in the updater.
        QCOMPARE(started, (QStringList{QStringLiteral("started b.bin 1/5"), QStringLiteral("started c.bin 2/5"),
                                       QStringLiteral("started d.bin 3/5"), QStringLiteral("started e.bin 4/5")}));
        QCOMPARE(filesBelow(appPath()).size(), 5);
        return;
    }
    // The first failure is the one reported; nothing further is requested, the
    // transfers under way stop, and what was verified stays in the cache.
    QCOMPARE(r->worker->errorMsg(), QStringLiteral("下载更新文件c.bin网络错误"));
    QCOMPARE(r->failed.count(), 1);
    QCOMPARE(m_server->requestCount("/pub/e.bin"), 0);
    QCOMPARE(filesBelow(cachePath()), QStringList{QStringLiteral("a.bin")});
    r->destroy();
    QTRY_COMPARE_WITH_TIMEOUT(m_server->openConnectionCount(), 0, 3000);
    QCOMPARE(m_server->requestCount("/pub/e.bin"), 0);
    QCOMPARE(filesBelow(appPath()), QStringList());
}

void TestCDownloadThread::cancelStopsTheRun_data()
{
    QTest::addColumn<bool>("interrupt");
    QTest::addColumn<bool>("serverFallsSilent");
    QTest::newRow("quit and requestInterruption") << true << false;
    QTest::newRow("quit only") << false << false;
    // No notification of the reply comes after the cancel to notice it.
    QTest::newRow("quit and requestInterruption, then silence") << true << true;
    QTest::newRow("quit only, then silence") << false << true;
}

void TestCDownloadThread::cancelStopsTheRun()
{
    QFETCH(bool, interrupt);
    QFETCH(bool, serverFallsSilent);
    const QByteArray first = patterned(640 * 1024, '1');
    const QByteArray second = patterned(1000, '2');
    Response slow = TestHttpServer::ok(first);
    slow.writeChunkSize = 32 * 1024;
    slow.writeIntervalMs = 100; // two seconds for the whole body
    // Qt reports progress at most every 100 ms from the request on: a first chunk
    // arriving sooner is announced only with the next one.
    slow.delayMs = 200;
    if (serverFallsSilent) {
        slow.cut = TestHttpServer::Cut::Stall;
        slow.cutAfterBytes = 32 * 1024;
    }
    m_server->setRoute("/pub/one.bin", slow);
    m_server->setRoute("/pub/two.bin", TestHttpServer::ok(second));

    auto r = run({entryFor(QStringLiteral("one.bin"), first),
                  entryFor(QStringLiteral("two.bin"), second)});
    CDownloadThread *worker = r->worker.get();
    // What the progress dialog's cancel button does.
    QObject::connect(worker, &CDownloadThread::downloadProgress, worker,
                     [worker, interrupt](int64_t received, int64_t) {
        if (received > 0 && !worker->isFinished()) {
            if (interrupt)
                worker->requestInterruption();
            worker->quit();
        }
    });
    QVERIFY(r->startAndWait());
    // The request in flight is aborted; left running it would keep its connection
    // open for reuse and complete after two seconds.
    QTRY_COMPARE_WITH_TIMEOUT(m_server->openConnectionCount(), 0, 1500);
    QVERIFY(!worker->isSuccess());
    QCOMPARE(worker->errorMsg(), QString());
    QCOMPARE(r->failed.count(), 0);
    QCOMPARE(r->started.count(), 0);
    QCOMPARE(m_server->requestCount("/pub/two.bin"), 0);
    QCOMPARE(filesBelow(cachePath()), QStringList());
    QCOMPARE(filesBelow(appPath()), QStringList());
}

void TestCDownloadThread::pathIsEncodedInAddress_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<bool>("replaced");   // an older file lies there and is set aside
    QTest::newRow("hash") << "a#b.txt" << QByteArray("/pub/a%23b.txt") << false;
    QTest::newRow("question mark") << "sub/what?x=1.txt" << QByteArray("/pub/sub/what%3Fx=1.txt") << false;
    QTest::newRow("space and Chinese") << QStringLiteral("my dir/中文.txt")
                                       << QByteArray("/pub/my%20dir/%E4%B8%AD%E6%96%87.txt") << true;
    // Cached and installed paths past Windows' 260 characters, temporary names too;
    // replacing one goes through the wide calls in their long form.
    const QString folder = QString(60, QLatin1Char('f')) + QLatin1Char('/');
    const QString deep = folder + folder + folder + QString(60, QLatin1Char('n')) + QStringLiteral(".txt");
    QTest::newRow("path past 260 characters") << deep << QByteArray("/pub/" + deep.toLatin1()) << false;
    QTest::newRow("replacing past 260 characters") << deep << QByteArray("/pub/" + deep.toLatin1()) << true;
}

void TestCDownloadThread::pathIsEncodedInAddress()
{
    QFETCH(QString, path);
    QFETCH(QByteArray, target);
    QFETCH(bool, replaced);
    if (!isSafeRelativePath(path))
        QSKIP("not a file name on this system");
    const QByteArray body = patterned(700, 'e');
    m_server->setRoute(target, TestHttpServer::ok(body));
    if (replaced)
        QVERIFY(writeFile(appPath(path), "older"));

    auto r = run({entryFor(path, body)});
    QVERIFY(r->startAndWait());
    QVERIFY2(r->worker->isSuccess(), qPrintable(r->worker->errorMsg()));
    QCOMPARE(m_server->requestCount(), 1);
    QCOMPARE(m_server->requests().at(0).target, target);
    QCOMPARE(readFile(appPath(path)), body);
    if (replaced)
        QCOMPARE(readFile(appPath(path + QStringLiteral(".old"))), QByteArray("older"));
    QCOMPARE(filesBelow(cachePath()), QStringList()); // nothing half-written left behind
}

void TestCDownloadThread::unusualAnswersArrive_data()
{
    QTest::addColumn<Response>("response");
    const QByteArray body = patterned(200 * 1024 + 17, 'u');

    QByteArray chunks;
    for (int at = 0; at < body.size(); at += 70000)
        chunks += QByteArray::number(qMin(70000, body.size() - at), 16) + ";name=value\r\n"
                  + body.mid(at, 70000) + "\r\n";
    Response extended = TestHttpServer::ok(chunks + "0\r\nX-Checksum: none\r\n\r\n");
    extended.framing = TestHttpServer::Framing::CloseDelimited;
    extended.headers.append(qMakePair(QByteArray("Transfer-Encoding"), QByteArray("chunked")));
    QTest::newRow("chunk extensions and a trailer") << extended;
    Response padded = extended;
    padded.body = QByteArray::number(body.size(), 16).rightJustified(16, '0') + "\r\n" + body + "\r\n"
                  + QByteArray(16, '0') + "\r\n\r\n";
    QTest::newRow("chunk sizes in sixteen digits") << padded;
    Response small = TestHttpServer::ok(body);
    small.framing = TestHttpServer::Framing::Chunked;
    small.writeChunkSize = 1000;
    QTest::newRow("many small chunks") << small;
    Response old = TestHttpServer::ok(body);
    old.statusLine = "HTTP/1.0 200 OK";
    old.framing = TestHttpServer::Framing::CloseDelimited;
    QTest::newRow("HTTP/1.0 until the close") << old;
    Response interim = TestHttpServer::ok(body);
    interim.statusLine = "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK";
    QTest::newRow("an interim answer first") << interim;
    Response repeated = TestHttpServer::ok(body);
    repeated.headers.append(qMakePair(QByteArray("Content-Length"), QByteArray::number(body.size())));
    repeated.headers.append(qMakePair(QByteArray("content-length"), QByteArray::number(body.size())));
    QTest::newRow("the same length twice") << repeated;
    // Read as the next file's answer, it would fail that file's check.
    Response stray = TestHttpServer::ok(body);
    stray.strayBytes = "HTTP/1.1 200 OK\r\nContent-Length: 3000\r\n\r\n" + patterned(3000, 's');
    QTest::newRow("a stray answer on the idle connection") << stray;
}

void TestCDownloadThread::unusualAnswersArrive()
{
    QFETCH(Response, response);
    const QByteArray body = patterned(200 * 1024 + 17, 'u');
    const QByteArray next = patterned(3000, 'v');
    m_server->setRoute("/pub/u.bin", response);
    m_server->setRoute("/pub/v.bin", TestHttpServer::ok(next));
    // v.bin follows on the same connection, where the answer leaves it open.
    auto r = run({entryFor(QStringLiteral("u.bin"), body), entryFor(QStringLiteral("v.bin"), next)});
    // Sent once u.bin's connection is kept, while the worker is busy (a scanner
    // holding the file just written, say): Qt has not read them when v.bin is asked for.
    if (!response.strayBytes.isEmpty())
        QObject::connect(r->worker.get(), &CDownloadThread::downloadStarted, r->worker.get(),
                         [this] { m_server->sendStrayBytes(); });
    QVERIFY(r->startAndWait());
    QVERIFY2(r->worker->isSuccess(), qPrintable(r->worker->errorMsg()));
    QCOMPARE(readFile(appPath(QStringLiteral("u.bin"))), body);
    QCOMPARE(readFile(appPath(QStringLiteral("v.bin"))), next);
    if (!response.strayBytes.isEmpty())
        QCOMPARE(m_server->connectionCount(), 2);
}

void TestCDownloadThread::keptConnections()
{
    // One connection serves file after file; when the server closes a kept one just
    // as the next request goes out on it, the request is sent again on a new one.
    QList<UpdateFileEntry> files;
    for (const char name : QByteArray("abcd")) {
        const QByteArray body = patterned(5000 + name, name);
        Response response = TestHttpServer::ok(body);
        if (name == 'b') {
            response.cut = TestHttpServer::Cut::Close;
            response.cutAfterBytes = body.size();
            response.cutDelayMs = 300;
        }
        m_server->setRoute("/pub/" + QByteArray(1, name) + ".bin", response);
        files.append(entryFor(QString(QLatin1Char(name)) + QStringLiteral(".bin"), body));
    }
    auto r = run(files);
    QVERIFY(r->startAndWait());
    QVERIFY2(r->worker->isSuccess(), qPrintable(r->worker->errorMsg()));
    QCOMPARE(filesBelow(appPath()).size(), 4);
    QCOMPARE(m_server->connectionCount(), 2);
    QCOMPARE(m_server->requestCount("/pub/d.bin"), 1);
}

void TestCDownloadThread::nothingListening()
{
    // A refused connection fails the file at once, not when its speed window ends.
    QTcpServer closed;
    QVERIFY(closed.listen(QHostAddress::LocalHost));
    const QString url = QStringLiteral("http://127.0.0.1:%1/pub/").arg(closed.serverPort());
    closed.close();
    const QByteArray body = patterned(100, 'n');
    WorkerRun r(url, cachePath(), appPath(), {entryFor(QStringLiteral("n.bin"), body)});
    QVERIFY(r.startAndWait(5000));
    QCOMPARE(r.worker->errorMsg(), QStringLiteral("下载更新文件n.bin网络错误"));
    QCOMPARE(r.failed.count(), 1);
}

void TestCDownloadThread::endsInConstructor_data()
{
    QTest::addColumn<bool>("cached");
    QTest::newRow("empty list") << false;
    QTest::newRow("every entry valid in the cache") << true;
}

void TestCDownloadThread::endsInConstructor()
{
    QFETCH(bool, cached);
    QList<UpdateFileEntry> files;
    if (cached) {
        const QByteArray one = patterned(100, 'o');
        const QByteArray two = patterned(200, 't');
        QVERIFY(writeFile(cachePath(QStringLiteral("one.bin")), one));
        QVERIFY(writeFile(cachePath(QStringLiteral("d/two.bin")), two));
        files = {entryFor(QStringLiteral("one.bin"), one), entryFor(QStringLiteral("d/two.bin"), two)};
    }
    auto r = run(files);
    // Installed before anyone could start the thread.
    QVERIFY(r->worker->isSuccess());
    QCOMPARE(r->worker->errorMsg(), QStringLiteral("更新成功"));
    QCOMPARE(filesBelow(appPath()), cached ? (QStringList{QStringLiteral("d/two.bin"), QStringLiteral("one.bin")})
                                           : QStringList());
    QVERIFY(r->startAndWait(5000));
    QCOMPARE(r->finishedCount, 1);
    QCOMPARE(m_server->requestCount(), 0);
    QCOMPARE(r->started.count(), 0);
}

void TestCDownloadThread::quitBeforeStartStillEnds()
{
    const QByteArray body = patterned(2000, 'q');
    Response late = TestHttpServer::ok(body);
    late.delayMs = 200;
    m_server->setRoute("/pub/q.bin", late);
    auto r = run({entryFor(QStringLiteral("q.bin"), body)});
    // Qt forgets a quit() before start(); the run ends the loop itself when done.
    r->worker->quit();
    QVERIFY(r->startAndWait());
    QVERIFY2(r->worker->isSuccess(), qPrintable(r->worker->errorMsg()));
    QCOMPARE(readFile(appPath(QStringLiteral("q.bin"))), body);
}

qint64 TestCDownloadThread::cutOff(const QString &path, const QList<UpdateFileEntry> &files,
                                   const Response &first, const QString &message)
{
    m_server->setRoute("/pub/" + path.toUtf8(), first);
    auto r = run(files);
    r->worker->setTransferTimeout(500);
    if (!r->startAndWait())
        return -1;
    if (r->worker->errorMsg() != message) {
        qWarning("first run: %s", qPrintable(r->worker->errorMsg()));
        return -1;
    }
    r->destroy();
    const QFileInfo kept(cachePath(path + QStringLiteral(".partial")));
    m_server->clearRequests();
    return kept.exists() ? kept.size() : 0;
}

void TestCDownloadThread::keptAfterFailure_data()
{
    QTest::addColumn<Response>("first");
    QTest::addColumn<QString>("alsoListed"); // a second, small entry after f.bin
    QTest::addColumn<qint64>("cancelAt");    // bytes after which the run is cancelled; 0: not
    QTest::addColumn<QString>("message");    // of the first run
    QTest::addColumn<qint64>("keptMin");     // 0: nothing may be kept
    QTest::addColumn<qint64>("keptMax");

    const QByteArray body = bigBody();
    const QString network = QStringLiteral("下载更新文件f.bin网络错误");
    const HeaderList etag{{"ETag", Etag}};
    const auto cutAt = [&](TestHttpServer::Cut how, qint64 after, const HeaderList &headers) {
        return withHeaders(cut(body, how, after), headers);
    };
    // Network failures keep what arrived. When a connection fails, Qt may drop what
    // its reply still buffered (up to the 256 KiB read buffer): not all of it is kept.
    QTest::newRow("closed mid-body") << cutAt(TestHttpServer::Cut::Close, KeptBytes, etag) << QString()
                                     << qint64(0) << network << qint64(KeptBytes - 256 * 1024)
                                     << qint64(KeptBytes);
    // A reset also drops what the kernel had not handed over yet; after a pause nothing is left.
    Response reset = cutAt(TestHttpServer::Cut::Reset, KeptBytes, etag);
    reset.cutDelayMs = 300;
    QTest::newRow("reset mid-body") << reset << QString() << qint64(0) << network
                                    << qint64(KeptBytes - 256 * 1024) << qint64(KeptBytes);
    QTest::newRow("stalled below the speed floor") << cutAt(TestHttpServer::Cut::Stall, KeptBytes, etag)
                                                   << QString() << qint64(0) << network
                                                   << qint64(KeptBytes) << qint64(KeptBytes);
    // Qt 5 may finish a reset reply without an error, shorter than announced; this
    // server makes that happen every time: its chunked body ends early.
    Response shortOfAnnounced = withHeaders(TestHttpServer::ok(body.left(KeptBytes)),
                                            {{"ETag", Etag}, {"Content-Length", QByteArray::number(BigSize)}});
    shortOfAnnounced.framing = TestHttpServer::Framing::Chunked;
    QTest::newRow("ended short of its announced length") << shortOfAnnounced << QString() << qint64(0)
                                                          << QStringLiteral("下载更新文件f.bin大小不对")
                                                          << qint64(KeptBytes) << qint64(KeptBytes);
    QTest::newRow("only a Last-Modified") << cutAt(TestHttpServer::Cut::Stall, KeptBytes, {{"Last-Modified", Date}})
                                          << QString() << qint64(0) << network << qint64(KeptBytes)
                                          << qint64(KeptBytes);
    Response slow = withHeaders(TestHttpServer::ok(body), etag);
    slow.writeChunkSize = 128 * 1024;
    slow.writeIntervalMs = 40;
    QTest::newRow("cancelled") << slow << QString() << qint64(3 * 512 * 1024) << QString()
                               << qint64(3 * 512 * 1024) << qint64(BigSize - 1);
    // Too little to be worth a resume, or nothing to present in If-Range.
    QTest::newRow("closed before 1 MiB") << cutAt(TestHttpServer::Cut::Close, 512 * 1024, etag) << QString()
                                         << qint64(0) << network << qint64(0) << qint64(0);
    QTest::newRow("no validator") << cutAt(TestHttpServer::Cut::Close, KeptBytes, {}) << QString() << qint64(0)
                                  << network << qint64(0) << qint64(0);
    QTest::newRow("weak ETag only") << cutAt(TestHttpServer::Cut::Close, KeptBytes, {{"ETag", "W/" + Etag}})
                                    << QString() << qint64(0) << network << qint64(0) << qint64(0);
    // A listed file lies where the bytes or their record would: never kept there.
    QTest::newRow("a listed file at the place of the record")
        << cutAt(TestHttpServer::Cut::Close, KeptBytes, etag) << QStringLiteral("f.bin.partial.info")
        << qint64(0) << network << qint64(0) << qint64(0);
    QTest::newRow("a listed file at the place of the bytes, other case")
        << cutAt(TestHttpServer::Cut::Close, KeptBytes, etag) << QStringLiteral("F.BIN.partial")
        << qint64(0) << network << qint64(0) << qint64(0);
    // Failed checks keep nothing.
    QByteArray other = body;
    other[BigSize - 10] = static_cast<char>(other.at(BigSize - 10) + 1);
    QTest::newRow("wrong md5") << withHeaders(TestHttpServer::ok(other), etag) << QString() << qint64(0)
                               << QStringLiteral("更新文件f.bin校验不对") << qint64(0) << qint64(0);
    QTest::newRow("body too long") << withHeaders(TestHttpServer::ok(body + "more"), etag) << QString()
                                   << qint64(0) << QStringLiteral("下载更新文件f.bin大小不对") << qint64(0)
                                   << qint64(0);
    QTest::newRow("404") << withHeaders(TestHttpServer::status(404, body), etag) << QString() << qint64(0)
                         << network << qint64(0) << qint64(0);
}

void TestCDownloadThread::keptAfterFailure()
{
    QFETCH(Response, first);
    QFETCH(QString, alsoListed);
    QFETCH(qint64, cancelAt);
    QFETCH(QString, message);
    QFETCH(qint64, keptMin);
    QFETCH(qint64, keptMax);

    const QByteArray body = bigBody();
    QList<UpdateFileEntry> files{entryFor(QStringLiteral("f.bin"), body)};
    if (!alsoListed.isEmpty()) {
        files.append(entryFor(alsoListed, "small"));
        m_server->setRoute("/pub/" + alsoListed.toUtf8(), TestHttpServer::ok("small"));
    }
    m_server->setRoute("/pub/f.bin", first);
    auto r = run(files);
    r->worker->setTransferTimeout(500);
    CDownloadThread *worker = r->worker.get();
    if (cancelAt > 0) {
        // What the progress dialog's cancel button does.
        QObject::connect(worker, &CDownloadThread::downloadProgress, worker,
                         [worker, cancelAt](int64_t received, int64_t) {
            if (received >= cancelAt && !worker->isFinished()) {
                worker->requestInterruption();
                worker->quit();
            }
        });
    }
    QVERIFY(r->startAndWait());
    QCOMPARE(worker->errorMsg(), message);
    r->destroy();

    const QString partial = cachePath(QStringLiteral("f.bin.partial"));
    const qint64 kept = QFileInfo(partial).size();
    if (keptMin == 0) {
        QCOMPARE(filesBelow(cachePath()), QStringList());
    } else {
        QVERIFY2(kept >= keptMin && kept <= keptMax, qPrintable(QString::number(kept)));
        QCOMPARE(readFile(partial), body.left(int(kept)));
        QCOMPARE(filesBelow(cachePath()),
                 (QStringList{QStringLiteral("f.bin.partial"), QStringLiteral("f.bin.partial.info")}));
    }

    // The next attempt asks for the rest only, and only when something was kept.
    m_server->clearRequests();
    m_server->setRoute("/pub/f.bin", ranged(body, {{"ETag", Etag}, {"Last-Modified", Date}}));
    auto again = run(files);
    QVERIFY(again->startAndWait());
    QVERIFY2(again->worker->isSuccess(), qPrintable(again->worker->errorMsg()));
    const QList<TestHttpServer::Request> requests = m_server->requestsFor("/pub/f.bin");
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests.at(0).header("Range"), keptMin ? rangeFrom(kept) : QByteArray());
    const QByteArray validator = first.headers.value(0).first == "ETag" ? Etag : Date;
    QCOMPARE(requests.at(0).header("If-Range"), keptMin ? validator : QByteArray());
    QCOMPARE(readFile(appPath(QStringLiteral("f.bin"))), body);
    QCOMPARE(filesBelow(cachePath()), QStringList());
}

void TestCDownloadThread::resumeAnswers_data()
{
    QTest::addColumn<HeaderList>("validators"); // of the answer that was cut off
    QTest::addColumn<QList<Response>>("answers"); // to the attempt that resumes
    QTest::addColumn<QByteArray>("ifRange");
    QTest::addColumn<QList<QByteArray>>("ranges"); // Range of each request of that attempt
    QTest::addColumn<QString>("message");       // empty: success
    QTest::addColumn<qint64>("keptAfter");

    const QByteArray body = bigBody();
    const QByteArray rest = body.mid(KeptBytes);
    const QByteArray range = rangeFrom(KeptBytes);
    const QByteArray contentRange = "bytes 2097152-3145727/3145728";
    const HeaderList etag{{"ETag", Etag}};
    const HeaderList date{{"Last-Modified", Date}};
    const HeaderList weakAndDate{{"ETag", "W/" + Etag}, {"Last-Modified", Date}};
    const QString network = QStringLiteral("下载更新文件f.bin网络错误");

    QTest::newRow("206 with the rest") << etag << QList<Response>{ranged(body)} << Etag
                                       << QList<QByteArray>{range} << QString() << qint64(0);
    QTest::newRow("Last-Modified without ETag") << date << QList<Response>{ranged(body, date)} << Date
                                                << QList<QByteArray>{range} << QString() << qint64(0);
    QTest::newRow("Last-Modified beside a weak ETag") << weakAndDate << QList<Response>{ranged(body, weakAndDate)}
                                                      << Date << QList<QByteArray>{range} << QString() << qint64(0);
    // Whole bodies: the server ignores Range, or its file is another version now.
    QTest::newRow("Range ignored, 200") << etag << QList<Response>{withHeaders(TestHttpServer::ok(body), etag)}
                                        << Etag << QList<QByteArray>{range} << QString() << qint64(0);
    QTest::newRow("validator changed, same bytes: 200")
        << etag << QList<Response>{ranged(body, {{"ETag", "\"v2\""}})} << Etag << QList<QByteArray>{range}
        << QString() << qint64(0);
    // Answers that do not fit the kept bytes: dropped, the whole body asked for.
    QList<Response> unsatisfiable{withHeaders(TestHttpServer::status(416), {{"Content-Range", "bytes */3145728"}}),
                                  ranged(body)};
    QTest::newRow("416") << etag << unsatisfiable << Etag << QList<QByteArray>{range, QByteArray()}
                         << QString() << qint64(0);
    QTest::newRow("Content-Range of another start")
        << etag << QList<Response>{partialContent(body.mid(1024 * 1024), "bytes 1048576-3145727/3145728"), ranged(body)}
        << Etag << QList<QByteArray>{range, QByteArray()} << QString() << qint64(0);
    QTest::newRow("Content-Range of another length")
        << etag << QList<Response>{partialContent(rest + 'x', "bytes 2097152-3145728/3145729"), ranged(body)}
        << Etag << QList<QByteArray>{range, QByteArray()} << QString() << qint64(0);
    QTest::newRow("Content-Range missing") << etag << QList<Response>{partialContent(rest, QByteArray()), ranged(body)}
                                           << Etag << QList<QByteArray>{range, QByteArray()} << QString() << qint64(0);
    QTest::newRow("206 with another ETag")
        << etag << QList<Response>{partialContent(rest, contentRange, "\"v2\""), ranged(body)}
        << Etag << QList<QByteArray>{range, QByteArray()} << QString() << qint64(0);
    // The server's file changed behind an unchanged validator: the whole file's
    // check still catches it, and nothing of it is kept.
    QByteArray changed = body;
    changed[BigSize - 100] = static_cast<char>(changed.at(BigSize - 100) + 1);
    QTest::newRow("content changed, validator kept") << etag << QList<Response>{ranged(changed)} << Etag
                                                     << QList<QByteArray>{range}
                                                     << QStringLiteral("更新文件f.bin校验不对") << qint64(0);
    QTest::newRow("206 longer than the rest") << etag << QList<Response>{partialContent(rest + "more", contentRange)}
                                              << Etag << QList<QByteArray>{range}
                                              << QStringLiteral("下载更新文件f.bin大小不对") << qint64(0);
    QTest::newRow("404") << etag << QList<Response>{TestHttpServer::status(404)} << Etag
                         << QList<QByteArray>{range} << network << qint64(0);
    // Refused before its header block ended: no answer, whatever its status line said.
    QTest::newRow("206 with headers over 64 KiB keeps them")
        << etag << QList<Response>{withHeaders(partialContent(rest, contentRange),
                                               {{"X-Padding", QByteArray(70 * 1024, 'p')}})}
        << Etag << QList<QByteArray>{range} << network << qint64(KeptBytes);
    QTest::newRow("503 keeps them") << etag << QList<Response>{TestHttpServer::status(503)} << Etag
                                    << QList<QByteArray>{range} << network << qint64(KeptBytes);
    QTest::newRow("206 gzipped") << etag
                                 << QList<Response>{withHeaders(partialContent(rest, contentRange),
                                                                {{"Content-Encoding", "gzip"}})}
                                 << Etag << QList<QByteArray>{range} << network << qint64(0);
    // Cut off again: what arrived this time is kept as well.
    Response cutAgain = ranged(body);
    cutAgain.cut = TestHttpServer::Cut::Stall;
    cutAgain.cutAfterBytes = 512 * 1024;
    QTest::newRow("cut off again") << etag << QList<Response>{cutAgain} << Etag << QList<QByteArray>{range}
                                   << network << qint64(KeptBytes + 512 * 1024);
}

void TestCDownloadThread::resumeAnswers()
{
    QFETCH(HeaderList, validators);
    QFETCH(QList<Response>, answers);
    QFETCH(QByteArray, ifRange);
    QFETCH(QList<QByteArray>, ranges);
    QFETCH(QString, message);
    QFETCH(qint64, keptAfter);

    const QByteArray body = bigBody();
    const QList<UpdateFileEntry> files{entryFor(QStringLiteral("f.bin"), body)};
    // Stalled, not closed: every byte sent arrives before the speed floor ends it.
    const Response first = withHeaders(cut(body, TestHttpServer::Cut::Stall, KeptBytes), validators);
    QCOMPARE(cutOff(QStringLiteral("f.bin"), files, first, QStringLiteral("下载更新文件f.bin网络错误")),
             qint64(KeptBytes));

    m_server->setRouteSequence("/pub/f.bin", answers);
    auto r = run(files);
    r->worker->setTransferTimeout(500);
    QVERIFY(r->startAndWait());
    QCOMPARE(r->worker->errorMsg(), message.isEmpty() ? QStringLiteral("更新成功") : message);
    const QList<TestHttpServer::Request> requests = m_server->requestsFor("/pub/f.bin");
    QList<QByteArray> sent;
    for (const TestHttpServer::Request &request : requests)
        sent.append(request.header("Range"));
    QCOMPARE(sent, ranges);
    QCOMPARE(requests.at(0).header("If-Range"), ifRange);
    // Only a request for the rest presents the validator.
    for (int i = 1; i < requests.size(); ++i)
        QCOMPARE(requests.at(i).header("If-Range"), QByteArray());
    r->destroy();

    const QString partial = cachePath(QStringLiteral("f.bin.partial"));
    if (keptAfter > 0) {
        QCOMPARE(readFile(partial), body.left(int(keptAfter)));
    } else {
        QVERIFY(!QFileInfo::exists(partial));
        QVERIFY(!QFileInfo::exists(partial + QStringLiteral(".info")));
    }
    if (!message.isEmpty()) {
        QCOMPARE(filesBelow(appPath()), QStringList());
        return;
    }
    QCOMPARE(readFile(appPath(QStringLiteral("f.bin"))), body);
    QCOMPARE(filesBelow(cachePath()), QStringList());
    // The file bar covers the whole file, kept bytes included, and ends full.
    QVERIFY(!r->log.isEmpty());
    for (const QString &line : qAsConst(r->log)) {
        const QStringList figures = line.mid(int(qstrlen("progress "))).split(QLatin1Char('/'));
        QVERIFY2(line.startsWith(QLatin1String("progress ")) && figures.value(1) == QString::number(BigSize)
                     && figures.value(0).toLongLong() <= BigSize,
                 qPrintable(line));
    }
    QCOMPARE(r->log.last(), QStringLiteral("progress %1/%1").arg(BigSize));
}

enum class Stale { Unlisted, Md5Changed, SizeChanged, LongerThanEntry, Complete, CompleteButWrong,
                   BytesWithoutRecord, RecordWithoutBytes, CachedCopyValid, InstalledFileValid };
Q_DECLARE_METATYPE(Stale)

void TestCDownloadThread::staleKeptBodies_data()
{
    QTest::addColumn<Stale>("stale");
    QTest::addColumn<int>("requests");
    QTest::newRow("entry no longer listed") << Stale::Unlisted << 0;
    QTest::newRow("MD5 text changed") << Stale::Md5Changed << 1;
    QTest::newRow("size changed") << Stale::SizeChanged << 1;
    QTest::newRow("kept bytes longer than the entry") << Stale::LongerThanEntry << 1;
    // Cut off between the last byte and the commit: nothing left to fetch.
    QTest::newRow("kept bytes complete") << Stale::Complete << 0;
    QTest::newRow("kept bytes complete, but other bytes") << Stale::CompleteButWrong << 1;
    QTest::newRow("bytes without their record") << Stale::BytesWithoutRecord << 1;
    QTest::newRow("record without its bytes") << Stale::RecordWithoutBytes << 1;
    QTest::newRow("valid copy in the cache") << Stale::CachedCopyValid << 0;
    QTest::newRow("installed file already valid") << Stale::InstalledFileValid << 0;
}

void TestCDownloadThread::staleKeptBodies()
{
    QFETCH(Stale, stale);
    QFETCH(int, requests);
    const QString path = QStringLiteral("sub/f.bin");
    const QByteArray body = bigBody();
    const Response first = withHeaders(cut(body, TestHttpServer::Cut::Stall, KeptBytes), {{"ETag", Etag}});
    QCOMPARE(cutOff(path, {entryFor(path, body)}, first, QStringLiteral("下载更新文件f.bin网络错误")),
             qint64(KeptBytes));

    const QString partial = cachePath(path + QStringLiteral(".partial"));
    QByteArray listed = body;
    QList<UpdateFileEntry> files;
    switch (stale) {
    case Stale::Unlisted:
        files.append(entryFor(QStringLiteral("g.bin"), "another file"));
        m_server->setRoute("/pub/g.bin", TestHttpServer::ok("another file"));
        break;
    case Stale::Md5Changed:
        listed = bigBody('m');
        break;
    case Stale::SizeChanged:
        // The kept bytes are even the beginning of the new file: still not trusted.
        listed = body.left(KeptBytes + 4096);
        break;
    case Stale::LongerThanEntry:
        QVERIFY(writeFile(partial, body + "beyond"));
        break;
    case Stale::Complete:
        QVERIFY(writeFile(partial, body));
        break;
    case Stale::CompleteButWrong:
        QVERIFY(writeFile(partial, bigBody('w')));
        break;
    case Stale::BytesWithoutRecord:
        QVERIFY(QFile::remove(partial + QStringLiteral(".info")));
        break;
    case Stale::RecordWithoutBytes:
        QVERIFY(QFile::remove(partial));
        break;
    case Stale::CachedCopyValid:
        QVERIFY(writeFile(cachePath(path), body));
        break;
    case Stale::InstalledFileValid:
        QVERIFY(writeFile(appPath(path), body));
        break;
    }
    if (files.isEmpty())
        files.append(entryFor(path, listed));
    m_server->setRoute("/pub/sub/f.bin", ranged(listed));

    auto r = run(files);
    QVERIFY(r->startAndWait());
    QVERIFY2(r->worker->isSuccess(), qPrintable(r->worker->errorMsg()));
    const QList<TestHttpServer::Request> sent = m_server->requestsFor("/pub/sub/f.bin");
    QCOMPARE(sent.size(), requests);
    for (const TestHttpServer::Request &request : sent)
        QCOMPARE(request.header("Range"), QByteArray());
    QCOMPARE(filesBelow(cachePath()), QStringList());
    if (stale != Stale::Unlisted)
        QCOMPARE(readFile(appPath(path)), listed);
    QCOMPARE(filesBelow(appPath()), stale == Stale::Unlisted ? QStringList{QStringLiteral("g.bin")}
                                                             : QStringList{path});
}

void TestCDownloadThread::severalResumeEachOnItsOwn()
{
    // Two large files under way at once, cut off at different points: a fails the
    // run, which stops b; each then resumes from its own kept bytes.
    const QByteArray a = bigBody('a');
    const QByteArray b = bigBody('b');
    Response cutA = withHeaders(cut(a, TestHttpServer::Cut::Close, 1536 * 1024), {{"ETag", "\"a1\""}});
    cutA.cutDelayMs = 500;
    m_server->setRoute("/pub/a.bin", cutA);
    m_server->setRoute("/pub/b.bin", withHeaders(cut(b, TestHttpServer::Cut::Stall, 2560 * 1024),
                                                 {{"ETag", "\"b1\""}}));
    const QList<UpdateFileEntry> files{entryFor(QStringLiteral("a.bin"), a), entryFor(QStringLiteral("b.bin"), b)};
    auto r = run(files, 2);
    QVERIFY(r->startAndWait());
    QCOMPARE(r->worker->errorMsg(), QStringLiteral("下载更新文件a.bin网络错误"));
    r->destroy();
    // Qt may drop what a failed reply still buffered: a keeps what reached the file.
    const qint64 keptA = QFileInfo(cachePath(QStringLiteral("a.bin.partial"))).size();
    QVERIFY2(keptA >= 1024 * 1024 && keptA <= 1536 * 1024, qPrintable(QString::number(keptA)));
    QCOMPARE(QFileInfo(cachePath(QStringLiteral("b.bin.partial"))).size(), qint64(2560 * 1024));

    m_server->clearRequests();
    m_server->setRoute("/pub/a.bin", ranged(a, {{"ETag", "\"a1\""}}));
    m_server->setRoute("/pub/b.bin", ranged(b, {{"ETag", "\"b1\""}}));
    auto again = run(files, 2);
    QVERIFY(again->startAndWait());
    QVERIFY2(again->worker->isSuccess(), qPrintable(again->worker->errorMsg()));
    QCOMPARE(m_server->requestsFor("/pub/a.bin").value(0).header("Range"), rangeFrom(keptA));
    QCOMPARE(m_server->requestsFor("/pub/a.bin").value(0).header("If-Range"), QByteArray("\"a1\""));
    QCOMPARE(m_server->requestsFor("/pub/b.bin").value(0).header("Range"), rangeFrom(2560 * 1024));
    QCOMPARE(m_server->requestsFor("/pub/b.bin").value(0).header("If-Range"), QByteArray("\"b1\""));
    QCOMPARE(m_server->requestCount(), 2);
    QCOMPARE(readFile(appPath(QStringLiteral("a.bin"))), a);
    QCOMPARE(readFile(appPath(QStringLiteral("b.bin"))), b);
    QCOMPARE(filesBelow(cachePath()), QStringList());
}

enum class Installed { Same, SameWithCachedCopy, SameSizeOtherBytes, Longer, SignedMd5Only, SignedBoth, Link };
Q_DECLARE_METATYPE(Installed)

void TestCDownloadThread::installedFileCountsAsDone_data()
{
    QTest::addColumn<Installed>("installed");
    QTest::addColumn<int>("requests");
    QTest::addColumn<QString>("message");
    const QString done = QStringLiteral("更新成功");
    QTest::newRow("same bytes, nothing cached") << Installed::Same << 0 << done;
    // The cache is asked first; its copy is installed as always.
    QTest::newRow("same bytes, valid copy cached") << Installed::SameWithCachedCopy << 0 << done;
    QTest::newRow("same size, other bytes") << Installed::SameSizeOtherBytes << 1 << done;
    QTest::newRow("same beginning, longer") << Installed::Longer << 1 << done;
    QTest::newRow("signed, both hashes match") << Installed::SignedBoth << 0 << done;
    // Only the MD5 text matches: fetched, and the body fails the same SHA-256.
    QTest::newRow("signed, SHA-256 differs") << Installed::SignedMd5Only << 1
                                             << QStringLiteral("更新文件i.bin校验不对");
    QTest::newRow("link to a file with the same bytes") << Installed::Link << 1 << done;
}

void TestCDownloadThread::installedFileCountsAsDone()
{
    QFETCH(Installed, installed);
    QFETCH(int, requests);
    QFETCH(QString, message);
    const QByteArray body = patterned(6000, 'i');
    const QByteArray other = patterned(6000, 'o');
    const QString target = appPath(QStringLiteral("i.bin"));
    UpdateFileEntry entry = entryFor(QStringLiteral("i.bin"), body);
    QByteArray before = body;
    switch (installed) {
    case Installed::Same:
    case Installed::SignedBoth:
        break;
    case Installed::SameWithCachedCopy:
        QVERIFY(writeFile(cachePath(QStringLiteral("i.bin")), body));
        break;
    case Installed::SameSizeOtherBytes:
        before = other;
        break;
    case Installed::Longer:
        before = body + "more";
        break;
    case Installed::SignedMd5Only:
        entry.sha256 = Sha256::hex(other);
        break;
    case Installed::Link:
        break;
    }
    if (installed == Installed::SignedBoth)
        entry.sha256 = Sha256::hex(body);
    if (installed == Installed::Link) {
        QVERIFY(writeFile(m_dir->filePath(QStringLiteral("elsewhere.bin")), body));
        QVERIFY(QFile::link(m_dir->filePath(QStringLiteral("elsewhere.bin")), target));
    } else {
        QVERIFY(writeFile(target, before));
    }
    // A second, changed file is fetched around it as usual.
    const QByteArray next = patterned(3000, 'n');
    m_server->setRoute("/pub/i.bin", TestHttpServer::ok(body));
    m_server->setRoute("/pub/next.bin", TestHttpServer::ok(next));

    auto r = run({entry, entryFor(QStringLiteral("next.bin"), next)});
    QVERIFY(r->startAndWait());
    QCOMPARE(r->worker->errorMsg(), message);
    QCOMPARE(m_server->requestCount("/pub/i.bin"), requests);
    if (message != QStringLiteral("更新成功"))
        return;
    QCOMPARE(readFile(target), body);
    QVERIFY(!QFileInfo(target).isSymLink());
    QCOMPARE(readFile(appPath(QStringLiteral("next.bin"))), next);
    QCOMPARE(filesBelow(cachePath()), QStringList());
    // A file found in place is not announced, not moved and not set aside.
    const bool inPlace = installed == Installed::Same || installed == Installed::SignedBoth;
    QCOMPARE(QFileInfo::exists(target + QStringLiteral(".old")) || QFileInfo(target + QStringLiteral(".old")).isSymLink(),
             !inPlace);
    // The constructor's request (i.bin's, else next.bin's) reaches no receiver;
    // next.bin is announced only when it waited behind i.bin.
    QCOMPARE(r->started.count(), requests);
}

void TestCDownloadThread::smallerRoutes_data()
{
    QTest::addColumn<QString>("situation");
    QTest::addColumn<QStringList>("requested"); // routes asked for, in order
    QTest::addColumn<QString>("message");       // of the (last) run; empty: installed

    const QString network = QStringLiteral("下载更新文件f.bin网络错误");
    QTest::newRow("patch from the installed file") << "" << QStringList{"patch"} << QString();
    QTest::newRow("installed file of another size: compressed copy") << "other size" << QStringList{"zst"}
                                                                     << QString();
    // Taken on its size alone; the result's check sends it on to the compressed copy.
    QTest::newRow("installed file of the base's size, other bytes")
        << "other bytes" << QStringList{"patch", "zst"} << QString();
    QTest::newRow("patch missing on the server") << "no patch" << QStringList{"patch", "zst"} << QString();
    QTest::newRow("base changed during the download") << "base changes" << QStringList{"patch", "zst"}
                                                      << QString();
    // A sound frame of other bytes of the listed size: only the file's own check sees it.
    QTest::newRow("patch giving other bytes") << "wrong output" << QStringList{"patch", "zst"} << QString();
    // Declares (and holds) more than the listed size: refused before decoding.
    QTest::newRow("compressed copy inflating past the listed size")
        << "bomb" << QStringList{"patch", "zst", "plain"} << QString();
    QTest::newRow("every route fails") << "all missing" << QStringList{"patch", "zst", "plain"} << network;
    // Planted while the run lasts: the unpacked output is a new file, not the link's target.
    QTest::newRow("link at the unpacked output") << "link at output" << QStringList{"patch"} << QString();
    // Cut off after 2 MiB and kept; the next run asks for the rest of the patch.
    QTest::newRow("patch resumed by the next run")
        << "resume" << QStringList{"patch", "zst", "plain", "patch"} << QString();
}

void TestCDownloadThread::smallerRoutes()
{
    QFETCH(QString, situation);
    QFETCH(QStringList, requested);
    QFETCH(QString, message);
    const bool resume = situation == QLatin1String("resume");
    // Random bytes: the patch of the resumed case must be large enough to be kept.
    QRandomGenerator random(7);
    QByteArray oldBody(resume ? BigSize : 200000, Qt::Uninitialized);
    random.fillRange(reinterpret_cast<quint32 *>(oldBody.data()), oldBody.size() / 4);
    QByteArray newBody = oldBody;
    newBody.replace(1000, 5, "v2.0!");
    newBody += patterned(3000, 'n');
    if (resume)
        random.fillRange(reinterpret_cast<quint32 *>(newBody.data()), newBody.size() / 4);
    const QString work = m_dir->filePath(QStringLiteral("work/"));
    QVERIFY(writeFile(work + QStringLiteral("old"), oldBody));
    QVERIFY(writeFile(work + QStringLiteral("new"), newBody + (situation == QLatin1String("bomb") ? "more" : "")));

    UpdateFileEntry entry = entryFor(QStringLiteral("f.bin"), newBody);
    QMap<QString, QByteArray> targets{{QStringLiteral("plain"), "/pub/f.bin"}}; // route -> request target
    for (const QString &kind : {QStringLiteral("patch"), QStringLiteral("zst")}) {
        const bool patch = kind == QLatin1String("patch");
        QString error;
        if (patch && situation == QLatin1String("wrong output")) {
            QByteArray other = newBody;
            other[10] = char(other.at(10) + 1);
            QVERIFY(writeFile(work + QStringLiteral("other"), other));
        }
        const QString source = patch && situation == QLatin1String("wrong output") ? QStringLiteral("other")
                                                                                   : QStringLiteral("new");
        QVERIFY2(encodeFrameFile(work + source, patch ? work + QStringLiteral("old") : QString(),
                                 work + kind, 3, error), qPrintable(error));
        const QByteArray frame = readFile(work + kind);
        PackArtefact artefact;
        artefact.kind = patch ? PackArtefact::Patch : PackArtefact::Compressed;
        artefact.size = quint64(frame.size());
        artefact.md5 = md5Text(frame);
        artefact.sha256 = Sha256::hex(frame);
        if (patch) {
            artefact.baseSize = quint64(oldBody.size());
            artefact.baseMd5 = md5Text(oldBody);
            artefact.baseSha256 = Sha256::hex(oldBody);
        }
        entry.artefacts.append(artefact);
        targets.insert(kind, "/pub/%23pack/" + artefact.sha256 + ".zst");
        if (patch && resume)
            m_server->setRouteSequence(targets.value(kind), {withHeaders(cut(frame, TestHttpServer::Cut::Close, KeptBytes),
                                                                         {{"ETag", Etag}}),
                                                             ranged(frame)});
        else if (!(patch && situation == QLatin1String("no patch")) && situation != QLatin1String("all missing") && !resume)
            m_server->setRoute(targets.value(kind), ranged(frame));
    }
    if (situation != QLatin1String("all missing") && !resume)
        m_server->setRoute("/pub/f.bin", TestHttpServer::ok(newBody));
    const int otherSize = oldBody.size() + (situation == QLatin1String("other size") ? 1 : 0);
    QVERIFY(writeFile(appPath(QStringLiteral("f.bin")),
                      situation.startsWith(QLatin1String("other ")) ? patterned(otherSize, 'x') : oldBody));

    if (situation == QLatin1String("base changes")) {
        // While the patch is on its way, before the server answers.
        connect(m_server.get(), &TestHttpServer::requestReceived, m_server.get(),
                [this, size = oldBody.size()] { writeFile(appPath(QStringLiteral("f.bin")), patterned(size, 'c')); },
                Qt::DirectConnection);
    }
    auto r = run({entry});
    const QString victim = m_dir->filePath(QStringLiteral("victim"));
    if (situation == QLatin1String("link at output")) {
        QVERIFY(writeFile(victim, "precious"));
        QVERIFY(QFile::link(victim, cachePath(entry.artefacts.at(0).relativePath() + QStringLiteral(".out"))));
    }
    QVERIFY(r->startAndWait());
    if (resume) {
        QCOMPARE(r->worker->errorMsg(), QStringLiteral("下载更新文件f.bin网络错误"));
        r->destroy();
        r = run({entry});
        QVERIFY(r->startAndWait());
        const QList<TestHttpServer::Request> patches = m_server->requestsFor(targets.value(QStringLiteral("patch")));
        QCOMPARE(patches.size(), 2);
        QCOMPARE(patches.at(1).header("Range"), rangeFrom(KeptBytes));
    }
    QStringList asked;
    for (const TestHttpServer::Request &request : m_server->requests())
        asked.append(targets.key(request.target));
    QCOMPARE(asked, requested);
    QCOMPARE(r->worker->errorMsg(), message.isEmpty() ? QStringLiteral("更新成功") : message);
    if (message.isEmpty()) {
        QCOMPARE(readFile(appPath(QStringLiteral("f.bin"))), newBody);
        QCOMPARE(filesBelow(cachePath()), QStringList());
    }
    if (situation == QLatin1String("link at output"))
        QCOMPARE(readFile(victim), QByteArray("precious"));
}

QTEST_GUILESS_MAIN(TestCDownloadThread)
#include "tst_cdownloadthread.moc"
