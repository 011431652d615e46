#pragma once

#include <QFile>
#include <QString>

// File operations on the cache, which may lie where other users can write
// (Cache= outside the installation): nothing there may make the updater write
// through a link or hand over a file object that is not its own. One body for
// Unix and one for Windows (cacheplaces_unix.cpp, cacheplaces_win.cpp).

/// Creates path as a new file, opened for reading and writing into file, after
/// removing whatever lies there; a link planted at path between the two is never
/// followed (the creation then fails). Readable by everyone, writable by the owner.
bool createNewFile(const QString &path, QFile &file, QString &error);

/// True when path itself is a link of any kind: a symbolic link, and on Windows any
/// reparse point (a junction too, which Qt 5 reports as a plain folder).
bool isLinkPlace(const QString &path);

/// Removes the link at path itself, never what it points to; a plain file, or an
/// empty folder, at path goes too.
bool removeLinkPlace(const QString &path);

/// True when nobody but the current user (and the administrator) can add, replace
/// or change files in folder: then a file found there is one the updater put there.
/// root is the installation root, which is trusted as it is.
bool isPrivateFolder(const QString &folder, const QString &root);

/// Removes the tree at path without following any link inside it: a link is
/// removed as itself. False when something stays.
bool removeTree(const QString &path);
