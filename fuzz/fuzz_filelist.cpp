// The file list (md5.txt): every line a server sends goes through parseFileList
// before any path is joined to a folder.
#include "fuzzinput.h"
#include "update/filelist.h"

#include <QSet>
#include <QTextCodec>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    // The first byte picks the client: Windows or basic path rules, and the
    // encoding its paths are decoded with.
    const std::uint8_t flags = data[0];
    const QByteArray text = fuzzBytes(data + 1, size - 1);
    const PathRules rules = (flags & 1) ? PathRules::Windows : PathRules::Basic;
    QTextCodec *codec = nullptr;
    if (flags & 2)
        codec = QTextCodec::codecForName("UTF-8");
    else if (flags & 4)
        codec = QTextCodec::codecForName("GBK");
    const UpdateFileMap files = parseFileList(text, codec, rules);
    // Every path kept is safe to join to a folder, and names a file of its own:
    // two spellings of one file would be fetched twice into one place.
    QSet<quint64> identities;
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        const quint64 identity = listPathIdentity(it.key(), rules);
        if (!isSafeRelativePath(it.key(), rules) || identities.contains(identity))
            __builtin_trap();
        identities.insert(identity);
    }
    return 0;
}
