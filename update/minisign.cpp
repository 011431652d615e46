#include "update/minisign.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstring>
#include <memory>

namespace {

// Key and signature files are a few hundred bytes; anything far larger is not one
// and is refused before it is split into lines.
constexpr int MaxFileSize = 64 * 1024;

// minisign's default scrypt parameters (N = 2^20, r = 8, p = 1) need exactly this
// much. A key file asking for more is refused rather than allowed to allocate it.
constexpr quint64 MaxScryptMemory = 1024ull * 1024 * 1024;

constexpr int KeyIdSize = 8;
constexpr int PublicKeySize = 32;
constexpr int SeedSize = 32;
constexpr int SecretKeySize = SeedSize + PublicKeySize;
constexpr int SignatureSize = 64;
constexpr int ChecksumSize = 32;
constexpr int SaltSize = 32;
// A secret key file's header: signature, KDF and checksum algorithm (2 bytes each),
// salt, opslimit and memlimit (little-endian 64-bit numbers).
constexpr int SaltOffset = 6;
constexpr int OpsLimitOffset = SaltOffset + SaltSize;
constexpr int MemLimitOffset = OpsLimitOffset + 8;
constexpr int SecretKeyHeaderSize = MemLimitOffset + 8;
constexpr int EncryptedPartSize = KeyIdSize + SecretKeySize + ChecksumSize;

const char UntrustedPrefix[] = "untrusted comment: ";
const char TrustedPrefix[] = "trusted comment: ";

struct PkeyFree
{
    void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
struct MdCtxFree
{
    void operator()(EVP_MD_CTX *ctx) const { EVP_MD_CTX_free(ctx); }
};
struct MdFree
{
    void operator()(EVP_MD *md) const { EVP_MD_free(md); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

const unsigned char *bytes(const QByteArray &data)
{
    return reinterpret_cast<const unsigned char *>(data.constData());
}

// Lines without their "\n" or "\r\n": a key file edited on Windows stays readable.
// A final line end does not start another line.
QList<QByteArray> textLines(const QByteArray &text)
{
    QList<QByteArray> lines = text.split('\n');
    for (QByteArray &line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    if (!lines.isEmpty() && lines.constLast().isEmpty())
        lines.removeLast();
    return lines;
}

bool isBlank(const QByteArray &line)
{
    return line.trimmed().isEmpty();
}

// Strict base64 of exactly size bytes; stray characters make it fail, not vanish.
bool decodeBase64(const QByteArray &line, int size, QByteArray &decoded)
{
    const auto result = QByteArray::fromBase64Encoding(line, QByteArray::AbortOnBase64DecodingErrors);
    if (!result || result.decoded.size() != size)
        return false;
    decoded = result.decoded;
    return true;
}

QString lineError(int index, const char *text)
{
    return QStringLiteral("line %1: ").arg(index + 1) + QLatin1String(text);
}

// BLAKE2b as RFC 7693 describes it, for the secret key's 32-byte checksum: the
// OpenSSL 3.0 digest only gives 64-byte output, and the output length is part of
// BLAKE2b's parameter block, so a shortened 64-byte hash would not match.
QByteArray blake2b(const QByteArray &data, int outLength)
{
    static const quint64 iv[8] = {
        0x6a09e667f3bcc908ull, 0xbb67ae8584caa73bull, 0x3c6ef372fe94f82bull, 0xa54ff53a5f1d36f1ull,
        0x510e527fade682d1ull, 0x9b05688c2b3e6c1full, 0x1f83d9abfb41bd6bull, 0x5be0cd19137e2179ull};
    static const unsigned char sigma[10][16] = {
        {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
        {14, 10, 4, 8, 9, 15, 13, 6, 1, 12, 0, 2, 11, 7, 5, 3},
        {11, 8, 12, 0, 5, 2, 15, 13, 10, 14, 3, 6, 7, 1, 9, 4},
        {7, 9, 3, 1, 13, 12, 11, 14, 2, 6, 5, 10, 4, 0, 15, 8},
        {9, 0, 5, 7, 2, 4, 10, 15, 14, 1, 11, 12, 6, 8, 3, 13},
        {2, 12, 6, 10, 0, 11, 8, 3, 4, 13, 7, 5, 15, 14, 1, 9},
        {12, 5, 1, 15, 14, 13, 4, 10, 0, 7, 6, 3, 9, 2, 8, 11},
        {13, 11, 7, 14, 12, 1, 3, 9, 5, 0, 15, 4, 8, 6, 2, 10},
        {6, 15, 14, 9, 11, 3, 0, 8, 12, 2, 13, 7, 1, 4, 10, 5},
        {10, 2, 8, 4, 7, 6, 1, 5, 15, 11, 9, 14, 3, 12, 13, 0}};
    const auto rotr = [](quint64 x, int n) { return (x >> n) | (x << (64 - n)); };

    quint64 h[8];
    std::memcpy(h, iv, sizeof h);
    h[0] ^= 0x01010000u ^ quint64(outLength); // no key, fanout and depth 1

    const auto compress = [&](const unsigned char *block, quint64 counter, bool last) {
        quint64 m[16];
        for (int i = 0; i < 16; ++i) {
            m[i] = 0;
            for (int b = 7; b >= 0; --b)
                m[i] = (m[i] << 8) | block[i * 8 + b];
        }
        quint64 v[16];
        std::memcpy(v, h, sizeof h);
        std::memcpy(v + 8, iv, sizeof iv);
        v[12] ^= counter; // inputs here stay far below 2^64 bytes: the high word is 0
        if (last)
            v[14] = ~v[14];
        const auto g = [&](int a, int b, int c, int d, quint64 x, quint64 y) {
            v[a] += v[b] + x;
            v[d] = rotr(v[d] ^ v[a], 32);
            v[c] += v[d];
            v[b] = rotr(v[b] ^ v[c], 24);
            v[a] += v[b] + y;
            v[d] = rotr(v[d] ^ v[a], 16);
            v[c] += v[d];
            v[b] = rotr(v[b] ^ v[c], 63);
        };
        for (int round = 0; round < 12; ++round) {
            const unsigned char *s = sigma[round % 10];
            g(0, 4, 8, 12, m[s[0]], m[s[1]]);
            g(1, 5, 9, 13, m[s[2]], m[s[3]]);
            g(2, 6, 10, 14, m[s[4]], m[s[5]]);
            g(3, 7, 11, 15, m[s[6]], m[s[7]]);
            g(0, 5, 10, 15, m[s[8]], m[s[9]]);
            g(1, 6, 11, 12, m[s[10]], m[s[11]]);
            g(2, 7, 8, 13, m[s[12]], m[s[13]]);
            g(3, 4, 9, 14, m[s[14]], m[s[15]]);
        }
        for (int i = 0; i < 8; ++i)
            h[i] ^= v[i] ^ v[i + 8];
    };

    const auto *in = bytes(data);
    const quint64 length = quint64(data.size());
    quint64 done = 0;
    // Every block but the last is compressed as it comes; the last one, even when
    // full or empty, carries the final flag.
    while (length - done > 128) {
        done += 128;
        compress(in + done - 128, done, false);
    }
    unsigned char lastBlock[128] = {};
    std::memcpy(lastBlock, in + done, length - done);
    compress(lastBlock, length, true);

    QByteArray out(outLength, Qt::Uninitialized);
    for (int i = 0; i < outLength; ++i)
        out[i] = char(h[i / 8] >> (8 * (i % 8)));
    return out;
}

QByteArray blake2b512(const QByteArray &data)
{
    std::unique_ptr<EVP_MD, MdFree> md(EVP_MD_fetch(nullptr, "BLAKE2B-512", nullptr));
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (!md || !EVP_Digest(data.constData(), size_t(data.size()), digest, &size, md.get(), nullptr) || size != 64)
        return QByteArray();
    return QByteArray(reinterpret_cast<const char *>(digest), int(size));
}

bool ed25519Verify(const QByteArray &publicKey, const QByteArray &signature, const QByteArray &message)
{
    PkeyPtr key(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, bytes(publicKey), size_t(publicKey.size())));
    MdCtxPtr ctx(EVP_MD_CTX_new());
    return key && ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) == 1
        && EVP_DigestVerify(ctx.get(), bytes(signature), size_t(signature.size()), bytes(message),
                            size_t(message.size())) == 1;
}

PkeyPtr ed25519PrivateKey(const QByteArray &secretKey)
{
    return PkeyPtr(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, bytes(secretKey), SeedSize));
}

QByteArray ed25519Sign(EVP_PKEY *key, const QByteArray &message)
{
    MdCtxPtr ctx(EVP_MD_CTX_new());
    QByteArray signature(SignatureSize, Qt::Uninitialized);
    size_t size = size_t(signature.size());
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key) != 1
        || EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char *>(signature.data()), &size, bytes(message),
                          size_t(message.size())) != 1
        || size != SignatureSize)
        return QByteArray();
    return signature;
}

