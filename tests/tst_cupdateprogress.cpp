// The progress dialog: its form and arithmetic (slots called directly), and its life
// beside a real download worker fetching from a scripted loopback server: what reaches
// it, when it closes, and what cancel, Escape and close requests do.

#include "download/cdownloadthread.h"
#include "support/dialogchecks.h"
#include "support/testhttpserver.h"
#include "ui/cupdateprogress.h"
#include "update/md5.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QTranslator>
#include <QtTest>

#include <functional>
#include <limits>
#include <memory>

namespace {

/// Runs dialog.exec() with action() called once its event loop runs. A watchdog ends
/// a dialog that never closed, with a result no test expects.
int execWith(QDialog &dialog, const std::function<void()> &action)
{
    QTimer::singleShot(0, &dialog, action);
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, &dialog, [&dialog] { dialog.done(-99); });
    watchdog.start(30000);
    return dialog.exec();
}

class ContextTranslator : public QTranslator
{
public:
    QString translate(const char *context, const char *sourceText, const char *, int) const override
    {
        return QString::fromUtf8(context) + QLatin1Char('|') + QString::fromUtf8(sourceText);
    }
    bool isEmpty() const override { return false; }
};

UpdateFileEntry entryFor(const QString &path, const QByteArray &body)
{
    UpdateFileEntry entry;
    entry.path = path;
    entry.size = quint64(body.size());
    entry.md5 = md5Text(body);
    return entry;
}

/// A cache and an installation root in a temporary folder, and a worker over them.
struct Run
{
    QTemporaryDir tmp;
    std::unique_ptr<CDownloadThread> worker;

    bool make(const QString &baseUrl, const QList<UpdateFileEntry> &files)
    {
        if (!tmp.isValid() || !QDir(tmp.path()).mkpath("cache") || !QDir(tmp.path()).mkpath("app"))
            return false;
        worker.reset(new CDownloadThread(baseUrl, QDir(tmp.filePath("cache")), QDir(tmp.filePath("app")),
                                         files, nullptr));
        return true;
    }
    ~Run()
    {
        // A QThread destroyed while it runs aborts the process; end it first whatever
        // the test did.
        if (worker) {
            worker->requestInterruption();
            worker->quit();
            worker->wait(10000);
        }
    }
};

QProgressBar *bar(QDialog &dialog, const char *name) { return dialog.findChild<QProgressBar *>(name); }
/// The description as a user can read it: shown, or in the tool tip when shortened.
QString descText(QDialog &dialog) { return wholeText(dialog.findChild<QLabel *>("desc")); }

} // namespace

class TestCUpdateProgress : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void form();
    void translationContext();
    void framelessAndBackground();
    void downloadStarted_data();
    void downloadStarted();
    void downloadProgress_data();
    void downloadProgress();
    void downloadFail_data();
    void downloadFail();

    void severalUnderWayNameTheOldest();
    void burstOfChangesPaintsFewFrames();
    void singleFileRunKeepsInitialTexts();
    void secondFileMovesOverallBar();
    void failureTextShownUntilClose();
    void workerFinishedBeforeExec();
    void cancelKeepsDialogUntilFinished_data();
    void cancelKeepsDialogUntilFinished();
};

void TestCUpdateProgress::form()
{
    Run run;
    QVERIFY(run.make(QStringLiteral("http://127.0.0.1:9/"), {}));
    CUpdateProgress dialog(run.worker.get());
    QCOMPARE(dialog.objectName(), QStringLiteral("CUpdateProgress"));
    QCOMPARE(dialog.windowTitle(), QString());
    QCOMPARE(dialog.size(), QSize(640, 455));
    QVERIFY(dialog.inherits("CUpdateProgress"));
    QCOMPARE(dialog.metaObject()->className(), "CUpdateProgress");

    QStringList names;
    for (QObject *child : dialog.children()) {
        if (child->isWidgetType())
            names << child->objectName();
    }
    QCOMPARE(names, QStringList({"label", "total", "progress", "desc", "cancel"}));

    auto *label = dialog.findChild<QLabel *>("label");
    auto *desc = dialog.findChild<QLabel *>("desc");
    auto *cancel = dialog.findChild<QPushButton *>("cancel");
    QVERIFY(label && desc && cancel && bar(dialog, "total") && bar(dialog, "progress"));
    QCOMPARE(label->geometry(), QRect(30, 280, 580, 40));
    QCOMPARE(bar(dialog, "total")->geometry(), QRect(30, 330, 580, 5));
    QCOMPARE(bar(dialog, "progress")->geometry(), QRect(30, 370, 580, 5));
    QCOMPARE(desc->geometry(), QRect(30, 340, 580, 24));
    QCOMPARE(cancel->geometry(), QRect(510, 400, 100, 30));
    QCOMPARE(label->font().pointSize(), 15);
    QCOMPARE(desc->font(), dialog.font());
    QCOMPARE(label->text(), QStringLiteral("正在更新"));
    QCOMPARE(desc->text(), QStringLiteral("正在下载更新文件"));
    QCOMPARE(cancel->text(), QStringLiteral("取消"));
    QVERIFY(!desc->wordWrap());
    for (const char *name : {"total", "progress"}) {
        QProgressBar *b = bar(dialog, name);
        QVERIFY(!b->isTextVisible());
        QCOMPARE(b->alignment(), Qt::AlignJustify | Qt::AlignVCenter);
        QCOMPARE(b->minimum(), 0);
        QCOMPARE(b->maximum(), 100);
        QCOMPARE(b->value(), -1); // empty: no value yet
    }
}

