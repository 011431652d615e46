// The update notice: its form, the version text, and which answers let the update go on.

#include "support/dialogchecks.h"
#include "ui/cupdatenotice.h"

#include <QApplication>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QTranslator>
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

class TestCUpdateNotice : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void form();
    void translationContext();
    void frameless();
    void background_data();
    void background();
    void setVersion_data();
    void setVersion();
    void answers_data();
    void answers();
};

void TestCUpdateNotice::form()
{
    CUpdateNotice dialog;
    QCOMPARE(dialog.objectName(), QStringLiteral("CUpdateNoticeClass"));
    QCOMPARE(dialog.windowTitle(), QStringLiteral("CUpdateNotice"));
    QCOMPARE(dialog.size(), QSize(640, 455));

    QStringList names;
    for (QObject *child : dialog.children()) {
        if (child->isWidgetType())
            names << child->objectName();
    }
    QCOMPARE(names, QStringList({"update", "skip", "version"}));

    auto *update = dialog.findChild<QPushButton *>("update");
    auto *skip = dialog.findChild<QPushButton *>("skip");
    auto *version = dialog.findChild<QLabel *>("version");
    QVERIFY(update && skip && version);
    QCOMPARE(update->geometry(), QRect(380, 400, 100, 30));
    QCOMPARE(skip->geometry(), QRect(510, 400, 100, 30));
    QCOMPARE(version->geometry(), QRect(30, 280, 580, 40));
    QCOMPARE(update->text(), QStringLiteral("立即更新"));
    QCOMPARE(skip->text(), QStringLiteral("以后再说"));
    QCOMPARE(version->text(), QStringLiteral("发现新版本：3.0.2.0"));
    QCOMPARE(version->font().pointSize(), 15);
    QVERIFY(update->isDefault());
    QVERIFY(!skip->isDefault());
    QVERIFY(!update->isHidden() && !skip->isHidden());
}

void TestCUpdateNotice::translationContext()
{
    ContextTranslator translator;
    QVERIFY(QCoreApplication::installTranslator(&translator));
    CUpdateNotice dialog;
    // The form's texts use the form's context; the text built at run time the class's.
    const QString formVersion = dialog.findChild<QLabel *>("version")->text();
    dialog.setVersion(QStringLiteral("2.1.0.5"));
    QCoreApplication::removeTranslator(&translator);
    QCOMPARE(dialog.windowTitle(), QStringLiteral("CUpdateNoticeClass|CUpdateNotice"));
    QCOMPARE(dialog.findChild<QPushButton *>("update")->text(), QStringLiteral("CUpdateNoticeClass|立即更新"));
    QCOMPARE(dialog.findChild<QPushButton *>("skip")->text(), QStringLiteral("CUpdateNoticeClass|以后再说"));
    QCOMPARE(formVersion, QStringLiteral("CUpdateNoticeClass|发现新版本：3.0.2.0"));
    QCOMPARE(dialog.findChild<QLabel *>("version")->text(), QStringLiteral("CUpdateNotice|发现新版本：2.1.0.5"));
}

void TestCUpdateNotice::frameless()
{
    CUpdateNotice dialog;
    QVERIFY(dialog.windowFlags().testFlag(Qt::FramelessWindowHint));
    QCOMPARE(dialog.windowType(), Qt::Dialog);
}

void TestCUpdateNotice::background_data()
{
    QTest::addColumn<int>("ratio");
    QTest::newRow("100 %") << 1;
    QTest::newRow("200 %") << 2;
}

void TestCUpdateNotice::background()
{
    QFETCH(int, ratio);
    CUpdateNotice dialog;
    QCOMPARE(skinDifference(dialog, ratio), QString());
    // The window icon has an image of its own for the ratio; a smaller one is not
    // scaled up by QIcon, so a missing size shows as a smaller actual size.
    const QSize iconSize = QSize(32, 32) * ratio;
    QCOMPARE(QIcon(QStringLiteral(":/icon")).actualSize(iconSize), iconSize);
}

void TestCUpdateNotice::setVersion_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("expected");

    QTest::newRow("2.1.0.5") << QStringLiteral("2.1.0.5") << QStringLiteral("发现新版本：2.1.0.5");
    QTest::newRow("empty") << QString() << QStringLiteral("发现新版本：");
    // The placeholder is filled once; one in the version is shown as it stands.
    QTest::newRow("contains %1") << QStringLiteral("3.%1.0") << QStringLiteral("发现新版本：3.%1.0");
    QTest::newRow("contains %2") << QStringLiteral("%2%1") << QStringLiteral("发现新版本：%2%1");
    QTest::newRow("spaces kept") << QStringLiteral(" 4.0 beta ") << QStringLiteral("发现新版本： 4.0 beta ");
    // The version is the server's text, and may be anything up to a whole sentence.
    const QString longVersion = QStringLiteral("4.0.0-beta.2+build.20240611.nightly.x86_64-pc-windows-msvc");
    QTest::newRow("long") << longVersion << QStringLiteral("发现新版本：") + longVersion;
}

void TestCUpdateNotice::setVersion()
{
    QFETCH(QString, version);
    QFETCH(QString, expected);

    CUpdateNotice dialog;
    dialog.setVersion(version);
    const QLabel *label = dialog.findChild<QLabel *>("version");
    const QString text = label->text();
    QCOMPARE(wholeText(label), expected);
    QCOMPARE(label->toolTip().isEmpty(), text == expected);
    QVERIFY(label->fontMetrics().horizontalAdvance(text) <= label->width());
    QCOMPARE(text.at(5), QChar(0xFF1A)); // the full-width colon
}

void TestCUpdateNotice::answers_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<int>("result");

    QTest::newRow("update clicked") << QStringLiteral("update") << 1;
    QTest::newRow("skip clicked") << QStringLiteral("skip") << 0;
    QTest::newRow("Enter") << QStringLiteral("enter") << 1;
    QTest::newRow("Return") << QStringLiteral("return") << 1;
    QTest::newRow("Escape") << QStringLiteral("escape") << 0;
}

void TestCUpdateNotice::answers()
{
    QFETCH(QString, how);
    QFETCH(int, result);

    CUpdateNotice dialog;
    dialog.setVersion(QStringLiteral("2.1.0.5"));
    QString focusName;
    bool active = false;
    const int got = execWith(dialog, [&] {
        // Keys go where a user's keys go: to the widget with the focus, which must be
        // the install button right after the dialog opens.
        active = QTest::qWaitForWindowActive(&dialog);
        QWidget *focus = QApplication::focusWidget();
        focusName = focus ? focus->objectName() : QString();
        QWidget *target = focus && focus->window() == &dialog ? focus : static_cast<QWidget *>(&dialog);
        if (how == QLatin1String("update") || how == QLatin1String("skip"))
            QTest::mouseClick(dialog.findChild<QPushButton *>(how), Qt::LeftButton);
        else if (how == QLatin1String("enter"))
            QTest::keyClick(target, Qt::Key_Enter);
        else if (how == QLatin1String("return"))
            QTest::keyClick(target, Qt::Key_Return);
        else
            QTest::keyClick(target, Qt::Key_Escape);
    });
    QVERIFY(active);
    QCOMPARE(got, result);
    QCOMPARE(focusName, QStringLiteral("update"));
}

QTEST_MAIN(TestCUpdateNotice)
#include "tst_cupdatenotice.moc"
