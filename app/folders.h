#pragma once

#include <QDir>
#include <QString>

/// Creates the folder of dir with every missing parent level: walks up to the
/// nearest existing ancestor and creates the rest below it. dir keeps its full path.
/// False when the folder does not exist afterwards.
bool makeDirectory(QDir &dir);

/// The installation root for an executable folder: the folder made absolute and
/// created when missing, then its parent when its last component is "bin" (any case).
QDir installationRoot(const QString &exeDir);

/// True when path is folder itself or lies below it. Both are made absolute and
/// cleaned; existing parts are compared with links resolved.
bool isSameOrInside(const QString &path, const QString &folder);

/// The absolute, cleaned form of path with its longest existing head resolved
/// through links: the form in which isSameOrInside compares paths.
QString comparablePath(const QString &path);

/// isSameOrInside for two paths already in comparablePath form.
bool isSameOrInsideComparable(const QString &inner, const QString &outer);
