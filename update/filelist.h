#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QtGlobal>

class QTextCodec;

/// One file of an update list: where it goes, how large it is, its fingerprints.
struct UpdateFileEntry
{
    QString path;      ///< relative to the installation root, "/" separated, no leading "/"
    quint64 size = 0;  ///< expected size in bytes
    QByteArray md5;    ///< expected fingerprint in MD5 text form, exactly as listed
    QByteArray sha256; ///< SHA-256 in lower-case hex from a signed release; empty otherwise
};

/// Entries by path, ordered by UTF-16 code units (case-sensitive).
using UpdateFileMap = QMap<QString, UpdateFileEntry>;

/// Parses a list in the md5.txt format. Never fails: bad and unsafe lines are skipped.
/// Paths are decoded with the system's local 8-bit encoding.
UpdateFileMap parseFileList(QByteArray text);

/// The same, with paths decoded by codec: how a client whose local encoding it is
/// reads the list (null: Latin-1, as without any codec).
UpdateFileMap parseFileList(QByteArray text, QTextCodec *codec);

/// The path a list line's path field stands for: decoded by codec (null: Latin-1)
/// with a byte-order mark kept as U+FEFF, backslashes made "/", one leading "/" removed.
QString fileListPath(const QByteArray &field, QTextCodec *codec);

/// True when a list path stays inside the folder it is joined to and names a file
/// there: not empty, relative, no ":" (drive letters, NTFS streams), no empty last
/// component, and no component made only of dots and spaces except an inner ".".
/// Everything that joins a list path to a folder checks it first.
bool isSafeRelativePath(const QString &path);

/// The size field of a list line: the low 32 bits, then the high 32 bits, each as
/// 8 lower-case hex digits.
QByteArray fileListSizeField(quint64 size);

/// One list line without its line end: fingerprint TAB size field TAB path bytes.
QByteArray fileListLine(const QByteArray &md5, quint64 size, const QByteArray &encodedPath);