quint64 littleEndian64(const char *p)
{
    quint64 value = 0;
    for (int i = 7; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(p[i]);
    return value;
}

struct ScryptParameters
{
    quint64 n;
    quint64 r;
    quint64 p;
};

// minisign derives the key with libsodium's crypto_pwhash_scryptsalsa208sha256,
// which stores an operations and a memory limit instead of N, r and p and picks
// these from the two. The same choice has to be made to get the same stream.
ScryptParameters scryptParameters(quint64 opsLimit, quint64 memLimit)
{
    // The largest power of two not above limit, but at least 2.
    const auto powerOfTwoWithin = [](quint64 limit) {
        int log2 = 1;
        while (log2 < 63 && (quint64(1) << log2) <= limit / 2)
            ++log2;
        return quint64(1) << log2;
    };
    opsLimit = qMax<quint64>(opsLimit, 32768);
    const quint64 r = 8;
    if (opsLimit < memLimit / 32)
        return {powerOfTwoWithin(opsLimit / (r * 4)), r, 1};
    const quint64 n = powerOfTwoWithin(memLimit / (r * 128));
    const quint64 rp = qMin<quint64>(opsLimit / 4 / n, 0x3fffffff);
    return {n, r, rp / r};
}

} // namespace

QString minisignKeyIdText(const QByteArray &keyId)
{
    if (keyId.size() != KeyIdSize)
        return QString();
    return QString::number(littleEndian64(keyId.constData()), 16).toUpper();
}

