// The error dialog: its form, the button-visibility rules, exec() results for retry
// and Escape, the download page handed to the desktop's URL handler, long messages in
// a one-line label, the shared skin and moving the frameless window.

#include "support/dialogchecks.h"
#include "ui/cupdateerror.h"

#include <QApplication>
#include <QDesktopServices>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QTranslator>
#include <QUrl>
#include <QtTest>

#include <functional>

namespace {

/// Runs dialog.exec() with action() called once its event loop runs. A watchdog ends
/// a dialog that the action failed to close, with a result no test expects.
int execWith(QDialog &dialog, const std::function<void()> &action)
{
    QTimer::singleShot(0, &dialog, action);
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, &dialog, [&dialog] { dialog.done(-99); });
    watchdog.start(20000);
    return dialog.exec();
}

/// Sends a key the way a user would: to the widget that has the keyboard focus.
void typeKey(QDialog &dialog, Qt::Key key)
{
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    QWidget *target = QApplication::focusWidget();
    if (!target || target->window() != &dialog)
        target = &dialog;
    QTest::keyClick(target, key);
}

/// Answers every text with "<context>|<source>", to show which context a text uses.
class ContextTranslator : public QTranslator
{
public:
    QString translate(const char *context, const char *sourceText, const char *, int) const override
    {
        return QString::fromUtf8(context) + QLatin1Char('|') + QString::fromUtf8(sourceText);
    }
    bool isEmpty() const override { return false; }
};

} // namespace

class TestCUpdateError : public QObject
{
    Q_OBJECT
public Q_SLOTS:
    /// Stands in for the web browser.
    void openUrl(const QUrl &url) { m_opened.append(url); }

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void init() { m_opened.clear(); }

    void form();
    void translationContext();
    void frameless();
    void background_data();
    void background();
    void dragMovesDialog_data();
    void dragMovesDialog();
    void buttonVisibility_data();
    void buttonVisibility();
    void setMessageTexts();
    void longTextsFit_data();
    void longTextsFit();
    void wrapsWhereRoomAndRefitsOnResize();
    void retryClickReturnsOne();
    void enterPressesRetry();
    void escapeReturnsZero();
    void withoutRetryOnlyEscapeLeaves();
    void downloadOpensPageAndStays_data();
    void downloadOpensPageAndStays();

private:
    QList<QUrl> m_opened;
};

void TestCUpdateError::initTestCase()
{
    QDesktopServices::setUrlHandler(QStringLiteral("http"), this, "openUrl");
    QDesktopServices::setUrlHandler(QStringLiteral("https"), this, "openUrl");
}

void TestCUpdateError::cleanupTestCase()
{
    QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
}

