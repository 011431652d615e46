#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

/// One smaller way to a listed file, named by the release's index.txt: a
/// compressed copy of the file, or a patch from an earlier version of it. Either
/// is one zstd frame; a patch's dictionary is the earlier file.
struct PackArtefact
{
    enum Kind { Compressed, Patch };
    Kind kind = Compressed;
    quint64 size = 0;        ///< the frame file's size
    QByteArray md5;          ///< the frame file's MD5 text
    QByteArray sha256;       ///< the frame file's SHA-256, lower-case hex; also its name
    quint64 baseSize = 0;    ///< Patch: the earlier file's size
    QByteArray baseMd5;      ///< Patch: its MD5 text
    QByteArray baseSha256;   ///< Patch: its SHA-256

    /// The frame's path below the version folder: "#pack/<sha256>.zst".
    QString relativePath() const;
};
