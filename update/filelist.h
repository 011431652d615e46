#pragma once

#include "update/packartefact.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>
#include <QtGlobal>

#include <functional>

class QTextCodec;

/// One file of an update list: where it goes, how large it is, its fingerprints.
struct UpdateFileEntry
{
    QString path;      ///< relative to the installation root, "/" separated, no leading "/"
    quint64 size = 0;  ///< expected size in bytes
    QByteArray md5;    ///< expected fingerprint in MD5 text form, exactly as listed
    QByteArray sha256; ///< SHA-256 in lower-case hex from a signed release; empty otherwise
    QList<PackArtefact> artefacts; ///< smaller ways to the file (index.txt), patches first
};

/// The rules a list path is judged by. Every client refuses a path that could
/// leave the folder it is joined to; a Windows client also refuses one that
/// Windows reads as something else (a device, a stream, an 8.3 alias, another
/// spelling of the updater's own files), and takes paths that differ only in
/// letter case for one file.
enum class PathRules { Basic, Windows };

/// The rules of the system the program runs on.
#ifdef Q_OS_WIN
constexpr PathRules HostPathRules = PathRules::Windows;
#else
constexpr PathRules HostPathRules = PathRules::Basic;
#endif

/// Entries by path, ordered by UTF-16 code units (case-sensitive).
using UpdateFileMap = QMap<QString, UpdateFileEntry>;

/// Parses a list in the md5.txt format. Never fails: bad and unsafe lines are skipped.
/// Paths are decoded with the system's local 8-bit encoding and judged by the
/// host's rules. A path listed twice, or under two spellings of one file, keeps
/// its later line.
UpdateFileMap parseFileList(QByteArray text);

/// The same, with paths decoded by codec and judged by rules: how a client whose
/// local encoding it is reads the list (null: Latin-1, as without any codec).
UpdateFileMap parseFileList(QByteArray text, QTextCodec *codec, PathRules rules = HostPathRules);

/// Hands every line of a list text to take, without its line end ("\n" or "\r\n").
void forEachListLine(const QByteArray &text, const std::function<void(const char *, int)> &take);

/// The same for a list file, read a piece at a time. False when it cannot be read.
bool forEachListFileLine(const QString &filePath, const std::function<void(const char *, int)> &take);

/// Reads one list line (without its line end) into entry, its path decoded by codec
/// (null: Latin-1). False for a line that parseFileList skips: not three fields, or
/// a path that rules refuse.
bool parseFileListLine(const char *line, int length, QTextCodec *codec, PathRules rules, UpdateFileEntry &entry);

/// The plain spelling of a list path: "./d//x" and "d/./x" are "d/x".
QString plainListPath(const QString &path);

/// A 64-bit fingerprint of the file a list path names: equal for two spellings that
/// parseFileList takes for one file under rules (plain spelling, and letter case by
/// Windows rules). Different files may share one, rarely. It differs from one run
/// of the program to the next.
quint64 listPathIdentity(const QString &path, PathRules rules = HostPathRules);

/// The path a list line's path field stands for: decoded by codec (null: Latin-1)
/// with a byte-order mark kept as U+FEFF, backslashes made "/", one leading "/" removed.
QString fileListPath(const QByteArray &field, QTextCodec *codec);

/// True when a list path stays inside the folder it is joined to and names a file
/// there: not empty, relative, no ":" (drive letters, NTFS streams), no empty last
/// component, and no component made only of dots and spaces except an inner ".".
/// By Windows rules also no name with a WindowsNameFlaw, and none of the updater's
/// own files (update_md5.info, update_sequence.info, system.cfg, update.pub, at the
/// top or in bin/) spelled in another letter case.
/// Everything that joins a list path to a folder checks it first.
bool isSafeRelativePath(const QString &path, PathRules rules = HostPathRules);

/// The size field of a list line: the low 32 bits, then the high 32 bits, each as
/// 8 lower-case hex digits.
QByteArray fileListSizeField(quint64 size);

/// One list line without its line end: fingerprint TAB size field TAB path bytes.
QByteArray fileListLine(const QByteArray &md5, quint64 size, const QByteArray &encodedPath);
