#pragma once

// A temporary installation of the real updater for process-level tests: the built
// executable copied into <root> (or <root>/bin), a system.cfg, and a host program
// that records every call with its arguments.
//
//   Installation inst(QStringLiteral("bin"));
//   QVERIFY2(inst.isValid(), qPrintable(inst.errorString()));
//   QVERIFY(inst.writeConfig({{"URL", server.baseUrl() + "/pub"}}));
//   QVERIFY(inst.installHost());                     // exeDir/Host.exe
//   const UpdaterRun run = inst.run({"console"});
//   QCOMPARE(run.out, QByteArray("{...}"));
//   QCOMPARE(inst.hostCalls(), (QList<QStringList>{{inst.exePath(), "no_check"}}));

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

/// What one run of the updater did.
struct UpdaterRun
{
    int exitCode = -1;      ///< -1 when it did not start, crashed or timed out
    bool timedOut = false;
    QByteArray out;         ///< standard output, exactly as written
    QByteArray err;         ///< standard error
};

class Installation
{
public:
    /// An installation whose executable lies in the root, or in root/exeSubfolder.
    explicit Installation(const QString &exeSubfolder = QString());
    Installation(const Installation &) = delete;
    Installation &operator=(const Installation &) = delete;

    /// False when the folder or the copy of the updater could not be made.
    bool isValid() const { return m_error.isEmpty(); }
    QString errorString() const { return m_error; }

    /// The temporary folder holding the root ("<base>/Host") and the scratch folder.
    QString base() const { return m_base; }
    /// The installation root (links resolved, as the updater itself sees it).
    QString root() const { return m_root; }
    /// The folder of the executable: the root, or root/bin.
    QString exeDir() const { return m_exeDir; }
    QString exePath() const;
    /// A scratch folder beside the installation (outside it), for caches and the like.
    QString scratch() const;

    /// Writes system.cfg with the given keys in the group "Update".
    bool writeConfig(const QMap<QString, QString> &updateKeys) const;
    /// Writes system.cfg with exactly these bytes.
    bool writeConfigBytes(const QByteArray &bytes) const;

    /// Puts the test host program at relativePath (below exeDir); it records its
    /// arguments (tests/host/testhost.cpp).
    bool installHost(const QString &relativePath = QStringLiteral("Host.exe"));
    /// The file whose appearance ends a host started with "--stay".
    QString stayPath() const;
    /// The absolute path of the host program last installed.
    QString hostPath() const { return m_hostPath; }
    /// Waits until no host process is running any more, then returns the argument
    /// lists of every host call so far. A host the updater started has already been
    /// executed when the updater exits, so an empty result really means "not started".
    QList<QStringList> hostCalls(int timeoutMs = 15000) const;

    /// Starts the updater through a command (e.g. SystemTrust::launcher()): its
    /// program and arguments, then the updater's path and arguments. Empty: directly.
    void setLauncher(const QStringList &command) { m_launcher = command; }

    /// Runs the updater with arguments in workingDir (default: the root) and waits.
    UpdaterRun run(const QStringList &arguments, int timeoutMs = 60000,
                   const QString &workingDir = QString()) const;
    /// Windows: runs the updater in the root as a Wine process started from Linux
    /// under that Linux locale, which decides its ANSI code page ("zh_CN.UTF-8"
    /// gives 936); a Wine process started from Windows keeps its parent's.
    UpdaterRun runInLocale(const QStringList &arguments, const QString &locale) const;
    /// Starts the updater without waiting; the caller owns the process. With
    /// outputFile, standard output goes to that file instead of a pipe.
    std::unique_ptr<QProcess> start(const QStringList &arguments, const QString &workingDir = QString(),
                                    const QString &outputFile = QString()) const;

    /// True while some process has path among its command-line arguments.
    static bool isRunningProcessWith(const QString &path);

private:
    QTemporaryDir m_temp;
    QString m_base;
    QString m_root;
    QString m_exeDir;
    QString m_hostPath;
    QString m_error;
    QStringList m_launcher;
};