void TestCUpdateProgress::translationContext()
{
    Run run;
    QVERIFY(run.make(QStringLiteral("http://127.0.0.1:9/"), {}));
    ContextTranslator translator;
    QVERIFY(QCoreApplication::installTranslator(&translator));
    CUpdateProgress dialog(run.worker.get());
    const QString initialDesc = descText(dialog);
    dialog.onDownloadStarted(QFileInfo(QStringLiteral("/c/bin/a.dll")), 1, 2);
    QCoreApplication::removeTranslator(&translator);
    QCOMPARE(dialog.findChild<QLabel *>("label")->text(), QStringLiteral("CUpdateProgress|正在更新"));
    QCOMPARE(dialog.findChild<QPushButton *>("cancel")->text(), QStringLiteral("CUpdateProgress|取消"));
    QCOMPARE(initialDesc, QStringLiteral("CUpdateProgress|正在下载更新文件"));
    QCOMPARE(descText(dialog), QStringLiteral("CUpdateProgress|正在下载更新文件a.dll"));
}

void TestCUpdateProgress::framelessAndBackground()
{
    Run run;
    QVERIFY(run.make(QStringLiteral("http://127.0.0.1:9/"), {}));
    CUpdateProgress dialog(run.worker.get());
    QVERIFY(dialog.windowFlags().testFlag(Qt::FramelessWindowHint));
    QCOMPARE(dialog.windowType(), Qt::Dialog);
    QCOMPARE(skinDifference(dialog, 1), QString());
    QCOMPARE(skinDifference(dialog, 2), QString());
}

void TestCUpdateProgress::downloadStarted_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("current");
    QTest::addColumn<int>("total");
    QTest::addColumn<int>("expectedTotal"); // -1: the bar keeps its previous (empty) state
    QTest::addColumn<QString>("expectedDesc");

    QTest::newRow("1 of 2, bin/a.dll") << "/cache/bin/a.dll" << 1 << 2 << 50 << QStringLiteral("正在下载更新文件a.dll");
    QTest::newRow("2 of 3") << "/cache/b.dll" << 2 << 3 << 66 << QStringLiteral("正在下载更新文件b.dll");
    QTest::newRow("1 of 3") << "/cache/c" << 1 << 3 << 33 << QStringLiteral("正在下载更新文件c");
    QTest::newRow("0 of 1") << "/cache/x.exe" << 0 << 1 << 0 << QStringLiteral("正在下载更新文件x.exe");
    QTest::newRow("999 of 1000") << "/cache/x" << 999 << 1000 << 99 << QStringLiteral("正在下载更新文件x");
    QTest::newRow("deep path, name only") << "/cache/a/b/c/数据 文件.pak" << 5 << 8 << 62
                                          << QStringLiteral("正在下载更新文件数据 文件.pak");
    QTest::newRow("name with %1") << "/cache/%1.txt" << 1 << 4 << 25 << QStringLiteral("正在下载更新文件%1.txt");
    QTest::newRow("name longer than the line") << "/cache/" + QString(90, 'n') << 1 << 2 << 50
                                               << QStringLiteral("正在下载更新文件") + QString(90, 'n');
    // 32-bit current*100 would overflow here; the share is still right.
    QTest::newRow("huge list") << "/cache/x" << 30000000 << 40000000 << 75 << QStringLiteral("正在下载更新文件x");
    QTest::newRow("zero total") << "/cache/x" << 0 << 0 << -1 << QStringLiteral("正在下载更新文件x");
    QTest::newRow("negative current") << "/cache/x" << -1 << 3 << -1 << QStringLiteral("正在下载更新文件x");
}

