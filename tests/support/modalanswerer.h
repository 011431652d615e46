#pragma once

// Answers the modal dialogs of code under test that runs on the test's thread:
// polls QApplication::activeModalWidget() from a timer and, on every appearance of
// a modal dialog, records what it shows and runs the next scripted action on it.
//
//   ModalAnswerer answerer({ModalAnswerer::pressEscape(), ModalAnswerer::click("retry")});
//   const int code = runUpdate(values);
//   QCOMPARE(answerer.seen().size(), 2);
//   QCOMPARE(answerer.seen().at(0).texts.value("label"), QString("更新失败"));
//
// Actions queued for a class (on()) answer the dialogs of that class; the general
// queue answers the rest. When no action is left, a class's fallback answers (e.g.
// leave() for a dialog that closes by itself and may be too quick to be seen at
// all), else the dialog is ended with done(-99), so a run that shows more dialogs
// than a test expects still ends.

#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>

class QWidget;

class ModalAnswerer : public QObject
{
    Q_OBJECT
public:
    using Action = std::function<void(QWidget *dialog)>;

    /// One appearance of a modal dialog.
    struct Seen
    {
        QString className;             ///< e.g. "CUpdateError"
        QMap<QString, QString> texts;  ///< label object name -> whole text (tool tip of a shortened one)
        QStringList visibleButtons;    ///< object names of the shown push buttons
    };

    explicit ModalAnswerer(QList<Action> actions = {}, QObject *parent = nullptr);

    void append(Action action) { m_actions.append(action); }
    /// Queues actions for the dialogs of one class (e.g. "CUpdateError").
    void on(const QString &className, const QList<Action> &actions) { m_classActions[className] += actions; }
    /// Answers dialogs of one class with action once their queue is used up.
    void setFallback(const QString &className, Action action) { m_fallbacks[className] = action; }
    QList<Seen> seen() const { return m_seen; }
    /// Appearances of dialogs of one class.
    int count(const QString &className) const;

    /// Clicks the push button with this object name.
    static Action click(const QString &buttonName);
    /// Sends Escape to the dialog's focus widget, as a user would.
    static Action pressEscape();
    /// Does nothing: leaves the dialog to close by itself (the progress dialog).
    static Action leave();
    /// Runs action, then also answers the dialog with answer.
    static Action then(Action first, Action answer);

private:
    void poll();

    QList<Action> m_actions;
    QMap<QString, QList<Action>> m_classActions;
    QMap<QString, Action> m_fallbacks;
    QList<Seen> m_seen;
    QTimer m_timer;
    QWidget *m_current = nullptr;  ///< dialog already answered while it stays visible
};
