#include "ui/dialogskin.h"

#include <QAbstractButton>
#include <QDialog>
#include <QMouseEvent>
#include <QPaintEngine>
#include <QPainter>
#include <QPixmap>
#include <QString>

namespace {

/// Moves a window while the left button is held down on it. Buttons take their presses
/// for themselves; labels, bars and the background pass theirs on to the window, which
/// is where this filter sees them.
class WindowDragger : public QObject
{
public:
    explicit WindowDragger(QWidget *window)
        : QObject(window)
        , m_window(window)
    {
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched != m_window)
            return false;
        switch (event->type()) {
        case QEvent::MouseButtonPress: {
            const auto *mouse = static_cast<QMouseEvent *>(event);
            // A disabled button passes its press on; it must not start a drag either.
            if (mouse->button() != Qt::LeftButton
                || qobject_cast<QAbstractButton *>(m_window->childAt(mouse->pos())))
                return false;
            m_offset = mouse->globalPos() - m_window->pos();
            m_dragging = true;
            return true;
        }
        case QEvent::MouseMove: {
            const auto *mouse = static_cast<QMouseEvent *>(event);
            // The release can go missing (another window grabbed the mouse meanwhile);
            // a move without the button ends the drag instead of dragging on.
            if (!m_dragging || !mouse->buttons().testFlag(Qt::LeftButton)) {
                m_dragging = false;
                return false;
            }
            // From global positions: the local one shifts with every step the window
            // makes under the pointer, and following it makes the window shake.
            m_window->move(mouse->globalPos() - m_offset);
            return true;
        }
        case QEvent::MouseButtonRelease:
            if (!m_dragging || static_cast<QMouseEvent *>(event)->button() != Qt::LeftButton)
                return false;
            m_dragging = false;
            return true;
        default:
            return false;
        }
    }

private:
    QWidget *m_window;
    QPoint m_offset; ///< from the window's position to the pointer, while dragging
    bool m_dragging = false;
};

} // namespace

void applyDialogSkin(QDialog *dialog)
{
    // Without a title bar the background image is the whole window; the flag is added
    // after setupUi() so that whatever flags the form set up stay in place.
    dialog->setWindowFlags(dialog->windowFlags() | Qt::FramelessWindowHint);
    dialog->installEventFilter(new WindowDragger(dialog));
}

QColor dialogBorderColor()
{
    // make_artwork.py: the gradient's top colour.
    return QColor(24, 64, 132);
}

void paintDialogBackground(QWidget *widget)
{
    QPainter painter(widget);
    if (!painter.isActive())
        return;
    // The density of what is painted on, not of the widget: grab() and render() may
    // paint into a pixmap of another ratio than the screen's. The @2x file carries its
    // ratio in its name (QImageReader reads it from there) and so is drawn at logical
    // size; at 1.5 it is scaled down, which keeps it sharp where 1x scaled up would blur.
    const qreal ratio = painter.paintEngine()->paintDevice()->devicePixelRatioF();
    // Loaded on every paint rather than cached: the dialogs are painted rarely, and
    // a pixmap held across the whole run would only cost memory.
    const QPixmap background(ratio > 1.0 ? QStringLiteral(":/update_bg@2x") : QStringLiteral(":/update_bg"));
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawPixmap(0, 0, background);

    // Frameless, the window has no edge of its own: the panel's near-white would run
    // into a white window behind it. Filled, not stroked, so that the line covers
    // exactly the outermost row and column at any ratio.
    const QRect r = widget->rect();
    const QColor border = dialogBorderColor();
    painter.fillRect(QRect(r.left(), r.top(), r.width(), 1), border);
    painter.fillRect(QRect(r.left(), r.bottom(), r.width(), 1), border);
    painter.fillRect(QRect(r.left(), r.top(), 1, r.height()), border);
    painter.fillRect(QRect(r.right(), r.top(), 1, r.height()), border);
}
