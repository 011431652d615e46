#pragma once

#include "update/filelist.h"

#include <QString>

#include <functional>

/// Turns a downloaded frame (a compressed copy, or a patch from the installed file)
/// into the entry's cached file, checked like a downloaded body: size, MD5 text and,
/// for a signed release, SHA-256. Touches nothing but its own files, so it runs on
/// any thread.
class FrameUnpacker
{
public:
    /// basePath is the installed file a patch applies to; empty for a compressed copy.
    FrameUnpacker(QString framePath, QString basePath, QString cachedPath, UpdateFileEntry entry);

    /// Unpacks and checks; the frame is removed either way. True with the file at
    /// its cached place; false, with nothing left behind and any stale cached file
    /// untouched, when the frame does not give the listed file, a file cannot be
    /// written, or stopRequested turns true on the way.
    bool run(const std::function<bool()> &stopRequested) const;

    /// Where the frame at framePath is unpacked to and a patch's base copied to;
    /// they exist only while run() works.
    static QString outputPath(const QString &framePath);
    static QString baseCopyPath(const QString &framePath);

private:
    bool unpack(const QString &output, const std::function<bool()> &stopRequested) const;

    QString m_framePath;
    QString m_basePath;
    QString m_cachedPath;
    UpdateFileEntry m_entry;
};