void TestCUpdateProgress::downloadStarted()
{
    QFETCH(QString, file);
    QFETCH(int, current);
    QFETCH(int, total);
    QFETCH(int, expectedTotal);
    QFETCH(QString, expectedDesc);

    Run run;
    QVERIFY(run.make(QStringLiteral("http://127.0.0.1:9/"), {}));
    CUpdateProgress dialog(run.worker.get());
    dialog.onDownloadProgress(70, 100);
    QCOMPARE(bar(dialog, "progress")->value(), 70);
    dialog.onDownloadStarted(QFileInfo(file), current, total);
    QCOMPARE(bar(dialog, "total")->value(), expectedTotal);
    QCOMPARE(descText(dialog), expectedDesc);
    auto *desc = dialog.findChild<QLabel *>("desc");
    QVERIFY(desc->fontMetrics().horizontalAdvance(desc->text()) <= desc->width());
    QCOMPARE(bar(dialog, "progress")->value(), 0); // reset for the new file
}

void TestCUpdateProgress::downloadProgress_data()
{
    QTest::addColumn<qint64>("received");
    QTest::addColumn<qint64>("total");
    QTest::addColumn<int>("expected");

    const qint64 max = std::numeric_limits<qint64>::max();
    // Every row starts from a bar at 40, so "keeps" shows as 40.
    QTest::newRow("512 of 2048") << qint64(512) << qint64(2048) << 25;
    QTest::newRow("1 of 3") << qint64(1) << qint64(3) << 33;
    QTest::newRow("2 of 3") << qint64(2) << qint64(3) << 66;
    QTest::newRow("3 of 3") << qint64(3) << qint64(3) << 100;
    QTest::newRow("0 of 3") << qint64(0) << qint64(3) << 0;
    QTest::newRow("beyond 4 GiB") << qint64(5000000000) << qint64(10000000000) << 50;
    QTest::newRow("zero total") << qint64(0) << qint64(0) << 40;
    QTest::newRow("zero total, bytes received") << qint64(100) << qint64(0) << 40;
    QTest::newRow("unknown total (-1)") << qint64(4096) << qint64(-1) << 40;
    QTest::newRow("negative total") << qint64(5) << qint64(-3) << 40;
    QTest::newRow("more than announced") << qint64(11) << qint64(10) << 40;
    QTest::newRow("negative received") << qint64(-5) << qint64(10) << 40;
    // 4294967346 % is 2^32 + 50: narrowed to int before the range check it would read 50.
    QTest::newRow("would wrap into range") << qint64(4294967346) << qint64(100) << 40;
    QTest::newRow("largest sizes, complete") << max << max << 100;
    QTest::newRow("largest sizes, half") << qint64(4500000000000000000) << qint64(9000000000000000000) << 50;
}

void TestCUpdateProgress::downloadProgress()
{
    QFETCH(qint64, received);
    QFETCH(qint64, total);
    QFETCH(int, expected);

    Run run;
    QVERIFY(run.make(QStringLiteral("http://127.0.0.1:9/"), {}));
    CUpdateProgress dialog(run.worker.get());
    dialog.onDownloadProgress(40, 100);
    dialog.onDownloadProgress(received, total);
    QCOMPARE(bar(dialog, "progress")->value(), expected);
    // The overall bar and the description belong to downloadStarted alone.
    QCOMPARE(bar(dialog, "total")->value(), -1);
    QCOMPARE(descText(dialog), QStringLiteral("正在下载更新文件"));
}

void TestCUpdateProgress::downloadFail_data()
{
    QTest::addColumn<QString>("message");

    QTest::newRow("network") << QStringLiteral("下载更新文件a.dll网络错误");
    QTest::newRow("several lines") << QStringLiteral("第一行\n第二行\r\n第三行 %1 \\ \"");
    QTest::newRow("empty") << QString();
}

