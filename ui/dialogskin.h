#pragma once

class QDialog;
class QWidget;

// The look the three updater dialogs share: a fixed 640 x 455 frameless window whose
// whole surface is the ":/update_bg" image, with the widgets of the form on top.

/// Adds Qt::FramelessWindowHint to the dialog's current window flags; call after setupUi().
void applyDialogSkin(QDialog *dialog);

/// Paints ":/update_bg" at (0, 0) at its natural size; called from each paintEvent.
void paintDialogBackground(QWidget *widget);
