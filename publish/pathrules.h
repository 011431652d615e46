#pragma once

#include <QString>
#include <QStringList>

// Rules for the relative paths ("/"-separated) of a release: which ones are left
// out, and which ones the updater or a Windows client could not handle.

/// Why the path must not be published (empty when it may be): unsafe for the
/// updater, TAB/CR/LF, "%", "#", a backslash, or a name Windows cannot hold.
QString publishPathProblem(const QString &path);

/// Why one path component cannot be installed under that name on Windows (empty
/// when it can): a name Windows cannot hold or reads as something else.
QString windowsNameProblem(const QString &name);

/// True for what an installation holds but a release never ships: system.cfg, the
/// records update_md5.info and update_sequence.info, *.old and the caches update/, bin/update/.
bool isExcludedByDefault(const QString &path, bool isFolder);

/// Matches an --exclude glob, ignoring case: "*" and "?" stay within one name,
/// "**" spans folders, [abc] is a class. A glob without "/" is tested against the
/// last name of the path, one with "/" against the whole path; a trailing "/"
/// matches folders only.
bool matchesExcludeGlob(const QString &glob, const QString &path, bool isFolder);

/// The path as it may be shown in one message line: control characters and
/// invisible format characters (a byte-order mark, say) escaped.
QString displayPath(const QString &path);
