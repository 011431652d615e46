#pragma once

#include <QObject>
#include <QString>

class QEvent;
class QLabel;

/// Keeps a text readable in a label of fixed size: shown as it is when it fits, wrapped
/// when the label has room for more lines, else shortened in the middle (a path keeps
/// its start and its file name). A shortened text is whole in the label's tool tip.
/// Lives as a child of the label; fits again whenever the text, size or font changes.
class LabelFitter : public QObject
{
    Q_OBJECT
public:
    /// Takes the label's current text (the form's) as the text to show.
    explicit LabelFitter(QLabel *label);

    /// Shows text in the label, fitted to its size; the same text again costs nothing.
    void setText(const QString &text);
    /// The whole text, as last given.
    QString text() const { return m_text; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void fit();

    QLabel *m_label;
    QString m_text;
};
