#pragma once

#include <QString>
#include <QStringList>

/// The command line of updater-publish.
struct PublishOptions
{
    bool verify = false;                      ///< --verify: check OUT_DIR instead of publishing
    QString releaseDir;                       ///< RELEASE_DIR
    QString outDir;                           ///< OUT_DIR
    QString version;                          ///< --version: "Version/Version"
    QString folder = QStringLiteral("Base");  ///< --folder: "Version/Folder"
    bool optional = false;                    ///< --optional: "Summary/UpdateType" 0
    int rollout = 100;                        ///< --rollout: "Version/Rollout", percent of installations
    QString url;                              ///< --url: the URL value for system.cfg
    QString pathEncoding;                     ///< --path-encoding (empty: ASCII only)
    QStringList excludes;                     ///< --exclude, in the given order
    bool replace = false;                     ///< --replace an existing version folder
    QString signKey;                          ///< --sign: minisign secret key file (empty: unsigned)
    qint64 sequence = -1;                     ///< --sequence (-1: the previous release's plus one)
    int expiresDays = 0;                      ///< --expires: days until the release expires (0: never)
    QString publicKey;                        ///< --public-key: --verify also checks the signature
    QStringList deltaFrom;                    ///< --delta-from: earlier releases that patches start from
};

/// Outcome of reading the command line.
enum class ArgumentsResult { Run, Help, Error };

/// Reads the arguments (the first one is the program). Help: message is the help
/// text; Error: message says what is wrong.
ArgumentsResult parsePublishArguments(const QStringList &arguments, PublishOptions &options, QString &message);

/// The complete --help text.
QString publishHelpText();
