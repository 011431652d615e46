#include "ui/labelfitter.h"

#include <QEvent>
#include <QFontMetrics>
#include <QLabel>

#include <algorithm>

namespace {

bool isLineBreak(QChar c)
{
    return c == QLatin1Char('\n') || c == QLatin1Char('\r') || c == QChar::LineSeparator
            || c == QChar::ParagraphSeparator;
}

/// The text on one line: each line break (CR LF counted once) becomes a space, so the
/// words on both sides stay apart.
QString joinedLines(const QString &text)
{
    QString line;
    line.reserve(text.size());
    for (int i = 0; i < text.size(); ++i) {
        if (text.at(i) == QLatin1Char('\r') && i + 1 < text.size() && text.at(i + 1) == QLatin1Char('\n'))
            continue;
        line.append(isLineBreak(text.at(i)) ? QChar(QLatin1Char(' ')) : text.at(i));
    }
    return line;
}

/// Whether text, wrapped at word boundaries the way QLabel wraps, fits into area. A word
/// longer than the width is not broken by QLabel, so it counts as too wide.
bool fitsWrapped(const QFontMetrics &metrics, const QRect &area, const QString &text)
{
    const QRect needed = metrics.boundingRect(QRect(0, 0, area.width(), 1 << 20), Qt::TextWordWrap, text);
    return needed.width() <= area.width() && needed.height() <= area.height();
}

/// One line of text no wider than width, with an ellipsis where text was left out.
QString shortened(const QFontMetrics &metrics, const QString &line, int width)
{
    // In the messages that run long the path is the point: "路径%1被占用" or
    // "创建目录%1失败". Its start says where, its file name which file, so the folders
    // in between go first. The tail after the last separator stays whole while it
    // leaves at least a third of the width for the start.
    const int lastSeparator = std::max(line.lastIndexOf(QLatin1Char('/')), line.lastIndexOf(QLatin1Char('\\')));
    if (lastSeparator > 0) {
        const QString tail = line.mid(lastSeparator);
        const int room = width - metrics.horizontalAdvance(tail);
        if (room >= width / 3) {
            const QString kept = metrics.elidedText(line.left(lastSeparator), Qt::ElideRight, room) + tail;
            // Advances measured apart can differ from the whole by a kerning pair.
            if (metrics.horizontalAdvance(kept) <= width)
                return kept;
        }
    }
    return metrics.elidedText(line, Qt::ElideMiddle, width);
}

} // namespace

LabelFitter::LabelFitter(QLabel *label)
    : QObject(label)
    , m_label(label)
    , m_text(label->text())
{
    // Texts come from the network and the file system; one that happens to start like
    // HTML must not be rendered as markup, and a shortened one would break its tags.
    m_label->setTextFormat(Qt::PlainText);
    m_label->installEventFilter(this);
    fit();
}

void LabelFitter::setText(const QString &text)
{
    // The progress dialog sets its description for every file; most of those calls
    // bring the text already shown.
    if (text == m_text)
        return;
    m_text = text;
    fit();
}

bool LabelFitter::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_label
        && (event->type() == QEvent::Resize || event->type() == QEvent::FontChange
            || event->type() == QEvent::StyleChange))
        fit();
    return false;
}

void LabelFitter::fit()
{
    const int margin = m_label->margin();
    const QRect area = m_label->contentsRect().adjusted(margin, margin, -margin, -margin);
    const QFontMetrics metrics = m_label->fontMetrics();
    QString shown = m_text;
    bool wrap = false;
    const bool oneLine = std::none_of(m_text.cbegin(), m_text.cend(), isLineBreak);
    // The common case, a short text, costs one measurement.
    if (area.width() > 0 && (!oneLine || metrics.horizontalAdvance(m_text) > area.width())) {
        // The last line needs only the font's height, every line above it a line spacing.
        const int lines = area.height() < metrics.height()
                ? 1 : 1 + (area.height() - metrics.height()) / metrics.lineSpacing();
        wrap = lines > 1;
        if (!wrap || !fitsWrapped(metrics, area, m_text)) {
            const QString line = joinedLines(m_text);
            shown = shortened(metrics, line, area.width());
            // With room for several lines, keep as much as still wraps into the area:
            // the widest shortening that fits, found by halving the range.
            int low = area.width();
            int high = lines * area.width();
            while (wrap && low < high) {
                const int width = low + (high - low + 1) / 2;
                const QString candidate = shortened(metrics, line, width);
                if (fitsWrapped(metrics, area, candidate)) {
                    shown = candidate;
                    low = width;
                } else {
                    high = width - 1;
                }
            }
        }
    }
    if (m_label->wordWrap() != wrap)
        m_label->setWordWrap(wrap);
    m_label->setText(shown);
    m_label->setToolTip(shown == m_text ? QString() : m_text);
}
