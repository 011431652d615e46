#pragma once

#include <QColor>

class QDialog;
class QWidget;

// The look the three updater dialogs share: a fixed 640 x 455 frameless window whose
// whole surface is the ":/update_bg" image under a one-pixel border, with the widgets
// of the form on top. Without a title bar, the background is where the window is
// grabbed to move it.

/// Adds Qt::FramelessWindowHint to the dialog's current window flags and lets a drag
/// on anything but a button move the dialog; call after setupUi().
void applyDialogSkin(QDialog *dialog);

/// Paints ":/update_bg" (":/update_bg@2x" on denser screens) at logical size and the
/// border around it; called from each paintEvent.
void paintDialogBackground(QWidget *widget);

/// The border's colour: the dark blue at the top of the artwork's banner.
QColor dialogBorderColor();