bool parseMinisignPublicKeys(const QByteArray &text, QList<MinisignPublicKey> &keys, QString &error)
{
    if (text.size() > MaxFileSize) {
        error = QStringLiteral("public key file is too large");
        return false;
    }
    const QList<QByteArray> lines = textLines(text);
    QList<MinisignPublicKey> found;
    for (int i = 0; i < lines.size(); ++i) {
        if (isBlank(lines.at(i)))
            continue;
        if (!lines.at(i).startsWith(UntrustedPrefix)) {
            error = lineError(i, "expected an untrusted comment");
            return false;
        }
        ++i;
        QByteArray decoded;
        if (i >= lines.size() || !decodeBase64(lines.at(i), 2 + KeyIdSize + PublicKeySize, decoded)
            || !decoded.startsWith("Ed")) {
            error = lineError(i, "not a minisign public key");
            return false;
        }
        const MinisignPublicKey key{decoded.mid(2, KeyIdSize), decoded.mid(2 + KeyIdSize)};
        // With two keys of one id it would be chance which one a signature meets.
        for (const MinisignPublicKey &earlier : qAsConst(found)) {
            if (earlier.keyId == key.keyId) {
                error = QStringLiteral("line %1: key %2 is listed twice").arg(i + 1).arg(minisignKeyIdText(key.keyId));
                return false;
            }
        }
        found.append(key);
    }
    if (found.isEmpty()) {
        error = QStringLiteral("no public key found");
        return false;
    }
    keys = found;
    return true;
}

