#pragma once

#include <QDeadlineTimer>
#include <QString>

// The moves of the installation step, which differ by platform. On Windows another
// program holding a file open without sharing its deletion (a virus scanner reading
// a new or replaced file does, for a moment) makes a move or removal fail; such a
// failure is tried again with growing pauses until patience runs out.

/// Renames from to to, where nothing may lie yet; works on a program file in use.
bool moveInstalledFile(const QString &from, const QString &to, const QDeadlineTimer &patience);

/// Moves a staged file, made by the updater, to to, where nothing lies.
bool moveIntoPlace(const QString &from, const QString &to, const QDeadlineTimer &patience);

/// Removes the file at path, also a read-only one.
bool removeInstalledFile(const QString &path, const QDeadlineTimer &patience);
