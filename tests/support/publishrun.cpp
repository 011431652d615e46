#include "support/publishrun.h"

#include "support/linuxtools.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

ToolRun runPublish(const QStringList &arguments, bool asNobody, const QProcessEnvironment &environment)
{
#ifdef UPDATER_PUBLISH_EXE
    QString program = QStringLiteral(UPDATER_PUBLISH_EXE);
    QStringList args = arguments;
    if (asNobody) {
        args = QStringList{QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                           QStringLiteral("--clear-groups"), program} + arguments;
        program = QStringLiteral("setpriv");
    }
    ToolRun run = runProgram(program, args, QByteArray(), environment);
#ifdef Q_OS_WIN
    // A Windows console program writes its lines with CR LF.
    run.out.replace("\r\n", "\n");
    run.err.replace("\r\n", "\n");
#endif
    return run;
#else
    Q_UNUSED(arguments)
    Q_UNUSED(asNobody)
    Q_UNUSED(environment)
    ToolRun run;
    run.err = "updater-publish is not built";
    return run;
#endif
}

ToolRun runProgram(const QString &program, const QStringList &arguments, const QByteArray &input,
                   const QProcessEnvironment &environment, const QString &workingDir)
{
    ToolRun run;
    const QString path = program.contains(QLatin1Char('/')) ? program : QStandardPaths::findExecutable(program);
    if (path.isEmpty()) {
        run.err = program.toUtf8() + " is not installed";
        return run;
    }
    QProcess process;
    process.setProcessEnvironment(environment);
    if (!workingDir.isEmpty())
        process.setWorkingDirectory(workingDir);
    process.start(path, arguments);
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit)
        return run;
    run.exitCode = process.exitCode();
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

bool makeMinisignKey(const QString &folder, const QString &name, const QByteArray &password)
{
    const QString base = folder + QLatin1Char('/') + name;
    QStringList arguments{QStringLiteral("-G"), QStringLiteral("-f"), QStringLiteral("-s"), base + QStringLiteral(".key"),
                          QStringLiteral("-p"), base + QStringLiteral(".pub")};
    if (password.isEmpty())
        arguments << QStringLiteral("-W");
    // Without a terminal minisign reads the password, and its confirmation, from stdin.
    return runLinuxTool(QStringLiteral("minisign"), arguments, password + '\n' + password + '\n').exitCode == 0;
}

QString minisignKeyId(const QString &publicKeyFile)
{
    // "untrusted comment: minisign public key <ID>"
    const QByteArray comment = readFile(publicKeyFile).split('\n').constFirst();
    return comment.startsWith("untrusted comment: ") ? QString::fromLatin1(comment.split(' ').constLast()) : QString();
}

QByteArray sha256Text(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
}

bool writeFile(const QString &path, const QByteArray &content)
{
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

QByteArray patternBytes(int size, int seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 state = 2166136261u ^ static_cast<quint32>(seed);
    for (int i = 0; i < size; ++i) {
        state = state * 1664525u + 1013904223u;
        bytes[i] = static_cast<char>(state >> 24);
    }
    return bytes;
}

QMap<QString, QByteArray> snapshot(const QString &root)
{
    QMap<QString, QByteArray> tree;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        const QString key = QDir(root).relativeFilePath(info.filePath());
        if (info.isSymLink())
            tree.insert(key, "-> " + info.symLinkTarget().toUtf8());
        else if (info.isDir())
            tree.insert(key, "<folder>");
        else
            tree.insert(key, readFile(info.filePath()));
    }
    return tree;
}

QMap<QString, QByteArray> sampleRelease()
{
    return {
        {QStringLiteral("Host.exe"), patternBytes(2500000, 1)},
        {QStringLiteral("empty.dat"), QByteArray()},
        {QStringLiteral("data/abc.txt"), QByteArray("abc")},
        {QStringLiteral("data0.txt"), QByteArray("sorts after data/ as a key")},
        {QStringLiteral("data/deep/er/file.bin"), patternBytes(70000, 2)},
        {QStringLiteral("a b.txt"), QByteArray("a space in the name")},
        {QStringLiteral("bin/plugin.dll"), patternBytes(1048576, 3)},
        {QStringLiteral("B.txt"), QByteArray("upper case sorts first")},
        {QStringLiteral("A space.txt"), QByteArray("first in key order")},
    };
}

bool writeRelease(const QString &root, const QMap<QString, QByteArray> &files)
{
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        if (!writeFile(root + QLatin1Char('/') + it.key(), it.value()))
            return false;
    }
    return true;
}
