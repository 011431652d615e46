#pragma once

#include <QStringList>

/// The whole updater-publish command: reads the arguments (the first is the
/// program), publishes or verifies, and returns the process exit code.
int runUpdaterPublish(const QStringList &arguments);