void TestCUpdateError::form()
{
    CUpdateError dialog;
    QCOMPARE(dialog.objectName(), QStringLiteral("CUpdateError"));
    QCOMPARE(dialog.windowTitle(), QStringLiteral("CUpdateError"));
    QCOMPARE(dialog.size(), QSize(640, 455));

    // Creation order is the order of the children.
    QStringList names;
    for (QObject *child : dialog.children()) {
        if (child->isWidgetType())
            names << child->objectName();
    }
    QCOMPARE(names, QStringList({"retry", "download", "label", "error"}));

    auto *retry = dialog.findChild<QPushButton *>("retry");
    auto *download = dialog.findChild<QPushButton *>("download");
    auto *label = dialog.findChild<QLabel *>("label");
    auto *error = dialog.findChild<QLabel *>("error");
    QVERIFY(retry && download && label && error);

    QCOMPARE(retry->geometry(), QRect(380, 400, 100, 30));
    QCOMPARE(download->geometry(), QRect(510, 400, 100, 30));
    QCOMPARE(label->geometry(), QRect(30, 300, 580, 40));
    QCOMPARE(error->geometry(), QRect(30, 370, 580, 24));

    QCOMPARE(retry->text(), QStringLiteral("再试一次"));
    QCOMPARE(download->text(), QStringLiteral("官网下载"));
    QCOMPARE(label->text(), QStringLiteral("更新失败"));
    QCOMPARE(error->text(), QStringLiteral("网络错误：10012"));
    QCOMPARE(error->text().at(4), QChar(0xFF1A));

    QVERIFY(retry->isDefault());
    QVERIFY(!download->isDefault());
    QCOMPARE(label->font().pointSize(), 15);
    QCOMPARE(error->font(), dialog.font());
    QCOMPARE(label->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
    QCOMPARE(label->sizePolicy().verticalPolicy(), QSizePolicy::Expanding);
    QCOMPARE(label->sizePolicy().horizontalStretch(), 0);
    QCOMPARE(label->sizePolicy().verticalStretch(), 0);
    QCOMPARE(label->sizePolicy().hasHeightForWidth(), QLabel().sizePolicy().hasHeightForWidth());

    QVERIFY(!retry->isHidden());
    QVERIFY(download->isHidden());
}

void TestCUpdateError::translationContext()
{
    ContextTranslator translator;
    QVERIFY(QCoreApplication::installTranslator(&translator));
    CUpdateError dialog;
    QCoreApplication::removeTranslator(&translator);
    QCOMPARE(dialog.windowTitle(), QStringLiteral("CUpdateError|CUpdateError"));
    QCOMPARE(dialog.findChild<QPushButton *>("retry")->text(), QStringLiteral("CUpdateError|再试一次"));
    QCOMPARE(dialog.findChild<QPushButton *>("download")->text(), QStringLiteral("CUpdateError|官网下载"));
    QCOMPARE(dialog.findChild<QLabel *>("label")->text(), QStringLiteral("CUpdateError|更新失败"));
    QCOMPARE(dialog.findChild<QLabel *>("error")->text(), QStringLiteral("CUpdateError|网络错误：10012"));
}

void TestCUpdateError::frameless()
{
    CUpdateError dialog;
    QVERIFY(dialog.windowFlags().testFlag(Qt::FramelessWindowHint));
    // The flag is added to a dialog's usual flags, not put in their place.
    QCOMPARE(dialog.windowType(), Qt::Dialog);
}

void TestCUpdateError::background_data()
{
    QTest::addColumn<int>("ratio");
    QTest::newRow("100 %") << 1;
    QTest::newRow("200 %") << 2;
}

void TestCUpdateError::background()
{
    QFETCH(int, ratio);
    CUpdateError dialog;
    QCOMPARE(skinDifference(dialog, ratio), QString());
}

void TestCUpdateError::dragMovesDialog_data()
{
    QTest::addColumn<QPoint>("pressAt");
    QTest::addColumn<int>("button");
    QTest::addColumn<bool>("moves");

    QTest::newRow("background") << QPoint(320, 125) << int(Qt::LeftButton) << true;
    QTest::newRow("message label") << QPoint(100, 380) << int(Qt::LeftButton) << true;
    QTest::newRow("retry button") << QPoint(430, 415) << int(Qt::LeftButton) << false;
    QTest::newRow("right button") << QPoint(320, 125) << int(Qt::RightButton) << false;
}

void TestCUpdateError::dragMovesDialog()
{
    QFETCH(QPoint, pressAt);
    QFETCH(int, button);
    QFETCH(bool, moves);

    CUpdateError dialog;
    dialog.move(200, 150);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    const QPoint start = dialog.pos();
    const QPoint pointer = dialog.mapToGlobal(pressAt);
    // As Qt delivers them: all to the widget pressed on, local positions relative to
    // where the dialog was when the events were queued, before it could follow.
    QWidget *target = dialog.childAt(pressAt) ? dialog.childAt(pressAt) : &dialog;
    auto send = [&](QEvent::Type type, QPoint moved, int which, int held) {
        QMouseEvent event(type, target->mapFrom(&dialog, pressAt + moved), pointer + moved,
                          Qt::MouseButton(which), Qt::MouseButtons(held), Qt::NoModifier);
        QApplication::sendEvent(target, &event);
    };
    send(QEvent::MouseButtonPress, {}, button, button);
    for (int step = 1; step <= 3; ++step) {
        send(QEvent::MouseMove, QPoint(30, -20) * step, Qt::NoButton, button);
        QCOMPARE(dialog.pos(), moves ? start + QPoint(30, -20) * step : start);
    }
    send(QEvent::MouseButtonRelease, QPoint(90, -60), button, Qt::NoButton);
    send(QEvent::MouseMove, QPoint(120, -80), Qt::NoButton, Qt::NoButton);
    QCOMPARE(dialog.pos(), moves ? start + QPoint(90, -60) : start);
}

void TestCUpdateError::buttonVisibility_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<int>("message"); // -1: no setMessage; 0/1: the retry argument
    QTest::addColumn<bool>("retryVisible");
    QTest::addColumn<bool>("downloadVisible");

    const QString page = QStringLiteral("https://example.com/download");
    QTest::newRow("no message, no address") << QString() << -1 << true << false;
    QTest::newRow("no message, address") << page << -1 << true << true;
    QTest::newRow("retry, no address") << QString() << 1 << true << false;
    QTest::newRow("retry, address") << page << 1 << true << true;
    QTest::newRow("no retry, no address") << QString() << 0 << false << false;
    QTest::newRow("no retry, address") << page << 0 << false << false;
}

