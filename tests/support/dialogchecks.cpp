#include "support/dialogchecks.h"

#include "ui/dialogskin.h"

#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QWidget>

QString skinDifference(QWidget &dialog, int ratio)
{
    const QImage artwork = QImage(ratio == 1 ? QStringLiteral(":/update_bg") : QStringLiteral(":/update_bg@2x"))
                                   .convertToFormat(QImage::Format_RGB32);
    QPixmap pixmap(dialog.size() * ratio);
    pixmap.setDevicePixelRatio(ratio);
    dialog.render(&pixmap);
    const QImage shot = pixmap.toImage().convertToFormat(QImage::Format_RGB32);
    const QRgb border = dialogBorderColor().rgb();
    // Top right and bottom left: where the artwork differs from the border on all sides.
    if (shot.size() != artwork.size() || artwork.pixel(shot.width() - 1, 0) == border
        || artwork.pixel(0, shot.height() - 1) == border)
        return QStringLiteral("cannot tell border from artwork");
    // The form keeps its widgets 30 pixels away from the edges.
    const QRect inside = shot.rect().adjusted(ratio, ratio, -ratio, -ratio);
    const QRect within = inside.adjusted(1, 1, -1, -1);
    for (int y = 0; y < shot.height(); ++y) {
        for (int x = 0; x < shot.width(); ++x) {
            const QPoint p(x, y);
            const QRgb expected = inside.contains(p) ? artwork.pixel(p) : border;
            if (!within.contains(p) && shot.pixel(p) != expected)
                return QStringLiteral("(%1, %2) is %3, not %4")
                        .arg(x).arg(y).arg(QColor(shot.pixel(p)).name(), QColor(expected).name());
        }
    }
    return QString();
}

QString wholeText(const QLabel *label)
{
    return label->toolTip().isEmpty() ? label->text() : label->toolTip();
}
