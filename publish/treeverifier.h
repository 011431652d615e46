#pragma once

#include "publish/deltasource.h"
#include "update/minisign.h"

#include <QHash>
#include <QString>
#include <QStringList>

class QDir;
class QTextCodec;
struct UpdateDescriptor;

/// Checks a published tree the way a client would see it: update.ini, the list
/// of its version folder with paths read as the updater reads them, and every
/// listed file's size and MD5 text; with public keys also what a signed release adds.
class TreeVerifier
{
public:
    /// codec: the encoding of the list's paths (null: ASCII only).
    TreeVerifier(const QString &outDir, QTextCodec *codec);

    /// Also checks what a client holding these keys as update.pub checks: the signature
    /// of update.ini, its [Release] group, sha256.txt and every file's SHA-256.
    void setPublicKeys(const QList<MinisignPublicKey> &keys) { m_keys = keys; }

    /// Earlier releases whose files the index's patches are applied to.
    void setDeltaSources(const QVector<DeltaSource> &sources) { m_deltaSources = sources; }

    /// True when no problem was found.
    bool verify();

    /// One line per problem found.
    QStringList problems() const { return m_problems; }

    /// Number of list entries checked.
    int fileCount() const { return m_fileCount; }

    /// Release/Sequence of a signed tree (-1 when not checked or not valid).
    qint64 sequence() const { return m_sequence; }

private:
    void checkSignature(const QString &descriptorPath, const UpdateDescriptor &descriptor);
    QHash<QByteArray, QByteArray> checkSums(const QDir &versionDir, const QByteArray &listText,
                                            const QList<QByteArray> &listFields, const UpdateDescriptor &descriptor);
    QString fieldText(const QByteArray &field) const;

    QString m_outDir;
    QTextCodec *m_codec;
    QList<MinisignPublicKey> m_keys;
    QVector<DeltaSource> m_deltaSources;
    QStringList m_problems;
    int m_fileCount = 0;
    qint64 m_sequence = -1;
};
