#include "publish/publishoptions.h"

#include <QCommandLineParser>

#include <limits>

QString publishHelpText()
{
    return QStringLiteral(
R"(Usage: updater-publish [options] RELEASE_DIR OUT_DIR
       updater-publish --verify [--path-encoding NAME] [--public-key FILE]
                       [--delta-from DIR]... OUT_DIR

Turns RELEASE_DIR, a folder laid out like a finished installation, into the tree
that the updater downloads from:
  OUT_DIR/update.ini          the descriptor: update type, version folder, version
                              text, SHA-256 of md5.txt ("Version/List"), maybe a
                              staged rollout ("Version/Rollout")
  OUT_DIR/<Folder>/md5.txt    the file list: MD5 text, size field and path per line
  OUT_DIR/<Folder>/<path>     a copy of every listed file
With --sign also:
  OUT_DIR/update.ini.minisig  a minisign signature of update.ini, whose [Release]
                              group holds Sequence, List (SHA-256 of md5.txt),
                              Hashes (SHA-256 of sha256.txt) and maybe Expires
  OUT_DIR/<Folder>/sha256.txt per line of md5.txt: the file's SHA-256, TAB, its path
  OUT_DIR/<Folder>/update_sequence.info
                              when the release holds update.pub or bin/update.pub:
                              the release's sequence, not listed in md5.txt. An
                              installation copied from the version folder (as an
                              installer does) refuses older releases from its
                              first run on.
Where it saves enough, also:
  OUT_DIR/<Folder>/#pack/<SHA-256>.zst
                              a zstd frame: a compressed copy of a file, or a
                              patch from a file's version in an earlier release
                              (--delta-from), as "zstd -d [--patch-from=OLD]" reads
  OUT_DIR/<Folder>/index.txt  per frame: kind (zst or patch), its size, MD5 and
                              SHA-256, the base's size, MD5 and SHA-256 (patch),
                              the file's md5.txt path field; update.ini names it
                              by its SHA-256 ("Version/Index")
The plain files stay where they are: a client that knows nothing of the index
downloads them as before.

Serve OUT_DIR at the address that the URL key of system.cfg names, ending in "/",
from a server that merges "//" into "/" (nginx does by default): with
URL=https://host/app/ the updater asks for /app//update.ini, /app/<Folder>//md5.txt
and /app/<Folder>/<path>.

The version folder is written completely first and update.ini last, replacing the
previous one atomically, so a client never reads a descriptor that points at an
incomplete folder; with --sign its signature follows at once, also atomically.
A file that replaces one with other bytes (update.ini, its signature, the files of
a replaced version folder) gets a later modification time in whole seconds, so a
server's ETag and Last-Modified never let a client keep the old one.
Publish each version into a folder of its own (--folder v2.1.0); an existing
version folder is refused unless --replace is given.

Options:
  --version TEXT        version text shown to users ("Version/Version"); default empty.
  --folder NAME         version folder ("Version/Folder"); default "Base".
  --optional            an optional update ("Summary/UpdateType" 0); without it the
                        update is forced (1).
  --rollout PERCENT     offers the release to that share of installations for now
                        ("Version/Rollout"), a whole number from 0 to 100; default 100
                        (every installation, no key written). Each installation
                        decides from a random identity that it keeps locally
                        (update_id.info) and never sends anywhere, so raising the
                        percentage of the same release (--replace) only adds
                        installations; --rollout 0 --replace halts it, 100
                        completes it. With --sign it is signed with update.ini.
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
  --delta-from DIR      an earlier release to make patches from; may be repeated.
                        DIR is a published version folder (it holds md5.txt, whose
                        paths are read with --path-encoding), a published root (it
                        holds update.ini: the release that it names, even when that
                        root is OUT_DIR and the version folder is being replaced) or
                        a folder laid out like an installation. Standard error tells
                        how many patches each DIR gave, and warns about a DIR that
                        holds no file of the release. Each file whose path DIR
                        holds with other content gets a patch from that version
                        when the patch is smaller than the compressed copy (by a
                        twentieth and 1 KiB at least); files above 2 GiB get none.
                        Every patch is applied once before it is kept. With
                        --verify: the index's patches are applied to the files of DIR.
  --replace             replaces an existing version folder: the new one is built
                        beside it and swapped in before update.ini is written.
  --verify              checks the published tree OUT_DIR: update.ini readable,
                        md5.txt matching its Version/List, every md5.txt line
                        well-formed with a safe path, every listed file present with
                        the listed size and MD5 text. Paths are read exactly as the
                        updater reads them with --path-encoding as its local
                        encoding (a byte-order mark stays part of the name).
                        When update.ini names an index: index.txt with that SHA-256,
                        every line well-formed and naming a listed file, every frame
                        present with its size and hashes, every compressed copy
                        decoding to its file. Prints each problem on its own line.
  --public-key FILE     with --verify: also checks what an updater holding FILE as
                        update.pub checks: the signature of update.ini by one of its
                        keys, the [Release] group, md5.txt and sha256.txt against it,
                        sha256.txt naming every listed path once, every file's SHA-256,
                        and that the release has not expired.
  --sign SECRET_KEY     signs the release with a key made by "minisign -G" (or
                        "minisign -G -W", without a password): writes sha256.txt, the
                        [Release] group and update.ini.minisig. The password of an
                        encrypted key comes from the environment variable
                        UPDATER_SIGN_PASSWORD, else it is asked for on the terminal.
  --sequence N          with --sign: Release/Sequence, not lower than the one of the
                        update.ini in OUT_DIR (clients refuse a lower one); default:
                        that one plus one (refused when it is the highest), or 1.
  --expires DAYS        with --sign: clients refuse the release DAYS days from now
                        (Release/Expires, UTC); default: it does not expire.
  -h, --help            shows this text.

Never published: system.cfg, update_md5.info, update_sequence.info, update_id.info
and update_retry.info (at the top or in bin/), files ending in .old, and the cache
folders update/ and bin/update/.

Refused with exit code 2 and nothing written, naming the path: a path the updater
would drop as unsafe; a name with TAB, CR, LF, "%", "#" or a backslash; a name that
Windows cannot hold or reads as something else (<>:"|?*, control characters, a
trailing dot or space, CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM0-9, LPT0-9, also
with an extension; an 8.3 alias shape such as UPDATE~1.INF); two paths that differ
only in letter case; a path that the chosen encoding cannot represent; an unreadable
file or folder; a symbolic link to a folder; an empty release; OUT_DIR inside
RELEASE_DIR or RELEASE_DIR inside OUT_DIR; an existing version folder without
--replace; a --delta-from that is not a folder, or a published root whose
update.ini names no version folder with md5.txt. With --sign: a key that cannot be
read, a wrong or missing password, a --sequence lower than the one in OUT_DIR, or
without --sequence an update.ini in OUT_DIR whose sequence cannot be read or is
the highest there is (9223372036854775807). Without --sign: an OUT_DIR that holds
update.ini.minisig (its clients would refuse an unsigned descriptor).

Output is the same, byte for byte, for the same input (a signature carries the time
of signing, and Expires counts from it). Files are hashed while they are copied, in
chunks of 1 MiB on all cores; frames are made and checked one file per core. A
progress line is shown on standard error when it is a terminal.

Exit codes: 0 published (or --verify found no problem); 1 writing failed (the
previous update.ini stays in place, unless only the new signature failed, as the
message says) or --verify found problems; 2 refused, or a wrong command line.
)");
}

