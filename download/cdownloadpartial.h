#pragma once

#include "update/filelist.h"

#include <QByteArray>
#include <QDir>
#include <QFileInfo>
#include <QList>
#include <QSet>
#include <QString>

/// The kept beginning of an unfinished body, so that a later attempt asks only for
/// the rest: the bytes in "<cached place>.partial", and beside them in
/// "<cached place>.partial.info" the entry they belong to (path, size, MD5 text,
/// SHA-256) and the validator of the answer they came from, which the request for
/// the rest presents in If-Range. Neither name is ever installed or taken for a
/// cached file; the record is written before the bytes and removed after them, so
/// bytes never lie without a record that says what they are.
class CDownloadPartial
{
public:
    /// Bodies are kept only from this many bytes on: less is fetched again sooner
    /// than a resume is arranged, and small files then cost no extra file at all.
    static constexpr quint64 MinimumKept = 1024 * 1024;

    CDownloadPartial(const QFileInfo &cached, const UpdateFileEntry &entry);

    QString dataPath() const { return m_dataPath; }
    QString recordPath() const { return m_recordPath; }

    /// True when kept bytes of exactly this entry lie ready for a resume: a record
    /// naming the same path, size, MD5 text and SHA-256 with a usable validator,
    /// and a plain file of MinimumKept bytes up to the entry's size. Whatever else
    /// lies in either place is removed.
    bool find();
    /// The number of kept bytes found by find().
    quint64 length() const { return m_length; }
    /// The If-Range value of the kept bytes: their strong ETag, else their Last-Modified.
    QByteArray ifRange() const { return m_ifRange; }
    /// True when a 206 answer to the request for the rest holds exactly that: its
    /// Content-Range is "bytes <length>-<size - 1>/<size>", and it names no other
    /// validator of the kind sent in If-Range.
    bool isRest(const QByteArray &contentRange, const QByteArray &etag,
                const QByteArray &lastModified) const;

    /// Clears both places and records the entry and the validator of the answer
    /// whose body is about to be kept. False, with nothing recorded, when the answer
    /// has no usable validator or the record cannot be written.
    bool record(const QByteArray &etag, const QByteArray &lastModified);
    /// Removes the kept bytes, then their record.
    void discard();

    /// The If-Range value for an answer's validators: a strong ETag when there is
    /// one, else Last-Modified; empty when neither can be sent back safely.
    static QByteArray validatorFor(const QByteArray &etag, const QByteArray &lastModified);
    /// The paths, in lower case, of the entries whose kept bytes or record would lie
    /// at the cached place of another entry of files (a listed "a.bin.partial" beside
    /// "a.bin"): that file's download would overwrite them, so they are never kept.
    static QSet<QString> crowdedPaths(const QList<UpdateFileEntry> &files);
    /// Removes every kept body below cacheDir whose record names no entry of files
    /// exactly (size, MD5 text and SHA-256 too). Files that are not ours by their
    /// record, and listed paths, are left alone.
    static void removeStale(const QDir &cacheDir, const QList<UpdateFileEntry> &files);

private:
    QString m_dataPath;
    QString m_recordPath;
    UpdateFileEntry m_entry;
    quint64 m_length = 0;
    QByteArray m_ifRange;
    bool m_byEtag = false; ///< m_ifRange is an ETag, not a Last-Modified text
};
