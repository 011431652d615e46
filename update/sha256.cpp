#include "update/sha256.h"

#include "update/md5.h"

#include <openssl/evp.h>

struct Sha256::Context
{
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    ~Context() { EVP_MD_CTX_free(ctx); }
};

Sha256::Sha256()
    : m_context(std::make_unique<Context>())
{
    reset();
}

Sha256::~Sha256() = default;

void Sha256::reset()
{
    EVP_DigestInit_ex(m_context->ctx, EVP_sha256(), nullptr);
}

void Sha256::addData(const char *data, qint64 length)
{
    EVP_DigestUpdate(m_context->ctx, data, static_cast<size_t>(length));
}

QByteArray Sha256::hexResult()
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_DigestFinal_ex(m_context->ctx, digest, &size);
    reset();
    return QByteArray(reinterpret_cast<const char *>(digest), static_cast<int>(size)).toHex();
}

QByteArray Sha256::fileHex(const QString &path)
{
    Sha256 hash;
    const bool read = forEachFileChunk(path, [&](const char *data, qint64 size) { hash.addData(data, size); });
    return read ? hash.hexResult() : QByteArray();
}

QByteArray Sha256::hex(const QByteArray &data)
{
    Sha256 hash;
    hash.addData(data.constData(), data.size());
    return hash.hexResult();
}
