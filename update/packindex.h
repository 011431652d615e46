#pragma once

#include "update/filelist.h"

#include <QByteArray>
#include <QList>
#include <QString>

// A release may offer, besides each plain file, smaller ways to the same bytes:
// a compressed copy, and patches from earlier versions of the file. They are
// zstd frames (a patch is one whose dictionary is the earlier file, as
// `zstd --patch-from` makes), stored in the version folder under
// PackFolder/<SHA-256 of the frame>.zst and named by index.txt beside md5.txt:
//
//   kind TAB size TAB md5 TAB sha256 TAB base size TAB base md5 TAB base sha256 TAB path field
//
// kind is "zst" (compressed copy; the base fields empty) or "patch"; size, md5
// and sha256 are the frame file's own (size in decimal, MD5 text, lower-case
// hex); the base fields describe the earlier file a patch applies to; the path
// field is the bytes of the file's md5.txt line. Lines end in CR LF. The
// descriptor names the index by its SHA-256 ("Version/Index"), so a signed
// release covers it like the lists.

/// The index file beside md5.txt.
extern const QString PackIndexName;
/// The folder of the frames inside the version folder. "#" never occurs in a
/// published path, so no release file can lie there.
extern const QString PackFolder;
/// The descriptor key that holds the index's SHA-256.
extern const QString PackIndexKey;

/// The entry that fetching an artefact's frame downloads: its path below the
/// version folder, its size and hashes.
UpdateFileEntry frameEntry(const PackArtefact &artefact);

/// One index line (without its line end) for an artefact of the file whose
/// md5.txt path field is pathField.
QByteArray packIndexLine(const PackArtefact &artefact, const QByteArray &pathField);

/// Reads one index line (without its line end). False when it is malformed.
bool parsePackIndexLine(const QByteArray &line, PackArtefact &artefact, QByteArray &pathField);

/// Reads index.txt against the list it belongs to: every well-formed line whose
/// path field is that of a line of md5List adds its artefact to the entry of files
/// that the field stands for (decoded with the local encoding, as the list is).
/// Lines that are malformed or name no listed path are skipped: the plain file
/// stays the way to them. Patches come before the compressed copy.
void attachPackIndex(const QByteArray &md5List, const QByteArray &index, UpdateFileMap &files);