void TestCUpdateError::buttonVisibility()
{
    QFETCH(QString, url);
    QFETCH(int, message);
    QFETCH(bool, retryVisible);
    QFETCH(bool, downloadVisible);

    CUpdateError dialog;
    dialog.setDownloadUrl(url);
    if (message >= 0)
        dialog.setMessage(QStringLiteral("更新失败"), QStringLiteral("x"), message == 1);
    auto *retry = dialog.findChild<QPushButton *>("retry");
    auto *download = dialog.findChild<QPushButton *>("download");
    QCOMPARE(!retry->isHidden(), retryVisible);
    QCOMPARE(!download->isHidden(), downloadVisible);

    // Shown on screen, the same holds.
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QCOMPARE(retry->isVisible(), retryVisible);
    QCOMPARE(download->isVisible(), downloadVisible);
    dialog.hide();

    // A retry message after a final one offers both again, as far as the address allows.
    dialog.setMessage(QStringLiteral("配置错误"), QStringLiteral("y"), false);
    QVERIFY(retry->isHidden() && download->isHidden());
    dialog.setMessage(QStringLiteral("更新失败"), QStringLiteral("z"), true);
    QVERIFY(!retry->isHidden());
    QCOMPARE(!download->isHidden(), !url.isEmpty());

    // A later address change touches only the download button, even after a final message.
    dialog.setMessage(QStringLiteral("启动"), QStringLiteral("w"), false);
    dialog.setDownloadUrl(url.isEmpty() ? QStringLiteral("https://example.com/") : QString());
    QVERIFY(retry->isHidden());
    QCOMPARE(!download->isHidden(), url.isEmpty());
}

void TestCUpdateError::setMessageTexts()
{
    CUpdateError dialog;
    const QString message = QStringLiteral("下载更新文件%1失败 \"quoted\" \\ <b>不是标记</b>");
    dialog.setMessage(QStringLiteral("更新失败"), message, true);
    QCOMPARE(dialog.findChild<QLabel *>("label")->text(), QStringLiteral("更新失败"));
    QCOMPARE(dialog.findChild<QLabel *>("error")->text(), message);
    // Shown as the text it is, not as markup.
    QCOMPARE(dialog.findChild<QLabel *>("error")->textFormat(), Qt::PlainText);
    dialog.setMessage(QString(), QString(), false);
    QCOMPARE(dialog.findChild<QLabel *>("label")->text(), QString());
    QCOMPARE(dialog.findChild<QLabel *>("error")->text(), QString());
    // The buttons' texts never change.
    QCOMPARE(dialog.findChild<QPushButton *>("retry")->text(), QStringLiteral("再试一次"));
    QCOMPARE(dialog.findChild<QPushButton *>("download")->text(), QStringLiteral("官网下载"));
}