void TestCUpdateProgress::downloadFail()
{
    QFETCH(QString, message);

    Run run;
    QVERIFY(run.make(QStringLiteral("http://127.0.0.1:9/"), {}));
    CUpdateProgress dialog(run.worker.get());
    dialog.onDownloadStarted(QFileInfo(QStringLiteral("/cache/a.dll")), 1, 2);
    dialog.onDownloadProgress(1, 2);
    dialog.onDownloadFail(QFileInfo(QStringLiteral("/app/other.dll")), message);
    QCOMPARE(descText(dialog), message);
    auto *desc = dialog.findChild<QLabel *>("desc");
    QVERIFY(!desc->wordWrap());
    // One line's height shows one line.
    QVERIFY(!desc->text().contains(QLatin1Char('\n')));
    QCOMPARE(desc->geometry().height(), 24);
    // The bars stay where they were.
    QCOMPARE(bar(dialog, "total")->value(), 50);
    QCOMPARE(bar(dialog, "progress")->value(), 50);
}

namespace {

/// Counts the paint events a widget receives and notes what a bar showed at each.
class PaintCounter : public QObject
{
public:
    PaintCounter(QWidget *watched, QProgressBar *bar) : m_bar(bar) { watched->installEventFilter(this); }
    int paints = 0;
    int lastPaintedValue = -2;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint) {
            ++paints;
            lastPaintedValue = m_bar->value();
        }
        return false;
    }

private:
    QProgressBar *m_bar;
};

} // namespace

void TestCUpdateProgress::severalUnderWayNameTheOldest()
{
    // With several downloads in flight the files begin in list order but end in any:
    // the description and the file bar stay with the oldest file still coming, the
    // overall bar with the files begun.
    Run run;
    QVERIFY(run.make(QStringLiteral("http://127.0.0.1:9/"), {}));
    CUpdateProgress dialog(run.worker.get());
    QProgressBar *fileBar = bar(dialog, "progress");
    QProgressBar *overall = bar(dialog, "total");
    const QFileInfo a(QStringLiteral("/cache/a.bin")), b(QStringLiteral("/cache/sub/b.bin")),
            c(QStringLiteral("/cache/c.bin"));
    dialog.onDownloadStarted(a, 0, 4);
    dialog.onDownloadProgress(30, 100);
    dialog.onDownloadStarted(b, 1, 4);
    dialog.onDownloadStarted(c, 2, 4);
    QCOMPARE(descText(dialog), QStringLiteral("正在下载更新文件a.bin"));
    QCOMPARE(fileBar->value(), 30);
    QCOMPARE(overall->value(), 50);
    dialog.onDownloadFinished(c); // not the oldest: nothing moves
    QCOMPARE(descText(dialog), QStringLiteral("正在下载更新文件a.bin"));
    QCOMPARE(fileBar->value(), 30);
    dialog.onDownloadFinished(a);
    QCOMPARE(descText(dialog), QStringLiteral("正在下载更新文件b.bin"));
    QCOMPARE(fileBar->value(), 0);
    QCOMPARE(overall->value(), 50);
}

void TestCUpdateProgress::burstOfChangesPaintsFewFrames()
{
    // Thousands of small files bring thousands of changes a second; painting each one
    // made the dialog, not the network, the pace of the update. The values must still
    // be taken at once and the last of them must reach the screen.
    // A worker kept busy by a server that answers slowly, so the dialog stays open.
    TestHttpServer server;
    QVERIFY(server.start());
    TestHttpServer::Response slow = TestHttpServer::ok(QByteArray(1000, 's'));
    slow.delayMs = 20000;
    server.setRoute("/v/slow", slow);
    Run run;
    QVERIFY(run.make(server.baseUrl() + "/v/", {entryFor(QStringLiteral("slow"), QByteArray(1000, 's'))}));
    CUpdateProgress dialog(run.worker.get());
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QProgressBar *fileBar = bar(dialog, "progress");
    PaintCounter counter(fileBar, fileBar);
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < 2000; ++i) {
        const QFileInfo file(QStringLiteral("/cache/f%1").arg(i));
        dialog.onDownloadStarted(file, i, 2000);
        dialog.onDownloadProgress(i % 100 + 1, 100);
        QCOMPARE(fileBar->value(), i % 100 + 1);
        dialog.onDownloadFinished(file);
        QCoreApplication::processEvents();
    }
    const qint64 elapsed = clock.elapsed();
    QCOMPARE(descText(dialog), QStringLiteral("正在下载更新文件f1999"));
    // One frame per 40 ms at most, with room for a late timer.
    QVERIFY2(counter.paints <= 2 + elapsed / 20,
             qPrintable(QStringLiteral("%1 paints in %2 ms").arg(counter.paints).arg(elapsed)));
    QTRY_COMPARE(counter.lastPaintedValue, 2000 % 100 == 0 ? 100 : 1999 % 100 + 1);
    QVERIFY(dialog.updatesEnabled());
}

