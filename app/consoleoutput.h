#pragma once

#include <QByteArray>

/// Writes a UTF-8 text to the console the updater was started from, when standard
/// output is that console or nothing at all (a GUI-subsystem program started from
/// a console window has no standard output). False when standard output is a pipe
/// or a file, and always on systems where standard output is never missing: the
/// caller then writes the bytes to standard output itself.
bool writeToConsole(const QByteArray &utf8);