bool verifyMinisign(const QByteArray &data, const QByteArray &signatureFile, const QList<MinisignPublicKey> &keys,
                    QString &error, QByteArray *trustedComment)
{
    if (signatureFile.size() > MaxFileSize) {
        error = QStringLiteral("signature file is too large");
        return false;
    }
    const QList<QByteArray> lines = textLines(signatureFile);
    QByteArray signature;
    QByteArray globalSignature;
    if (lines.isEmpty() || !lines.at(0).startsWith(UntrustedPrefix)) {
        error = lineError(0, "expected an untrusted comment");
        return false;
    }
    if (lines.size() < 2 || !decodeBase64(lines.at(1), 2 + KeyIdSize + SignatureSize, signature)) {
        error = lineError(1, "not a minisign signature");
        return false;
    }
    const QByteArray algorithm = signature.left(2);
    if (algorithm != "Ed" && algorithm != "ED") {
        error = lineError(1, "unsupported signature algorithm");
        return false;
    }
    if (lines.size() < 3 || !lines.at(2).startsWith(TrustedPrefix)) {
        error = lineError(2, "expected a trusted comment");
        return false;
    }
    if (lines.size() < 4 || !decodeBase64(lines.at(3), SignatureSize, globalSignature)) {
        error = lineError(3, "not a minisign global signature");
        return false;
    }
    for (int i = 4; i < lines.size(); ++i) {
        if (!isBlank(lines.at(i))) {
            error = lineError(i, "unexpected text after the signature");
            return false;
        }
    }

    const QByteArray keyId = signature.mid(2, KeyIdSize);
    const MinisignPublicKey *key = nullptr;
    for (const MinisignPublicKey &candidate : keys) {
        if (candidate.keyId == keyId)
            key = &candidate;
    }
    if (!key) {
        error = QStringLiteral("signed with key %1, which is not a trusted key").arg(minisignKeyIdText(keyId));
        return false;
    }
    const QByteArray signatureBytes = signature.mid(2 + KeyIdSize);
    // "ED" signs the BLAKE2b-512 hash of the data, so that minisign can sign files
    // of any size in one streaming pass; "Ed" is the older form over the data itself.
    QByteArray message = data;
    if (algorithm == "ED") {
        message = blake2b512(data);
        if (message.isNull()) {
            error = QStringLiteral("BLAKE2b-512 is not available");
            return false;
        }
    }
    if (!ed25519Verify(key->key, signatureBytes, message)) {
        error = QStringLiteral("the signature does not match the data");
        return false;
    }
    // The trusted comment is bound to this very signature, so that neither can be
    // paired with another.
    const QByteArray comment = lines.at(2).mid(int(sizeof TrustedPrefix) - 1);
    if (!ed25519Verify(key->key, globalSignature, signatureBytes + comment)) {
        error = QStringLiteral("the trusted comment's signature does not match");
        return false;
    }
    if (trustedComment)
        *trustedComment = comment;
    return true;
}

