// Result records on standard output, the atomic file write, the error dialog helper
// and the start of the host.

#include "app/reporting.h"
#include "support/installation.h"
#include "support/modalanswerer.h"
#include "support/stdoutcapture.h"
#include "ui/cupdateerror.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

class TestReporting : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void record_data();
    void record();
    void recordsBackToBack();
    void writeFileData_data();
    void writeFileData();
    void showUpdateErrorResult_data();
    void showUpdateErrorResult();
    void startHostFailures_data();
    void startHostFailures();
    void startHostArguments();
};

void TestReporting::record_data()
{
    QTest::addColumn<bool>("success");
    QTest::addColumn<bool>("update");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("comparison, optional") << true << false << QString()
        << QByteArray(R"({"errormsg":"","success":true,"update":false})");
    QTest::newRow("comparison, forced") << true << true << QString()
        << QByteArray(R"({"errormsg":"","success":true,"update":true})");
    QTest::newRow("empty error") << false << false << QString()
        << QByteArray(R"({"errormsg":"","success":false,"update":false})");
    QTest::newRow("quote and backslash") << false << false << QStringLiteral("a\"b\\c")
        << QByteArray(R"({"errormsg":"a\"b\\c","success":false,"update":false})");
    QTest::newRow("line break and tab") << false << false << QStringLiteral("x\ny\tz")
        << QByteArray(R"({"errormsg":"x\ny\tz","success":false,"update":false})");
    QTest::newRow("chinese as utf-8") << false << false << QStringLiteral("升级程序已运行")
        << QByteArray("{\"errormsg\":\"\xe5\x8d\x87\xe7\xba\xa7\xe7\xa8\x8b\xe5\xba\x8f"
                      "\xe5\xb7\xb2\xe8\xbf\x90\xe8\xa1\x8c\",\"success\":false,\"update\":false}");
}

void TestReporting::record()
{
    QFETCH(bool, success);
    QFETCH(bool, update);
    QFETCH(QString, message);
    QFETCH(QByteArray, expected);

    QCOMPARE(updateResultRecord(success, update, message), expected);
    StdoutCapture capture;
    writeUpdateResult(success, update, message);
    QCOMPARE(capture.bytes(), expected);
}

void TestReporting::recordsBackToBack()
{
    StdoutCapture capture;
    writeUpdateResult(true, true, QString());
    writeUpdateResult(false, false, QStringLiteral("更新文件a.dll校验不对"));
    QCOMPARE(capture.bytes(),
             QByteArray(R"({"errormsg":"","success":true,"update":true})")
                 + QByteArray(R"({"errormsg":")") + QStringLiteral("更新文件a.dll校验不对").toUtf8()
                 + QByteArray(R"(","success":false,"update":false})"));
}

void TestReporting::writeFileData_data()
{
    QTest::addColumn<QByteArray>("before");   // "<none>", "<folder>", or content
    QTest::addColumn<bool>("parentIsFile");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<bool>("expected");

    QTest::newRow("new file") << QByteArray("<none>") << false << QByteArray("list\r\n") << true;
    QTest::newRow("longer file replaced") << QByteArray("0123456789abcdef") << false
                                          << QByteArray("short") << true;
    QTest::newRow("empty data") << QByteArray("old") << false << QByteArray() << true;
    QTest::newRow("target is a folder") << QByteArray("<folder>") << false << QByteArray("x") << false;
    QTest::newRow("parent is a file") << QByteArray("<none>") << true << QByteArray("x") << false;
}

void TestReporting::writeFileData()
{
    QFETCH(QByteArray, before);
    QFETCH(bool, parentIsFile);
    QFETCH(QByteArray, data);
    QFETCH(bool, expected);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QString path = dir.filePath(QStringLiteral("update_md5.info"));
    if (parentIsFile) {
        QFile blocker(dir.filePath(QStringLiteral("root")));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        path = dir.filePath(QStringLiteral("root/update_md5.info"));
    }
    if (before == "<folder>") {
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("update_md5.info")));
    } else if (before != "<none>") {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(before);
    }

    QCOMPARE(::writeFileData(path, data), expected);

    const QStringList left = QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden
                                                        | QDir::NoDotAndDotDot);
    if (expected) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), data);
        QCOMPARE(left, QStringList{QStringLiteral("update_md5.info")});
    } else {
        // No temporary file stays behind after a failure.
        QCOMPARE(left.size(), 1);
    }
}

void TestReporting::showUpdateErrorResult_data()
{
    QTest::addColumn<bool>("retry");
    QTest::addColumn<bool>("clickRetry");
    QTest::addColumn<bool>("expected");
    QTest::addColumn<QStringList>("buttons");

    QTest::newRow("retry clicked") << true << true << true
                                   << QStringList{QStringLiteral("download"), QStringLiteral("retry")};
    QTest::newRow("escape with retry") << true << false << false
                                       << QStringList{QStringLiteral("download"), QStringLiteral("retry")};
    QTest::newRow("escape without retry") << false << false << false << QStringList();
}

void TestReporting::showUpdateErrorResult()
{
    QFETCH(bool, retry);
    QFETCH(bool, clickRetry);
    QFETCH(bool, expected);
    QFETCH(QStringList, buttons);

    CUpdateError dialog;
    dialog.setDownloadUrl(QStringLiteral("http://127.0.0.1/download"));
    ModalAnswerer answerer({clickRetry ? ModalAnswerer::click(QStringLiteral("retry"))
                                       : ModalAnswerer::pressEscape()});
    QCOMPARE(showUpdateError(&dialog, QStringLiteral("配置错误"), QStringLiteral("升级地址不合法:x"),
                             retry),
             expected);
    QCOMPARE(answerer.seen().size(), 1);
    QCOMPARE(answerer.seen().at(0).texts.value(QStringLiteral("label")), QStringLiteral("配置错误"));
    QCOMPARE(answerer.seen().at(0).texts.value(QStringLiteral("error")),
             QStringLiteral("升级地址不合法:x"));
    QCOMPARE(answerer.seen().at(0).visibleButtons, buttons);
}

void TestReporting::startHostFailures_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("empty") << QString();
    QTest::newRow("missing") << QStringLiteral("/nonexistent-folder/Host.exe");
    QTest::newRow("folder") << QDir::tempPath();
}

void TestReporting::startHostFailures()
{
    QFETCH(QString, path);
    QCOMPARE(startHost(path), false);
}

void TestReporting::startHostArguments()
{
    Installation inst;
    QVERIFY2(inst.isValid(), qPrintable(inst.errorString()));
    QVERIFY(inst.installHost(QStringLiteral("Host.exe")));
    QVERIFY(startHost(inst.hostPath()));
    QCOMPARE(inst.hostCalls(), (QList<QStringList>{
                                   {QCoreApplication::applicationFilePath(),
                                    QStringLiteral("no_check")}}));
}

QTEST_MAIN(TestReporting)
#include "tst_reporting.moc"
