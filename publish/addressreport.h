#pragma once

#include <QString>

/// The addresses the updater builds from the URL value of system.cfg, by plain
/// concatenation exactly as it does.
struct UpdateAddresses
{
    QString descriptor; ///< URL + "/update.ini"
    QString base;       ///< URL + Folder + "/"
    QString fileList;   ///< base + "/md5.txt"
    QString sampleFile; ///< base + a list path
};

/// Concatenates the addresses for url, folder and one list path.
UpdateAddresses updateAddresses(const QString &url, const QString &folder, const QString &samplePath);

/// False with a message when the updater would reject url or its descriptor address.
bool checkUpdateUrl(const QString &url, QString &errorMessage);

/// The --url report: the three addresses, how OUT_DIR must be served, and what
/// changes when url lacks the trailing "/".
QString addressReport(const QString &url, const QString &folder, const QString &samplePath);
