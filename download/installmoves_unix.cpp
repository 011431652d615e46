#include "download/installmoves.h"

#include <QFile>
#include <QFileInfo>

#include <cstdio>

// No other program can hold a file against a rename or an unlink here, so there is
// nothing to wait for.

bool moveInstalledFile(const QString &from, const QString &to, const QDeadlineTimer &)
{
    const QFileInfo target(to);
    if (target.exists() || target.isSymLink())
        return false;
    // The C runtime's rename: QFile::rename would fall back to a copy. The 8-bit
    // names are only used when they decode back to the same path; otherwise a
    // look-alike file would be moved.
    const QByteArray from8 = QFile::encodeName(from);
    const QByteArray to8 = QFile::encodeName(to);
    if (QFile::decodeName(from8) != from || QFile::decodeName(to8) != to)
        return false;
    return std::rename(from8.constData(), to8.constData()) == 0;
}

bool moveIntoPlace(const QString &from, const QString &to, const QDeadlineTimer &)
{
    // A file the updater made itself moves in under the exact name, any name.
    return QFile::rename(from, to);
}

bool removeInstalledFile(const QString &path, const QDeadlineTimer &)
{
    return QFile::remove(path);
}
