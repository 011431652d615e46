#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QtGlobal>

/// One file of an update list: where it goes, how large it is, its MD5 text.
struct UpdateFileEntry
{
    QString path;      ///< relative to the installation root, "/" separated, no leading "/"
    quint64 size = 0;  ///< expected size in bytes
    QByteArray md5;    ///< expected fingerprint in MD5 text form, exactly as listed
};

/// Entries by path, ordered by UTF-16 code units (case-sensitive).
using UpdateFileMap = QMap<QString, UpdateFileEntry>;

/// Parses a list in the md5.txt format. Never fails: bad and unsafe lines are skipped.
UpdateFileMap parseFileList(QByteArray text);

/// True when a normalised list path stays inside the folder it is joined to: not
/// empty, relative, no ":" (drive letters, NTFS streams), and no component that
/// is empty or made only of dots and spaces ("", ".", "..", "... ").
/// Everything that joins a list path to a folder checks it first.
bool isSafeRelativePath(const QString &path);

/// The size field of a list line: the low 32 bits, then the high 32 bits, each as
/// 8 lower-case hex digits.
QByteArray fileListSizeField(quint64 size);

/// One list line without its line end: fingerprint TAB size field TAB path bytes.
QByteArray fileListLine(const QByteArray &md5, quint64 size, const QByteArray &encodedPath);
