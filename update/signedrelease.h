#pragma once

#include "update/filelist.h"

#include <QByteArray>
#include <QDateTime>

class IniValues;

/// The [Release] group of a signed update.ini: what the signature pins down.
struct ReleaseInfo
{
    qint64 sequence = -1;   ///< grows with every release
    QByteArray listHash;    ///< SHA-256 of the version's md5.txt, 64 lower-case hex digits
    QByteArray hashesHash;  ///< SHA-256 of the version's sha256.txt
    QDateTime expires;      ///< UTC; invalid when the release does not expire
};

/// Reads [Release] from a descriptor. False when Sequence, List or Hashes is missing
/// or malformed, or Expires is given but not a UTC time like 2027-01-31T00:00:00Z.
bool readReleaseGroup(const IniValues &descriptor, ReleaseInfo &info);

/// Gives every entry of files the SHA-256 that sha256List names for its line of
/// md5List (matched by the path field's bytes). False unless sha256List is well
/// formed and names every path field of md5List exactly once, and nothing else.
bool attachSha256(const QByteArray &md5List, const QByteArray &sha256List, UpdateFileMap &files);

/// The release sequence recorded in the file at recordPath: 0 when there is no
/// file. False when something lies there that is not a readable sequence.
bool recordedSequence(const QString &recordPath, qint64 &sequence);