namespace {

constexpr int MaxExpiresDays = 36500;

// A whole number written with decimal digits only, as the updater reads Sequence.
bool parseDecimal(const QString &text, qint64 &value)
{
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    bool ok = false;
    value = text.toLongLong(&ok);
    return ok;
}

} // namespace

ArgumentsResult parsePublishArguments(const QStringList &arguments, PublishOptions &options, QString &message)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QString());
    const QCommandLineOption version(QStringLiteral("version"), QString(), QStringLiteral("TEXT"));
    const QCommandLineOption folder(QStringLiteral("folder"), QString(), QStringLiteral("NAME"));
    const QCommandLineOption optional(QStringLiteral("optional"), QString());
    const QCommandLineOption rollout(QStringLiteral("rollout"), QString(), QStringLiteral("PERCENT"));
    const QCommandLineOption url(QStringLiteral("url"), QString(), QStringLiteral("URL"));
    const QCommandLineOption encoding(QStringLiteral("path-encoding"), QString(), QStringLiteral("NAME"));
    const QCommandLineOption exclude(QStringLiteral("exclude"), QString(), QStringLiteral("GLOB"));
    const QCommandLineOption replace(QStringLiteral("replace"), QString());
    const QCommandLineOption verify(QStringLiteral("verify"), QString());
    const QCommandLineOption sign(QStringLiteral("sign"), QString(), QStringLiteral("SECRET_KEY"));
    const QCommandLineOption sequence(QStringLiteral("sequence"), QString(), QStringLiteral("N"));
    const QCommandLineOption expires(QStringLiteral("expires"), QString(), QStringLiteral("DAYS"));
    const QCommandLineOption publicKey(QStringLiteral("public-key"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption deltaFrom(QStringLiteral("delta-from"), QString(), QStringLiteral("DIR"));
    parser.addOptions({help, version, folder, optional, rollout, url, encoding, exclude, replace, verify, sign, sequence,
                       expires, publicKey, deltaFrom});

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
    options.deltaFrom = parser.values(deltaFrom);
    if (options.deltaFrom.contains(QString())) {
        message = QStringLiteral("--delta-from needs a folder");
        return ArgumentsResult::Error;
    }
    const QStringList positional = parser.positionalArguments();
    if (options.verify) {
        const QList<QCommandLineOption> publishOnly = {version, folder, optional, rollout, url, exclude,
                                                       replace, sign, sequence, expires};
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
        options.publicKey = parser.value(publicKey);
        if (parser.isSet(publicKey) && options.publicKey.isEmpty()) {
            message = QStringLiteral("--public-key needs a key file");
            return ArgumentsResult::Error;
        }
        return ArgumentsResult::Run;
    }
    if (parser.isSet(publicKey)) {
        message = QStringLiteral("--public-key applies to --verify only");
        return ArgumentsResult::Error;
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
    qint64 percent = 100;
    if (parser.isSet(rollout) && (!parseDecimal(parser.value(rollout), percent) || percent > 100)) {
        message = QStringLiteral("--rollout \"%1\" is not a whole number from 0 to 100").arg(parser.value(rollout));
        return ArgumentsResult::Error;
    }
    options.rollout = static_cast<int>(percent);
    options.url = parser.value(url);
    if (parser.isSet(url) && options.url.isEmpty()) {
        message = QStringLiteral("--url needs an address");
        return ArgumentsResult::Error;
    }
    options.excludes = parser.values(exclude);
    options.replace = parser.isSet(replace);
    options.signKey = parser.value(sign);
    if (parser.isSet(sign) && options.signKey.isEmpty()) {
        message = QStringLiteral("--sign needs a secret key file");
        return ArgumentsResult::Error;
    }
    for (const QCommandLineOption &option : {sequence, expires}) {
        if (parser.isSet(option) && !parser.isSet(sign)) {
            message = QStringLiteral("--%1 needs --sign").arg(option.names().constFirst());
            return ArgumentsResult::Error;
        }
    }
    if (parser.isSet(sequence) && !parseDecimal(parser.value(sequence), options.sequence)) {
        message = QStringLiteral("--sequence \"%1\" is not a whole number from 0 to %2")
                      .arg(parser.value(sequence)).arg(std::numeric_limits<qint64>::max());
        return ArgumentsResult::Error;
    }
    qint64 days = 0;
    if (parser.isSet(expires)
        && (!parseDecimal(parser.value(expires), days) || days < 1 || days > MaxExpiresDays)) {
        message = QStringLiteral("--expires \"%1\" is not a number of days from 1 to %2")
                      .arg(parser.value(expires)).arg(MaxExpiresDays);
        return ArgumentsResult::Error;
    }
    options.expiresDays = static_cast<int>(days);
    return ArgumentsResult::Run;
}
