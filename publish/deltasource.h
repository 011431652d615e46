#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

class QTextCodec;

/// An earlier release that patches start from: either a published version folder
/// (it holds md5.txt, whose paths name its files), a published root (it holds
/// update.ini, and stands for the version folder that its descriptor names) or a
/// plain release tree laid out like an installation, where a file's path is all
/// there is to know.
class DeltaSource
{
public:
    /// What the earlier release holds at one path.
    struct Base
    {
        QString filePath;    ///< the file to read
        quint64 size = 0;    ///< its size (listed, for a published folder)
        QByteArray md5;      ///< its listed MD5 text; empty in a plain tree
    };

    /// Opens dir; a published folder's paths are read with codec, as --verify reads
    /// them (null: ASCII only). False, with message, when dir is not a folder, its
    /// md5.txt cannot be read, or it is a root whose descriptor names no readable
    /// version folder.
    bool open(const QString &dir, QTextCodec *codec, QString &message);

    /// The earlier file at a release path. False when the release holds none.
    bool find(const QString &path, Base &base) const;

    QString dir() const { return m_dir; }
    bool isPublished() const { return m_published; }
    /// The version folder that a published root's descriptor names; empty when
    /// dir was not opened as a root.
    QString release() const { return m_release; }

private:
    bool openRoot(const QString &dir, QString &message);

    QString m_dir;
    QString m_release;
    bool m_published = false;
    QHash<QString, Base> m_listed;  // published folder: path -> listed file
};
