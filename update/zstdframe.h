#pragma once

#include <QFile>
#include <QString>
#include <QtGlobal>

#include <functional>

// Compressed copies and patches are single zstd frames that declare their content
// size; a patch's dictionary is the earlier version of the file, so that
// `zstd -d --patch-from=OLD` reads it. Files are mapped, never read into memory:
// what either side holds beyond the mappings stays small whatever the file sizes.

/// The largest file that a patch can be made from or to: zstd's largest window.
constexpr quint64 MaxPatchFileSize = quint64(1) << 31;

/// Takes each run of decoded bytes in order; false stops the decoding.
using DecodedBytes = std::function<bool(const char *data, qint64 size)>;

/// Decodes the frame in framePath into outputPath, which must come out exactly
/// outputSize bytes (more is refused before anything is decoded); basePath is a
/// patch's dictionary, empty for a compressed copy. Every decoded byte passes
/// through decoded, if given, as soon as it is written. False, with errorText,
/// when the frame is not one zstd frame declaring that size, does not decode
/// (with that dictionary), decoded stops it, or a file cannot be read or written.
bool decodeFrameFile(const QString &framePath, const QString &basePath, const QString &outputPath,
                     quint64 outputSize, QString &errorText, const DecodedBytes &decoded = {});
/// The same into outputFile when it is open already (for reading and writing),
/// as the caller created it; outputPath then only names it in errorText.
bool decodeFrameFile(const QString &framePath, const QString &basePath, QFile &outputFile,
                     const QString &outputPath, quint64 outputSize, QString &errorText,
                     const DecodedBytes &decoded = {});

/// Writes sourcePath compressed at level as one frame into framePath; with a
/// basePath, as a patch from that file (both at most MaxPatchFileSize). False,
/// with errorText, on any failure.
bool encodeFrameFile(const QString &sourcePath, const QString &basePath, const QString &framePath,
                     int level, QString &errorText);