void TestCUpdateError::longTextsFit_data()
{
    QTest::addColumn<QString>("labelName");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("shownStart"); // empty: shown whole
    QTest::addColumn<QString>("shownEnd");

    const QString path = QStringLiteral("/home/zhangwei/.local/share/ExampleSoft/Studio 2024/plugins/"
                                        "imageformats/deeper/than/any/label/holds/qjpeg.dll");
    QTest::newRow("short") << "error" << QStringLiteral("网络错误：10012") << QString() << QString();
    QTest::newRow("long path") << "error" << QStringLiteral("路径%1被占用，无法删除!").arg(path)
                               << QStringLiteral("路径/home/zhangwei/") << QStringLiteral("/qjpeg.dll被占用，无法删除!");
    QTest::newRow("long file name") << "error" << QStringLiteral("路径/tmp/%1.dll被占用").arg(QString(60, 'n'))
                                    << QStringLiteral("路径/tmp/nnn") << QStringLiteral("nnn.dll被占用");
    // Lines after the first would be cut off by a label of one line's height.
    QTest::newRow("several lines") << "error" << QStringLiteral("第一行\n第二行\r\n第三行")
                                   << QStringLiteral("第一行 第二行 第三行") << QString();
    QTest::newRow("long title") << "label" << QStringLiteral("更新失败：") + QString(40, QChar(0x9519))
                                << QStringLiteral("更新失败：") << QStringLiteral("错错");
}

void TestCUpdateError::longTextsFit()
{
    QFETCH(QString, labelName);
    QFETCH(QString, text);
    QFETCH(QString, shownStart);
    QFETCH(QString, shownEnd);

    CUpdateError dialog;
    auto *label = dialog.findChild<QLabel *>(labelName);
    dialog.setMessage(text, text, true);
    const QString shown = label->text();
    QVERIFY(label->fontMetrics().horizontalAdvance(shown) <= label->contentsRect().width());
    QVERIFY2(shown.startsWith(shownStart) && shown.endsWith(shownEnd), qPrintable(shown));
    QCOMPARE(shown.contains(QChar(0x2026)), !shownEnd.isEmpty());
    QCOMPARE(label->toolTip(), shownStart.isEmpty() ? QString() : text);
    // The tool tip goes with the shortening.
    dialog.setMessage(QStringLiteral("x"), QStringLiteral("x"), true);
    QCOMPARE(label->toolTip(), QString());
}

void TestCUpdateError::wrapsWhereRoomAndRefitsOnResize()
{
    CUpdateError dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog)); // resize events reach shown widgets only
    auto *error = dialog.findChild<QLabel *>("error");
    const QFontMetrics metrics = error->fontMetrics();
    const QString path = QStringLiteral("路径/home/") + QStringLiteral("folder/").repeated(40) + QStringLiteral("a.dll被占用");
    dialog.setMessage(QString(), path, true);
    // Room for three lines: wrapped, and shortened only as far as three lines need.
    error->resize(580, metrics.height() + 2 * metrics.lineSpacing());
    QVERIFY(error->wordWrap() && error->text().contains(QChar(0x2026)) && error->text().endsWith("/a.dll被占用"));
    QVERIFY(metrics.horizontalAdvance(error->text()) > 2 * 580);
    QVERIFY(metrics.boundingRect(QRect(0, 0, 580, 1000), Qt::TextWordWrap, error->text()).height() <= error->height());
    dialog.setMessage(QString(), path.left(120), true);
    QVERIFY(error->wordWrap());
    QCOMPARE(error->text(), path.left(120));
    // Back to the form's height: one line.
    error->resize(580, 24);
    QVERIFY(!error->wordWrap() && metrics.horizontalAdvance(error->text()) <= 580);
    QCOMPARE(error->toolTip(), path.left(120));
}