void TestCUpdateProgress::singleFileRunKeepsInitialTexts()
{
    TestHttpServer server;
    QVERIFY(server.start());
    const QByteArray body(256 * 1024, 'x');
    TestHttpServer::Response response = TestHttpServer::ok(body);
    response.writeChunkSize = 16 * 1024;
    response.writeIntervalMs = 5;
    server.setRoute("/v/bin/a.dll", response);

    Run run;
    QVERIFY(run.make(server.baseUrl() + "/v/", {entryFor(QStringLiteral("bin/a.dll"), body)}));
    // The first file's downloadStarted was sent inside the worker's constructor.
    QSignalSpy started(run.worker.get(), &CDownloadThread::downloadStarted);
    CUpdateProgress dialog(run.worker.get());
    QList<int> fileValues;
    QStringList descs;
    QList<int> totals;
    // Connected after the dialog, so this sees the bars as the dialog left them.
    connect(run.worker.get(), &CDownloadThread::downloadProgress, this, [&] {
        fileValues << bar(dialog, "progress")->value();
        descs << descText(dialog);
        totals << bar(dialog, "total")->value();
    });

    QCOMPARE(execWith(dialog, [] {}), 1);
    QVERIFY(run.worker->wait(10000));
    QVERIFY(run.worker->isSuccess());
    QCOMPARE(started.count(), 0);
    QVERIFY(!fileValues.isEmpty());
    QCOMPARE(fileValues.last(), 100);
    QCOMPARE(descs, QStringList(QVector<QString>(descs.size(), QStringLiteral("正在下载更新文件")).toList()));
    QCOMPARE(totals, QVector<int>(totals.size(), -1).toList());
    QCOMPARE(bar(dialog, "total")->value(), -1);
    QCOMPARE(descText(dialog), QStringLiteral("正在下载更新文件"));
}

void TestCUpdateProgress::secondFileMovesOverallBar()
{
    TestHttpServer server;
    QVERIFY(server.start());
    const QByteArray a(3000, 'a');
    const QByteArray b(5000, 'b');
    server.setRoute("/v/bin/a.dll", TestHttpServer::ok(a));
    server.setRoute("/v/bin/b.dll", TestHttpServer::ok(b));

    Run run;
    QVERIFY(run.make(server.baseUrl() + "/v/",
                     {entryFor(QStringLiteral("bin/a.dll"), a), entryFor(QStringLiteral("bin/b.dll"), b)}));
    CUpdateProgress dialog(run.worker.get());
    QStringList seen;
    connect(run.worker.get(), &CDownloadThread::downloadStarted, this, [&](QFileInfo file, int current, int total) {
        seen << QStringLiteral("%1 %2/%3 total=%4 file=%5 desc=%6")
                    .arg(file.fileName()).arg(current).arg(total)
                    .arg(bar(dialog, "total")->value()).arg(bar(dialog, "progress")->value())
                    .arg(descText(dialog));
    });
    QCOMPARE(execWith(dialog, [] {}), 1);
    QVERIFY(run.worker->wait(10000));
    QVERIFY(run.worker->isSuccess());
    QCOMPARE(seen, QStringList({QStringLiteral("b.dll 1/2 total=50 file=0 desc=正在下载更新文件b.dll")}));
    // Success sends nothing more: the description stays at the last file begun.
    QCOMPARE(descText(dialog), QStringLiteral("正在下载更新文件b.dll"));
    QCOMPARE(bar(dialog, "total")->value(), 50);
    QCOMPARE(bar(dialog, "progress")->value(), 100);
}

void TestCUpdateProgress::failureTextShownUntilClose()
{
    TestHttpServer server;
    QVERIFY(server.start());
    const QByteArray a(100, 'a');
    server.setRoute("/v/a.dll", TestHttpServer::ok(a));
    server.setRoute("/v/sub/b.dll", TestHttpServer::status(404));

    Run run;
    QVERIFY(run.make(server.baseUrl() + "/v/",
                     {entryFor(QStringLiteral("a.dll"), a), entryFor(QStringLiteral("sub/b.dll"), "bbbb")}));
    CUpdateProgress dialog(run.worker.get());
    QString descAtFail;
    connect(run.worker.get(), &CDownloadThread::downloadFail, this, [&] { descAtFail = descText(dialog); });
    QCOMPARE(execWith(dialog, [] {}), 1);
    QVERIFY(run.worker->wait(10000));
    QVERIFY(!run.worker->isSuccess());
    const QString expected = QStringLiteral("下载更新文件b.dll网络错误");
    QCOMPARE(run.worker->errorMsg(), expected);
    QCOMPARE(descAtFail, expected);
    QCOMPARE(descText(dialog), expected);
}

