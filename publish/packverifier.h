#pragma once

#include "publish/deltasource.h"

#include <QByteArray>
#include <QDir>
#include <QHash>
#include <QStringList>
#include <QVector>

class QTextCodec;

/// A listed file as md5.txt (and sha256.txt) describe it.
struct PackTarget
{
    QString path;
    quint64 size = 0;
    QByteArray md5;
    QByteArray sha256;  ///< empty unless the release is checked as signed
};

/// Checks a version folder's index.txt and its frames the way a client would meet
/// them: the index against Version/Index, every line well-formed and naming a
/// listed file, every frame present with its size and hashes, every compressed copy
/// decoding to its file. Patches are applied when an earlier release that holds
/// their base is given; otherwise only their frame is checked.
class PackVerifier
{
public:
    /// codec: the encoding of the list's paths (null: ASCII only).
    PackVerifier(const QDir &versionDir, QTextCodec *codec);

    void setDeltaSources(const QVector<DeltaSource> &sources) { m_sources = sources; }

    /// Checks against indexHash (Version/Index of update.ini) and the listed files
    /// by their md5.txt path field. One line per problem; none when all is right.
    QStringList verify(const QByteArray &indexHash, const QHash<QByteArray, PackTarget> &listed);

private:
    struct Line;
    QStringList checkLine(const Line &line, const QString &scratchPath) const;
    QString applyPatch(const Line &line, const QString &framePath, const QString &scratchPath) const;
    QString decodeProblem(const Line &line, const QString &framePath, const QString &basePath,
                          const QString &scratchPath) const;

    QDir m_versionDir;
    QTextCodec *m_codec;
    QVector<DeltaSource> m_sources;
};
