// Key and signature files: a public key file, a NUL byte, a .minisig file, a NUL
// byte, then the signed data. A key file that does not parse leaves the signature
// to be checked against a fixed key, so that its own parsing is reached either way.
#include "fuzzinput.h"
#include "update/minisign.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QList<QByteArray> parts = fuzzParts(data, size, 3);
    QList<MinisignPublicKey> keys;
    QString error;
    if (!parseMinisignPublicKeys(parts.at(0), keys, error) || keys.isEmpty()) {
        // The key of the seeds' signatures (corpus/minisign/).
        keys = {{QByteArray::fromHex("c57f3279edbfef4c"),
                 QByteArray::fromHex("0c592ff5a251ad4308934316990b855013f35e7eba5454d3626a92333b1f7bf3")}};
    }
    for (const MinisignPublicKey &key : qAsConst(keys))
        minisignKeyIdText(key.keyId);
    QByteArray trusted;
    verifyMinisign(parts.at(2), parts.at(1), keys, error, &trusted);
    return 0;
}
