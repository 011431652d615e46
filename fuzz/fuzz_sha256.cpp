// The SHA-256 list (sha256.txt) of a signed release, matched to its file list:
// the list, a NUL byte, then the SHA-256 list.
#include "fuzzinput.h"
#include "update/filelist.h"
#include "update/signedrelease.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QList<QByteArray> parts = fuzzParts(data, size, 2);
    UpdateFileMap files = parseFileList(parts.at(0));
    if (attachSha256(parts.at(0), parts.at(1), files)) {
        for (const UpdateFileEntry &entry : qAsConst(files)) {
            if (entry.sha256.size() != 64)
                __builtin_trap();
        }
    }
    return 0;
}