void TestCUpdateProgress::workerFinishedBeforeExec()
{
    // An empty list: the worker's run is over inside its constructor.
    Run run;
    QVERIFY(run.make(QStringLiteral("http://127.0.0.1:9/"), {}));
    CUpdateProgress dialog(run.worker.get());
    // Block without handling events, as the driver does between constructing the
    // dialog and exec(): finished() is left queued for exec()'s loop.
    QVERIFY(run.worker->wait(10000));
    QVERIFY(run.worker->isFinished());
    QSignalSpy closed(&dialog, &QDialog::finished);
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(dialog.exec(), 1);
    QVERIFY2(clock.elapsed() < 5000, "the queued finished() should close the dialog at once");
    QCOMPARE(closed.count(), 1);
    QVERIFY(run.worker->isSuccess());
}

void TestCUpdateProgress::cancelKeepsDialogUntilFinished_data()
{
    QTest::addColumn<QString>("how");

    QTest::newRow("cancel clicked") << QStringLiteral("click");
    QTest::newRow("cancel clicked twice") << QStringLiteral("click twice");
    QTest::newRow("Escape") << QStringLiteral("escape");
    QTest::newRow("Escape twice") << QStringLiteral("escape twice");
    QTest::newRow("close request") << QStringLiteral("close");
    QTest::newRow("reject()") << QStringLiteral("reject");
}

void TestCUpdateProgress::cancelKeepsDialogUntilFinished()
{
    QFETCH(QString, how);

    // The server reads the request and never answers: the download is stalled.
    TestHttpServer server;
    QVERIFY(server.start());
    TestHttpServer::Response stalled;
    stalled.answer = TestHttpServer::Answer::Never;
    server.setRoute("/v/a.dll", stalled);

    Run run;
    QVERIFY(run.make(server.baseUrl() + "/v/", {entryFor(QStringLiteral("a.dll"), "abc")}));
    QSignalSpy threadFinished(run.worker.get(), &QThread::finished);
    CUpdateProgress dialog(run.worker.get());
    QSignalSpy closed(&dialog, &QDialog::finished);
    int finishedWhenClosed = -1;
    connect(&dialog, &QDialog::finished, this, [&] { finishedWhenClosed = threadFinished.count(); });

    bool requested = false;
    bool active = false;
    bool openAfterRequest = false;
    const int result = execWith(dialog, [&] {
        requested = QTest::qWaitFor([&] { return server.requestCount("/v/a.dll") == 1; }, 10000);
        active = QTest::qWaitForWindowActive(&dialog);
        auto *cancel = dialog.findChild<QPushButton *>("cancel");
        if (how.startsWith(QLatin1String("click")))
            QTest::mouseClick(cancel, Qt::LeftButton);
        else if (how.startsWith(QLatin1String("escape")))
            QTest::keyClick(&dialog, Qt::Key_Escape);
        else if (how == QLatin1String("close"))
            dialog.close();
        else
            dialog.reject();
        // finished() is queued; nothing may have closed the dialog yet.
        openAfterRequest = dialog.isVisible();
        if (how.endsWith(QLatin1String("twice"))) {
            if (how.startsWith(QLatin1String("click")))
                QTest::mouseClick(cancel, Qt::LeftButton);
            else
                QTest::keyClick(&dialog, Qt::Key_Escape);
        }
    });

    QVERIFY(requested);
    QVERIFY(active);
    QVERIFY(openAfterRequest);
    QCOMPARE(result, 1);
    QCOMPARE(closed.count(), 1);
    QCOMPARE(finishedWhenClosed, 1); // closed by the thread's end, not before it
    QVERIFY(run.worker->wait(10000));
    QVERIFY(!run.worker->isSuccess());
    QCOMPARE(run.worker->errorMsg(), QString());
    QCOMPARE(server.requestCount(), 1);
}

QTEST_MAIN(TestCUpdateProgress)
#include "tst_cupdateprogress.moc"
