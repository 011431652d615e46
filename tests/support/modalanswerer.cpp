#include "support/modalanswerer.h"

#include "support/dialogchecks.h"

#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QTest>

ModalAnswerer::ModalAnswerer(QList<Action> actions, QObject *parent)
    : QObject(parent)
    , m_actions(actions)
{
    m_timer.setInterval(5);
    connect(&m_timer, &QTimer::timeout, this, &ModalAnswerer::poll);
    m_timer.start();
}

int ModalAnswerer::count(const QString &className) const
{
    int n = 0;
    for (const Seen &seen : m_seen)
        n += seen.className == className ? 1 : 0;
    return n;
}

void ModalAnswerer::poll()
{
    QWidget *dialog = QApplication::activeModalWidget();
    if (!dialog || !dialog->isVisible()) {
        m_current = nullptr;
        return;
    }
    // The same dialog object is shown again for every attempt; an answered one that
    // is still visible (a click that did not close it) is not answered twice.
    if (dialog == m_current)
        return;
    m_current = dialog;

    Seen seen;
    seen.className = QString::fromLatin1(dialog->metaObject()->className());
    const QList<QLabel *> labels = dialog->findChildren<QLabel *>();
    for (QLabel *label : labels)
        seen.texts.insert(label->objectName(), wholeText(label));
    const QList<QPushButton *> buttons = dialog->findChildren<QPushButton *>();
    for (QPushButton *button : buttons) {
        if (button->isVisible())
            seen.visibleButtons.append(button->objectName());
    }
    seen.visibleButtons.sort();
    m_seen.append(seen);

    QList<Action> &forClass = m_classActions[seen.className];
    if (!forClass.isEmpty()) {
        forClass.takeFirst()(dialog);
    } else if (!m_actions.isEmpty()) {
        m_actions.takeFirst()(dialog);
    } else if (m_fallbacks.contains(seen.className)) {
        m_fallbacks.value(seen.className)(dialog);
    } else if (auto *d = qobject_cast<QDialog *>(dialog)) {
        d->done(-99);
    }
    if (!dialog->isVisible())
        m_current = nullptr;
}

ModalAnswerer::Action ModalAnswerer::click(const QString &buttonName)
{
    return [buttonName](QWidget *dialog) {
        if (auto *button = dialog->findChild<QPushButton *>(buttonName))
            button->click();
    };
}

ModalAnswerer::Action ModalAnswerer::pressEscape()
{
    return [](QWidget *dialog) {
        QWidget *target = QApplication::focusWidget();
        if (!target || target->window() != dialog)
            target = dialog;
        QTest::keyClick(target, Qt::Key_Escape);
    };
}

ModalAnswerer::Action ModalAnswerer::leave()
{
    return [](QWidget *) {};
}

ModalAnswerer::Action ModalAnswerer::then(Action first, Action answer)
{
    return [first, answer](QWidget *dialog) {
        first(dialog);
        answer(dialog);
    };
}
