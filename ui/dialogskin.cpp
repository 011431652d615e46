#include "ui/dialogskin.h"

#include <QDialog>
#include <QPainter>
#include <QPixmap>
#include <QString>

void applyDialogSkin(QDialog *dialog)
{
    // Without a title bar the background image is the whole window; the flag is added
    // after setupUi() so that whatever flags the form set up stay in place.
    dialog->setWindowFlags(dialog->windowFlags() | Qt::FramelessWindowHint);
}

void paintDialogBackground(QWidget *widget)
{
    QPainter painter(widget);
    painter.setRenderHint(QPainter::Antialiasing);
    // Loaded on every paint rather than cached: the dialogs are painted rarely, and
    // a pixmap held across the whole run would only cost memory.
    QPixmap background(QStringLiteral(":/update_bg"));
    painter.drawPixmap(0, 0, background);
}
