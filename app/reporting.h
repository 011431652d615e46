#pragma once

#include <QByteArray>
#include <QString>

class CUpdateError;

/// Process exit code after a complete installation.
constexpr int ExitInstalled = 0;
/// Process exit code for every other end of a run.
constexpr int ExitNotInstalled = 1;

/// The compact JSON record {"errormsg":...,"success":...,"update":...}, UTF-8, with
/// no line end.
QByteArray updateResultRecord(bool success, bool update, QString errormsg);

/// Writes the record to standard output and flushes it at once, so that a reading
/// process has it before the updater goes on.
void writeUpdateResult(bool success, bool update, QString errormsg);

/// Replaces the file with data in one step (a crash never leaves half a file).
/// False when the file cannot be opened or written.
bool writeFileData(QString path, QByteArray data);

/// Shows message under title in the dialog, modally; true when the user chose retry.
bool showUpdateError(CUpdateError *dialog, QString title, QString message, bool retry);

/// Starts the host detached with (this executable's path, "no_check"). False for an
/// empty path or a program that cannot be started.
bool startHost(QString exePath);
