// The pack index (index.txt) read against its file list: the list, a NUL byte,
// then the index.
#include "fuzzinput.h"
#include "update/filelist.h"
#include "update/packindex.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QList<QByteArray> parts = fuzzParts(data, size, 2);
    UpdateFileMap files = parseFileList(parts.at(0));
    attachPackIndex(parts.at(0), parts.at(1), files);
    for (const UpdateFileEntry &entry : qAsConst(files)) {
        for (const PackArtefact &artefact : entry.artefacts) {
            // The frame's own path joins the version folder: it must be a safe one.
            if (!isSafeRelativePath(frameEntry(artefact).path, HostPathRules))
                __builtin_trap();
        }
    }
    return 0;
}
