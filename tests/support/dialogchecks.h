#pragma once

// What the three dialogs show: the shared look, rendered at a device pixel ratio as a
// screen scaled to 100 % or 200 % shows it.

#include <QString>

class QWidget;

/// Empty when the dialog rendered at ratio (1 or 2) has the border in its outermost
/// logical pixel and the artwork for the ratio just inside it; else the first difference.
QString skinDifference(QWidget &dialog, int ratio);
