#pragma once

#include "update/signedrelease.h"

#include <QByteArray>
#include <QString>

/// The values of update.ini, with the updater's defaults.
struct UpdateDescriptor
{
    int updateType = 1;                        ///< "Summary/UpdateType": 0 optional, else forced
    QString folder = QStringLiteral("Base");   ///< "Version/Folder"
    QString version;                           ///< "Version/Version"
    QByteArray index;                          ///< "Version/Index": SHA-256 of index.txt; empty: none
    QByteArray list;                           ///< "Version/List": SHA-256 of md5.txt; empty: none
    int rollout = 100;                         ///< "Version/Rollout": percent of installations; -1: unreadable
    bool releaseGroup = false;                 ///< read: the file has a [Release] group, valid or not
    ReleaseInfo release;                       ///< [Release] of a signed release; none when sequence < 0
};

/// Reads update.ini the way the updater does: its INI reader, missing keys giving
/// the defaults, a non-number type reading as 0, and [Release] with the updater's
/// own reader (left empty when it rejects the group). False when the file cannot
/// be read, is larger than the updater accepts or is not valid INI.
bool readUpdateDescriptor(const QString &filePath, UpdateDescriptor &descriptor);

/// The bytes of update.ini for descriptor. They are written by the INI settings
/// writer itself (which escapes non-ASCII as \xNNNN), then read back and compared,
/// so the updater's read returns exactly these values.
bool updateDescriptorBytes(const UpdateDescriptor &descriptor, QByteArray &bytes, QString &errorMessage);
