#include "publish/publishtool.h"

#include "publish/pathencoding.h"
#include "publish/publisher.h"
#include "publish/publishoptions.h"
#include "publish/treeverifier.h"
#include "update/minisign.h"

#include <QFile>
#include <QTextStream>

#include <cstdio>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {

// Messages name paths of any script, which a Windows code page cannot all express:
// the tool writes UTF-8, as on Linux, and a console shows it as UTF-8 while the
// tool runs.
class Utf8Console
{
public:
    Utf8Console();
    ~Utf8Console();

private:
    unsigned m_previous = 0;
};

#ifdef Q_OS_WIN
Utf8Console::Utf8Console() : m_previous(GetConsoleOutputCP())
{
    if (m_previous != 0)
        SetConsoleOutputCP(CP_UTF8);
}

Utf8Console::~Utf8Console()
{
    if (m_previous != 0)
        SetConsoleOutputCP(m_previous);
}
#else
Utf8Console::Utf8Console() = default;
Utf8Console::~Utf8Console() = default;
#endif

int verifyTree(const PublishOptions &options, QTextStream &out, QTextStream &err)
{
    QTextCodec *codec = nullptr;
    QString message;
    if (!pathCodecForName(options.pathEncoding, codec, message)) {
        err << "updater-publish: " << message << '\n';
        return 2;
    }
    TreeVerifier verifier(options.outDir, codec);
    QVector<DeltaSource> sources;
    for (const QString &dir : options.deltaFrom) {
        DeltaSource source;
        if (!source.open(dir, codec, message)) {
            err << "updater-publish: " << message << '\n';
            return 2;
        }
        sources.append(source);
    }
    verifier.setDeltaSources(sources);
    if (!options.publicKey.isEmpty()) {
        QFile file(options.publicKey);
        QList<MinisignPublicKey> keys;
        if (!file.open(QIODevice::ReadOnly)) {
            message = QStringLiteral("cannot be read: %1").arg(file.errorString());
        } else if (parseMinisignPublicKeys(file.readAll(), keys, message)) {
            verifier.setPublicKeys(keys);
        }
        if (keys.isEmpty()) {
            err << QStringLiteral("updater-publish: --public-key \"%1\": %2\n").arg(options.publicKey, message);
            return 2;
        }
    }
    if (verifier.verify()) {
        const QString release = options.publicKey.isEmpty()
                ? QString()
                : QStringLiteral("signed release %1, ").arg(verifier.sequence());
        out << QStringLiteral("\"%1\": %2 files verified, %3no problem found.\n")
                   .arg(options.outDir).arg(verifier.fileCount()).arg(release);
        return 0;
    }
    const QStringList problems = verifier.problems();
    for (const QString &problem : problems)
        out << problem << '\n';
    out.flush();
    err << QStringLiteral("updater-publish: %1 problem(s) in \"%2\"\n").arg(problems.size()).arg(options.outDir);
    return 1;
}

} // namespace

int runUpdaterPublish(const QStringList &arguments)
{
    const Utf8Console console;
    QTextStream out(stdout);
    QTextStream err(stderr);
    out.setCodec("UTF-8");
    err.setCodec("UTF-8");
    PublishOptions options;
    QString message;
    switch (parsePublishArguments(arguments, options, message)) {
    case ArgumentsResult::Help:
        out << message;
        return 0;
    case ArgumentsResult::Error:
        err << "updater-publish: " << message << "\nTry \"updater-publish --help\".\n";
        return 2;
    case ArgumentsResult::Run:
        break;
    }
    if (options.verify)
        return verifyTree(options, out, err);
    Publisher publisher(options, out, err);
    return publisher.run();
}
