#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

class QTextCodec;

/// One file of a release: its list path and where it is read from.
struct ReleaseFile
{
    QString path;        ///< relative, "/"-separated: the updater's key
    QString sourcePath;  ///< absolute path in the release folder
    quint64 size = 0;    ///< size found by the scan
    QByteArray listPath; ///< the path field of its md5.txt line
};

/// Release files by path, in the updater's key order.
using ReleaseFileMap = QMap<QString, ReleaseFile>;

/// Walks a release folder, leaves out what is excluded and collects every
/// reason why the rest could not be published as it is.
class ReleaseScanner
{
public:
    /// excludes: --exclude globs; codec: the list's path encoding (null: ASCII).
    ReleaseScanner(const QString &root, const QStringList &excludes, QTextCodec *codec);

    /// Scans the folder. False when anything must be refused (see problems()).
    bool scan();

    /// The files to publish (complete only when scan() returned true).
    ReleaseFileMap files() const { return m_files; }

    /// One line per refusal: "<path>": <reason>, in path order.
    QStringList problems() const;

    /// Sum of the file sizes.
    quint64 totalBytes() const;

private:
    void walk(const QString &folder, const QString &prefix);
    void addFile(const QString &path, const QString &sourcePath);
    void checkLetterCase();
    bool isExcluded(const QString &path, bool isFolder) const;
    void refuse(const QString &path, const QString &reason);

    QString m_root;
    QStringList m_excludes;
    QTextCodec *m_codec;
    ReleaseFileMap m_files;
    QMap<QString, QString> m_problems;
};
