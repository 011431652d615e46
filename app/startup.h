#pragma once

#include "app/runvalues.h"

#include <QString>
#include <QStringList>

class CUpdateError;
class QNetworkAccessManager;

/// The whole process: application attributes and object, icon, the error dialog
/// and the network manager, then startUpdater() with this executable's folder.
int updaterMain(int &argc, char **argv);

/// Start-up from reading system.cfg in exeDir on, then the update run. arguments
/// are the command-line arguments after the program name. Returns the exit code.
int startUpdater(const QString &exeDir, const QStringList &arguments,
                 CUpdateError *errorDialog, QNetworkAccessManager *networkManager);

/// Reads system.cfg in exeDir and the first argument into run values (folders not
/// yet created, rootDir still exeDir); passes DownLoadUrl to the dialog at once.
RunValues readConfiguration(const QString &exeDir, const QStringList &arguments,
                            CUpdateError *errorDialog);

/// True when the first argument asks for restart mode (any case).
bool isRestartMode(const QStringList &arguments);

/// Makes rootDir and cacheDir absolute and creates them; rootDir then moves up out
/// of a "bin" folder. Failures to create surface later, when files are written.
void prepareDirectories(RunValues &values);