void TestCUpdateError::retryClickReturnsOne()
{
    CUpdateError dialog;
    dialog.setMessage(QStringLiteral("更新失败"), QStringLiteral("下载升级描述文件失败:网络超时"), true);
    auto *retry = dialog.findChild<QPushButton *>("retry");
    QCOMPARE(execWith(dialog, [retry] { QTest::mouseClick(retry, Qt::LeftButton); }), 1);
    QVERIFY(!dialog.isVisible());
    // The one dialog is reused for the next message of the run.
    QCOMPARE(execWith(dialog, [retry] { QTest::mouseClick(retry, Qt::LeftButton); }), 1);
}

void TestCUpdateError::enterPressesRetry()
{
    CUpdateError dialog;
    dialog.setDownloadUrl(QStringLiteral("https://example.com/"));
    dialog.setMessage(QStringLiteral("更新失败"), QStringLiteral("x"), true);
    QCOMPARE(execWith(dialog, [&dialog] { typeKey(dialog, Qt::Key_Return); }), 1);
    QVERIFY(m_opened.isEmpty());
}

void TestCUpdateError::escapeReturnsZero()
{
    CUpdateError dialog;
    dialog.setMessage(QStringLiteral("更新失败"), QStringLiteral("x"), true);
    QCOMPARE(execWith(dialog, [&dialog] { typeKey(dialog, Qt::Key_Escape); }), 0);
}

void TestCUpdateError::withoutRetryOnlyEscapeLeaves()
{
    CUpdateError dialog;
    dialog.setDownloadUrl(QStringLiteral("https://example.com/"));
    dialog.setMessage(QStringLiteral("配置错误"), QStringLiteral("升级地址不合法:"), false);
    bool stayedAfterEnter = false;
    const int result = execWith(dialog, [&] {
        // The default button is hidden, so Enter has nothing to press.
        typeKey(dialog, Qt::Key_Return);
        stayedAfterEnter = dialog.isVisible();
        typeKey(dialog, Qt::Key_Escape);
    });
    QVERIFY(stayedAfterEnter);
    QCOMPARE(result, 0);
}

void TestCUpdateError::downloadOpensPageAndStays_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QUrl>("expected");

    QTest::newRow("plain") << QStringLiteral("https://example.com/download.html")
                           << QUrl(QStringLiteral("https://example.com/download.html"));
    QTest::newRow("query") << QStringLiteral("http://127.0.0.1:8080/soft?id=3&os=win")
                           << QUrl(QStringLiteral("http://127.0.0.1:8080/soft?id=3&os=win"));
    // Tolerant parsing repairs what a hand-edited configuration may hold.
    QTest::newRow("space") << QStringLiteral("https://example.com/down load")
                           << QUrl(QStringLiteral("https://example.com/down%20load"));
    QTest::newRow("chinese path") << QStringLiteral("https://example.com/下载")
                                  << QUrl(QStringLiteral("https://example.com/%E4%B8%8B%E8%BD%BD"));
}

void TestCUpdateError::downloadOpensPageAndStays()
{
    QFETCH(QString, address);
    QFETCH(QUrl, expected);

    CUpdateError dialog;
    dialog.setDownloadUrl(address);
    dialog.setMessage(QStringLiteral("更新失败"), QStringLiteral("x"), true);
    auto *download = dialog.findChild<QPushButton *>("download");
    auto *retry = dialog.findChild<QPushButton *>("retry");
    bool stayedOpen = false;
    int openedBeforeRetry = -1;
    const int result = execWith(dialog, [&] {
        QTest::mouseClick(download, Qt::LeftButton);
        QTest::mouseClick(download, Qt::LeftButton);
        stayedOpen = dialog.isVisible();
        openedBeforeRetry = m_opened.size();
        QTest::mouseClick(retry, Qt::LeftButton);
    });
    QVERIFY(stayedOpen);
    QCOMPARE(openedBeforeRetry, 2);
    QCOMPARE(result, 1);
    QCOMPARE(m_opened, QList<QUrl>({expected, expected}));
    QCOMPARE(m_opened.first().toString(QUrl::FullyEncoded), expected.toString(QUrl::FullyEncoded));
}

QTEST_MAIN(TestCUpdateError)
#include "tst_cupdateerror.moc"
