#pragma once

#include <QDir>
#include <QString>
#include <QStringList>

class CUpdateError;
class QNetworkAccessManager;

/// What start-up hands to the update run: the folders, the configured addresses,
/// the mode and the two objects every step of the run shares.
struct RunValues
{
    QString exeDir;       ///< folder of the running executable, no trailing slash
    QDir rootDir;         ///< installation root: exeDir, or its parent when exeDir is a "bin"
    QDir cacheDir;        ///< download cache, absolute and created
    QString updateUrl;    ///< base address of the update server, as configured
    /// Every configured address in order of preference ("URL" lists them separated
    /// by commas); the first is updateUrl.
    QStringList updateUrls;
    QString hostExePath;  ///< absolute path of the host executable
    bool consoleMode = false;                      ///< outcomes go to standard output as JSON
    bool repairMode = false;                       ///< "repair": every listed file judged by its content
    int connections = 6;                           ///< downloads in flight at once (1-16)
    int http2Streams = 16;                         ///< the same over HTTP/2: Connections when set
    QString proxy;        ///< "[Update] Proxy" as configured: a URL, "none", or empty for the system's
    bool proxyIsList = false;                      ///< "Proxy" held an unquoted comma: no proxy at all
    CUpdateError *errorDialog = nullptr;           ///< the one error dialog of the process
    QNetworkAccessManager *networkManager = nullptr; ///< used by every request of the run
};
