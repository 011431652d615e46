#pragma once

#include <QString>
#include <QStringList>

class QTextCodec;

/// Checks a published tree the way a client would see it: update.ini, the list
/// of its version folder with paths read as the updater reads them, and every
/// listed file's size and MD5 text.
class TreeVerifier
{
public:
    /// codec: the encoding of the list's paths (null: ASCII only).
    TreeVerifier(const QString &outDir, QTextCodec *codec);

    /// True when no problem was found.
    bool verify();

    /// One line per problem found.
    QStringList problems() const { return m_problems; }

    /// Number of list entries checked.
    int fileCount() const { return m_fileCount; }

private:
    QString m_outDir;
    QTextCodec *m_codec;
    QStringList m_problems;
    int m_fileCount = 0;
};
