#pragma once

#include "publish/deltasource.h"
#include "update/packartefact.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <atomic>

/// A published file, already copied into the version folder and hashed.
struct PackFile
{
    QString path;        ///< the release path ("bin/app.dll"), where earlier releases hold its base
    QString filePath;    ///< the copy in the version folder
    QByteArray listPath; ///< its md5.txt path field
    quint64 size = 0;
    QByteArray md5;      ///< MD5 text
    QByteArray sha256;   ///< lower-case hex
};

/// Writes the smaller ways to a release's files into its version folder: a
/// compressed copy of each file where it saves enough, and patches from the
/// versions of the file that earlier releases hold. Every frame is decoded once
/// after it is made and must give the file's exact bytes, so a release never
/// offers a way to a file that does not lead there. Files are worked on in
/// parallel, one per core.
class PackWriter
{
public:
    /// versionDir: the version folder being written; frames go to versionDir/#pack.
    PackWriter(const QString &versionDir, const QVector<DeltaSource> &sources);

    /// Shows a progress line with this label on stderr while running.
    void setProgressLabel(const QString &label) { m_progressLabel = label; }

    /// Makes the frames of files, given in md5.txt order. False, with error(),
    /// when a file cannot be read or written or a frame does not give its file.
    bool write(const QVector<PackFile> &files);

    /// index.txt for what write() made: lines in the order of the files, each
    /// file's compressed copy before its patches, CR LF. Empty without artefacts.
    QByteArray index() const { return m_index; }

    QString error() const { return m_error; }
    QString packDir() const { return m_packDir; }
    int compressedCount() const { return m_compressedCount; }
    quint64 compressedBytes() const { return m_compressedBytes; }
    int patchCount() const { return m_patchCount; }
    quint64 patchBytes() const { return m_patchBytes; }
    /// The patches whose base the source-th earlier release holds; a base that
    /// several releases hold counts for each of them.
    int patchCountFrom(int source) const { return m_patchesFrom.value(source); }

private:
    struct Content;
    void pack(Content &content, int number);
    bool addPatches(Content &content, const QString &workPrefix, quint64 best);
    bool decodesTo(const QString &framePath, const QString &basePath, const PackFile &file,
                   const QString &scratchPath, QString &error) const;
    bool storeFrame(const QString &framePath, PackArtefact &artefact, QString &error) const;

    QString m_versionDir;
    QString m_packDir;
    QString m_workDir;
    QVector<DeltaSource> m_sources;
    QString m_progressLabel;
    const QVector<PackFile> *m_files = nullptr;
    std::atomic<quint64> m_bytesDone{0};
    std::atomic<int> m_contentsDone{0};
    QByteArray m_index;
    QString m_error;
    int m_compressedCount = 0;
    quint64 m_compressedBytes = 0;
    int m_patchCount = 0;
    quint64 m_patchBytes = 0;
    QVector<int> m_patchesFrom;  // per source
};