bool parseMinisignSecretKey(const QByteArray &text, const QByteArray &password, MinisignSecretKey &key,
                            QString &error)
{
    if (text.size() > MaxFileSize) {
        error = QStringLiteral("secret key file is too large");
        return false;
    }
    const QList<QByteArray> lines = textLines(text);
    QByteArray decoded;
    if (lines.isEmpty() || !lines.at(0).startsWith(UntrustedPrefix)) {
        error = lineError(0, "expected an untrusted comment");
        return false;
    }
    if (lines.size() < 2 || !decodeBase64(lines.at(1), SecretKeyHeaderSize + EncryptedPartSize, decoded)
        || !decoded.startsWith("Ed") || decoded.mid(4, 2) != "B2") {
        error = lineError(1, "not a minisign secret key");
        return false;
    }
    for (int i = 2; i < lines.size(); ++i) {
        if (!isBlank(lines.at(i))) {
            error = lineError(i, "unexpected text after the secret key");
            return false;
        }
    }

    const QByteArray kdf = decoded.mid(2, 2);
    const bool encrypted = kdf == "Sc";
    if (!encrypted && kdf != QByteArray(2, '\0')) {
        error = lineError(1, "unsupported key encryption");
        return false;
    }
    QByteArray part = decoded.mid(SecretKeyHeaderSize);
    if (encrypted) {
        const ScryptParameters s = scryptParameters(littleEndian64(decoded.constData() + OpsLimitOffset),
                                                    littleEndian64(decoded.constData() + MemLimitOffset));
        const quint64 blockSize = 128 * s.r;
        if (s.p == 0 || s.n > MaxScryptMemory / blockSize || s.p > MaxScryptMemory / blockSize / s.n) {
            error = QStringLiteral("the secret key's scrypt parameters need more than 1 GiB");
            return false;
        }
        // The key is the XOR of the stored bytes with the scrypt output.
        QByteArray stream(EncryptedPartSize, Qt::Uninitialized);
        const quint64 maxMemory = blockSize * (s.n + s.p) + 1024 * 1024; // OpenSSL's own buffers besides
        if (EVP_PBE_scrypt(password.constData(), size_t(password.size()), bytes(decoded) + SaltOffset, SaltSize,
                           s.n, s.r, s.p, maxMemory, reinterpret_cast<unsigned char *>(stream.data()),
                           size_t(stream.size())) != 1) {
            error = QStringLiteral("scrypt failed");
            return false;
        }
        for (int i = 0; i < EncryptedPartSize; ++i)
            part[i] = char(part.at(i) ^ stream.at(i));
        OPENSSL_cleanse(stream.data(), size_t(stream.size()));
    }

    const QByteArray keyId = part.left(KeyIdSize);
    const QByteArray secretKey = part.mid(KeyIdSize, SecretKeySize);
    const QByteArray checksum = part.mid(KeyIdSize + SecretKeySize);
    // With a wrong password every byte comes out garbled, the checksum too. An
    // unencrypted key made by minisign 0.11 carries zeros instead of a checksum.
    if (checksum != blake2b("Ed" + keyId + secretKey, ChecksumSize)
        && (encrypted || checksum != QByteArray(ChecksumSize, '\0'))) {
        error = encrypted ? QStringLiteral("wrong password")
                          : QStringLiteral("the secret key's checksum does not match");
        return false;
    }
    // The second half is the public key of the first: a damaged seed would sign
    // with a key nobody trusts, which only shows when the signature is checked.
    PkeyPtr pkey = ed25519PrivateKey(secretKey);
    QByteArray publicKey(PublicKeySize, Qt::Uninitialized);
    size_t size = size_t(publicKey.size());
    if (!pkey
        || EVP_PKEY_get_raw_public_key(pkey.get(), reinterpret_cast<unsigned char *>(publicKey.data()), &size) != 1
        || publicKey != secretKey.mid(SeedSize)) {
        error = QStringLiteral("the secret key's public half does not match its seed");
        return false;
    }
    key = MinisignSecretKey{keyId, secretKey};
    return true;
}

QByteArray signMinisign(const QByteArray &data, const MinisignSecretKey &key, const QByteArray &trustedComment)
{
    if (key.keyId.size() != KeyIdSize || key.secretKey.size() != SecretKeySize || trustedComment.contains('\n')
        || trustedComment.contains('\r'))
        return QByteArray();
    PkeyPtr pkey = ed25519PrivateKey(key.secretKey);
    const QByteArray hash = blake2b512(data);
    if (!pkey || hash.isNull())
        return QByteArray();
    const QByteArray signature = ed25519Sign(pkey.get(), hash);
    if (signature.isNull())
        return QByteArray();
    const QByteArray globalSignature = ed25519Sign(pkey.get(), signature + trustedComment);
    if (globalSignature.isNull())
        return QByteArray();
    return UntrustedPrefix + QByteArray("signature from minisign secret key ")
         + minisignKeyIdText(key.keyId).toLatin1() + '\n' + QByteArray("ED" + key.keyId + signature).toBase64() + '\n'
         + TrustedPrefix + trustedComment + '\n' + globalSignature.toBase64() + '\n';
}

QByteArray minisignPublicKeyFile(const MinisignSecretKey &key)
{
    return UntrustedPrefix + QByteArray("minisign public key ") + minisignKeyIdText(key.keyId).toLatin1() + '\n'
         + QByteArray("Ed" + key.keyId + key.secretKey.mid(SeedSize)).toBase64() + '\n';
}
