#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

/// Incremental SHA-256 through OpenSSL's libcrypto, which uses the processor's SHA
/// instructions where there are any (several times faster than MD5 then).
class Sha256
{
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256 &) = delete;
    Sha256 &operator=(const Sha256 &) = delete;

    /// Starts a new digest.
    void reset();
    void addData(const char *data, qint64 length);
    /// The digest of everything added since the last reset, as 64 lower-case hex digits.
    QByteArray hexResult();

    /// The digest of data as 64 lower-case hex digits.
    static QByteArray hex(const QByteArray &data);
    /// The digest of the file at path, read in bounded chunks; empty when it cannot be read.
    static QByteArray fileHex(const QString &path);

private:
    struct Context;
    std::unique_ptr<Context> m_context;
};
