#pragma once

#include "update/filelist.h"

#include <QDir>

/// The entries of files that have to be fetched. The record update_md5.info in
/// root decides for every path it knows (no file access); unrecorded paths are
/// hashed on disk, on several threads, and an unreadable or different file is
/// selected. The record is read a piece at a time.
UpdateFileMap findChangedFiles(UpdateFileMap files, QDir root);

/// The entries of files whose installed file is missing or differs, judged by
/// content alone (the record is not read): a file of another size at once, one of
/// the listed size by its MD5 text and, where the entry has one, its SHA-256. The
/// files are read on several threads.
UpdateFileMap findDamagedFiles(UpdateFileMap files, QDir root);

/// The MD5 text and SHA-256 (lower-case hex) of a file, in one pass. False when
/// it cannot be read.
bool fileHashes(const QString &filePath, QByteArray &md5Text, QByteArray &sha256Hex);

/// True when the file can be read and has the entry's MD5 text and, for an entry of
/// a signed release, its SHA-256 too; both are computed in one pass.
bool fileMatchesEntry(const QString &filePath, const UpdateFileEntry &entry);
