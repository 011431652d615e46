#pragma once

#include <QString>

/// Moves the finished folder staging to target (both in one file system). With
/// replace and an existing target the two are exchanged, atomically where the
/// system can (Linux), so that staging then holds the old folder; otherwise
/// target must not exist. False with a message, target unchanged, on failure.
bool moveFolderIntoPlace(const QString &staging, const QString &target, bool replace, QString &errorMessage);
