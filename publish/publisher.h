#pragma once

#include "publish/deltasource.h"
#include "publish/descriptor.h"
#include "publish/parallelhasher.h"
#include "publish/releasescanner.h"
#include "publish/publishoptions.h"
#include "update/minisign.h"

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVector>

class QTextStream;

/// Publishes one release folder as the server tree of a version: checks
/// everything first, writes the version folder completely beside OUT_DIR's
/// content, moves it into place and writes update.ini last (then, with --sign,
/// its signature).
class Publisher
{
public:
    /// Reports go to out (results) and err (refusals, failures, progress).
    Publisher(const PublishOptions &options, QTextStream &out, QTextStream &err);

    /// Runs the whole publication. Exit code: 0 done, 1 writing failed, 2 refused.
    int run();

private:
    bool checkArguments();
    bool prepareSigning();
    bool writeTree(const ReleaseScanner &scanner, UpdateDescriptor descriptor);
    bool writePacks(const QString &stagingPath, const ReleaseFileMap &files, const QVector<HashResult> &results,
                    UpdateDescriptor &descriptor);
    void refuse(const QString &message);
    void fail(const QString &message);

    PublishOptions m_options;
    QTextStream &m_out;
    QTextStream &m_err;
    class QTextCodec *m_codec = nullptr;
    QString m_releaseDir;   // canonical
    QString m_outDir;       // absolute, clean
    QString m_versionDir;   // m_outDir/<Folder>
    MinisignSecretKey m_signingKey;
    qint64 m_sequence = -1; // of the signed release
    qint64 m_signTime = 0;  // seconds since the epoch
    QDateTime m_expires;    // whole seconds, UTC; invalid: never
    bool m_wroteFloor = false; // update_sequence.info is in the version folder
    QVector<DeltaSource> m_deltaSources;
    QString m_packReport;      // what writePacks() wrote, for the report; empty: nothing
    QStringList m_deltaReport; // what each --delta-from gave, for standard error
};
