#pragma once

// What the three dialogs show: the shared look, rendered at a device pixel ratio as a
// screen scaled to 100 % or 200 % shows it, and label texts as a user can read them.

#include <QString>

class QLabel;
class QWidget;

/// Empty when the dialog rendered at ratio (1 or 2) has the border in its outermost
/// logical pixel and the artwork for the ratio just inside it; else the first difference.
QString skinDifference(QWidget &dialog, int ratio);

/// A label's text, or its tool tip where the text is shown shortened.
QString wholeText(const QLabel *label);
