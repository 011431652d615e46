#pragma once

#include "app/runvalues.h"
#include "app/updaterun.h"
#include "update/filelist.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

/// What the check hands to the download phase.
struct UpdateCheckResult
{
    UpdateFileMap changed;  ///< entries to fetch; not empty when the phase runs
    int updateType = 1;     ///< 0: optional update; anything else: forced
    QString version;        ///< version text for the notice
    QString address;        ///< the configured address that served the release
    QString baseUrl;        ///< address + folder + "/", to which file paths are appended
    QStringList mirrorBaseUrls; ///< the same folder at the other addresses, in their order
    QByteArray indexHash;   ///< "Version/Index": SHA-256 of index.txt; empty: none
    QByteArray recordHash;  ///< SHA-256 of update_md5.info when it was read; else empty
    QByteArray fileList;    ///< md5.txt exactly as received
    bool signedMode = false; ///< the release's signature was checked
    /// Release/Sequence: verified when signedMode; otherwise read unverified, 0 when
    /// missing, and used only to begin the floor if this run installs update.pub
    qint64 sequence = -1;
};

/// Records the release's sequence as the floor (update_sequence.info) of a signed
/// installation, also of one that has just received update.pub. False, with
/// errorText, when it could not be written.
bool recordFloor(const RunValues &values, const UpdateCheckResult &result, QString &errorText);

/// Records the list as applied (update_md5.info) and, for a signed installation
/// (also one that has just received update.pub), the release's sequence
/// (update_sequence.info), below which no later release is accepted. False, with
/// errorText, when the sequence could not be recorded; the list record is best
/// effort. keepEqualRecord: a record that already holds the list is not rewritten.
bool recordAppliedRelease(const RunValues &values, const UpdateCheckResult &result,
                          QString &errorText, bool keepEqualRecord = false);

/// The first half of an attempt: descriptor, cached update.ini, file list, the
/// comparison. Reports and ends the run (Finished), asks for a new attempt after a
/// retried failure, or fills result and answers Download.
AttemptEnd checkForUpdate(const RunValues &values, UpdateCheckResult &result);

/// The entries of changed whose target would lie inside the cache folder. Such a
/// target and a cached place could be the same file, so they are never fetched.
UpdateFileMap withoutCacheTargets(UpdateFileMap changed, const QDir &rootDir,
                                  const QDir &cacheDir);
