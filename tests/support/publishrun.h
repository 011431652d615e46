#pragma once

// Helpers for the process-level tests of updater-publish: run the built tool,
// make release folders, and take snapshots of trees.
//
//   QVERIFY(writeRelease(rel, sampleRelease()));
//   const ToolRun run = runPublish({"--folder", "v1", rel, out});
//   QCOMPARE(run.exitCode, 0);
//   QCOMPARE(snapshot(out2), snapshot(out1));

#include "support/linuxtools.h"

#include <QByteArray>
#include <QMap>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>


// What the system says of a missing file, and of a folder where a file is to be
// written (Qt passes the system's own text on).
#ifdef Q_OS_WIN
#define NoSuchFileText "File not found."
#define NotAFileText "Access denied."
#else
#define NoSuchFileText "No such file or directory"
#define NotAFileText "Is a directory"
#endif

/// Runs the built updater-publish. asNobody runs it as uid/gid 65534 through
/// setpriv, so permissions can stop it although the tests run as root.
ToolRun runPublish(const QStringList &arguments, bool asNobody = false,
                   const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment());

/// Runs program (looked up on PATH) with input on its standard input, in workingDir
/// (default: the current folder).
ToolRun runProgram(const QString &program, const QStringList &arguments, const QByteArray &input = QByteArray(),
                   const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment(),
                   const QString &workingDir = QString());

/// The key ID that minisign shows for the key of a public key file ("" when unreadable).
QString minisignKeyId(const QString &publicKeyFile);

/// SHA-256 in lower-case hex by Qt's own hash, independently of the tool's.
QByteArray sha256Text(const QByteArray &data);

/// Makes folder/name.key and folder/name.pub with the real `minisign -G`: encrypted
/// with password, or unencrypted (-W) when it is empty. False when that fails.
bool makeMinisignKey(const QString &folder, const QString &name, const QByteArray &password = QByteArray());

/// Writes a file, creating its folders. False on any failure.
bool writeFile(const QString &path, const QByteArray &content);

/// The whole file, or "<unreadable>".
QByteArray readFile(const QString &path);

/// size bytes of a pseudo-random pattern that differs per seed.
QByteArray patternBytes(int size, int seed);

/// Every entry below root with its content ("<folder>" for folders, "-> target"
/// for links), so a test can see that nothing at all changed.
QMap<QString, QByteArray> snapshot(const QString &root);

/// A release of several shapes: nested folders, an empty file, files larger than
/// a hashing chunk, names whose key order differs from their backslash order, a
/// space in the first name in key order ("A space.txt").
QMap<QString, QByteArray> sampleRelease();

/// Writes files (relative path -> content) below root.
bool writeRelease(const QString &root, const QMap<QString, QByteArray> &files);
