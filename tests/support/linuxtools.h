#pragma once

// The Linux programs that tests use as references (minisign) or servers (nginx),
// reached the same way from the Linux build and from the Windows build under Wine.
// Wine starts a program that is not a Windows image as a Linux process, but hands
// back neither its exit code nor its output, and it passes Linux paths unchanged:
// runLinuxTool goes through /bin/sh with files for them, and paths are translated
// with Wine's own exports. On a real Windows, no Linux tool is available.

#include <QByteArray>
#include <QtGlobal>

class QProcess;
#include <QString>
#include <QStringList>

/// What one run of a program did.
struct ToolRun
{
    int exitCode = -1;  ///< -1 when it did not start, crashed or timed out
    QByteArray out;     ///< standard output
    QByteArray err;     ///< standard error
};

/// True in the Windows build: a Linux program it starts runs outside Wine, which
/// hands back no handle to wait on; servers are then watched through pid files.
#ifdef Q_OS_WIN
constexpr bool LinuxChildUnderWine = true;
#else
constexpr bool LinuxChildUnderWine = false;
#endif

/// Ends a server started as our child: terminate (its fast shutdown), then kill
/// if it is still there after 5 s; then waits for it.
void stopChild(QProcess &process);

/// The tool's Linux path (e.g. "/usr/bin/minisign"), or "" when it is not installed.
QString linuxToolPath(const QString &name);

/// Runs a Linux tool with input on its standard input, in workingDir (default: the
/// current folder). Arguments that are absolute Windows paths are translated.
ToolRun runLinuxTool(const QString &name, const QStringList &arguments,
                     const QByteArray &input = QByteArray(), const QString &workingDir = QString());

/// The Linux path of a file of this program's file system (unchanged on Linux).
QString linuxPath(const QString &path);
