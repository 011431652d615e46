// The descriptor (update.ini): read by IniValues from the bytes a server sends,
// then its [Release] group and the values the update check asks for.
#include "fuzzinput.h"
#include "update/inivalues.h"
#include "update/packindex.h"
#include "update/signedrelease.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const IniValues descriptor(fuzzBytes(data, size));
    descriptor.isWellFormed();
    ReleaseInfo release;
    readReleaseGroup(descriptor, release);
    descriptor.containsGroup(QStringLiteral("Release"));
    for (const QString &key : {QStringLiteral("Summary/UpdateType"), QStringLiteral("Version/Folder"),
                               QStringLiteral("Version/Version"), QStringLiteral("Version/List"),
                               QStringLiteral("Version/Rollout"), PackIndexKey}) {
        const QVariant value = descriptor.value(key);
        value.toString();
        value.toInt();
        value.toStringList();
    }
    return 0;
}
