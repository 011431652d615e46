#include "publish/publishoptions.h"

#include <QCommandLineParser>

QString publishHelpText()
{
    return QStringLiteral(
R"(Usage: updater-publish [options] RELEASE_DIR OUT_DIR
       updater-publish --verify [--path-encoding NAME] OUT_DIR

Turns RELEASE_DIR, a folder laid out like a finished installation, into the tree
that the updater downloads from:
  OUT_DIR/update.ini          the descriptor: update type, version folder, version text
  OUT_DIR/<Folder>/md5.txt    the file list: MD5 text, size field and path per line
  OUT_DIR/<Folder>/<path>     a copy of every listed file
Serve OUT_DIR at the address that the URL key of system.cfg names, ending in "/",
from a server that merges "//" into "/" (nginx does by default): with
URL=https://host/app/ the updater asks for /app//update.ini, /app/<Folder>//md5.txt
and /app/<Folder>/<path>.

The version folder is written completely first and update.ini last, replacing the
previous one atomically, so a client never reads a descriptor that points at an
incomplete folder. Publish each version into a folder of its own (--folder v2.1.0);
an existing version folder is refused unless --replace is given.

Options:
  --version TEXT        version text shown to users ("Version/Version"); default empty.
  --folder NAME         version folder ("Version/Folder"); default "Base".
  --optional            an optional update ("Summary/UpdateType" 0); without it the
                        update is forced (1).
  --url URL             the URL value that system.cfg will hold: prints the exact
                        addresses of the descriptor, the list and one file that the
                        updater will request, and what a missing trailing "/" changes.
  --path-encoding NAME  encoding of the paths in md5.txt: the ANSI code page of the
                        clients, e.g. GBK for Simplified Chinese Windows or
                        windows-1252 for Western Europe. Required as soon as a path is
                        not plain ASCII: the updater decodes paths with its local
                        encoding, and this machine's encoding says nothing about it.
  --exclude GLOB        leaves out matching files and folders; may be repeated. "*" and
                        "?" stay within one name, "**" spans folders, [abc] is a class.
                        A glob without "/" is matched against every name, one with "/"
                        against the whole path below RELEASE_DIR; a trailing "/"
                        matches folders only. Letter case is ignored.
  --replace             replaces an existing version folder: the new one is built
                        beside it and swapped in before update.ini is written.
  --verify              checks the published tree OUT_DIR: update.ini readable, every
                        md5.txt line well-formed with a safe path, every listed file
                        present with the listed size and MD5 text. Paths are read
                        exactly as the updater reads them with --path-encoding as its
                        local encoding (a byte-order mark stays part of the name).
                        Prints each problem on its own line.
  -h, --help            shows this text.

Never published: system.cfg and update_md5.info (at the top or in bin/), files
ending in .old, and the cache folders update/ and bin/update/.

Refused with exit code 2 and nothing written, naming the path: a path the updater
would drop as unsafe; a name with TAB, CR, LF, "%", "#" or a backslash; a name that
Windows cannot hold (<>:"|?*, control characters, a trailing dot or space, CON, PRN,
AUX, NUL, COM1-9, LPT1-9, also with an extension); two paths that differ only in
letter case; a path that the chosen encoding cannot represent; an unreadable file or
folder; a symbolic link to a folder; an empty release; OUT_DIR inside RELEASE_DIR or
RELEASE_DIR inside OUT_DIR; an existing version folder without --replace.

Output is the same, byte for byte, for the same input. Files are hashed while they
are copied, in chunks of 1 MiB on all cores; a progress line is shown on standard
error when it is a terminal.

Exit codes: 0 published (or --verify found no problem); 1 writing failed (the
previous update.ini stays in place) or --verify found problems; 2 refused, or a
wrong command line.
)");
}

ArgumentsResult parsePublishArguments(const QStringList &arguments, PublishOptions &options, QString &message)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QString());
    const QCommandLineOption version(QStringLiteral("version"), QString(), QStringLiteral("TEXT"));
    const QCommandLineOption folder(QStringLiteral("folder"), QString(), QStringLiteral("NAME"));
    const QCommandLineOption optional(QStringLiteral("optional"), QString());
    const QCommandLineOption url(QStringLiteral("url"), QString(), QStringLiteral("URL"));
    const QCommandLineOption encoding(QStringLiteral("path-encoding"), QString(), QStringLiteral("NAME"));
    const QCommandLineOption exclude(QStringLiteral("exclude"), QString(), QStringLiteral("GLOB"));
    const QCommandLineOption replace(QStringLiteral("replace"), QString());
    const QCommandLineOption verify(QStringLiteral("verify"), QString());
    parser.addOptions({help, version, folder, optional, url, encoding, exclude, replace, verify});

    if (!parser.parse(arguments)) {
        message = parser.errorText();
        return ArgumentsResult::Error;
    }
    if (parser.isSet(help)) {
        message = publishHelpText();
        return ArgumentsResult::Help;
    }
    options = PublishOptions();
    options.verify = parser.isSet(verify);
    options.pathEncoding = parser.value(encoding);
    const QStringList positional = parser.positionalArguments();
    if (options.verify) {
        const QList<QCommandLineOption> publishOnly = {version, folder, optional, url, exclude, replace};
        for (const QCommandLineOption &option : publishOnly) {
            if (parser.isSet(option)) {
                message = QStringLiteral("--%1 does not apply to --verify").arg(option.names().constFirst());
                return ArgumentsResult::Error;
            }
        }
        if (positional.size() != 1) {
            message = QStringLiteral("--verify takes one folder: OUT_DIR");
            return ArgumentsResult::Error;
        }
        options.outDir = positional.at(0);
        return ArgumentsResult::Run;
    }
    if (positional.size() != 2) {
        message = QStringLiteral("expected RELEASE_DIR and OUT_DIR");
        return ArgumentsResult::Error;
    }
    options.releaseDir = positional.at(0);
    options.outDir = positional.at(1);
    options.version = parser.value(version);
    if (parser.isSet(folder))
        options.folder = parser.value(folder);
    options.optional = parser.isSet(optional);
    options.url = parser.value(url);
    if (parser.isSet(url) && options.url.isEmpty()) {
        message = QStringLiteral("--url needs an address");
        return ArgumentsResult::Error;
    }
    options.excludes = parser.values(exclude);
    options.replace = parser.isSet(replace);
    return ArgumentsResult::Run;
}
