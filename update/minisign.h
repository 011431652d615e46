#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

/// One Ed25519 public key of a minisign key file.
struct MinisignPublicKey
{
    QByteArray keyId; ///< 8 bytes, in the order the files store them
    QByteArray key;   ///< 32 bytes
};

/// A decrypted minisign secret key.
struct MinisignSecretKey
{
    QByteArray keyId;     ///< 8 bytes, in the order the files store them
    QByteArray secretKey; ///< 64 bytes: the Ed25519 seed, then the public key
};

/// How minisign shows a key id: the 8 bytes read as a little-endian number, in
/// upper-case hex without leading zeros.
QString minisignKeyIdText(const QByteArray &keyId);

/// Reads a public key file: one or more keys, each an "untrusted comment: " line
/// followed by its base64 line; blank lines may separate them.
bool parseMinisignPublicKeys(const QByteArray &text, QList<MinisignPublicKey> &keys, QString &error);

/// Checks a .minisig file for data with the key of keys it names: the signature ("Ed": of data, "ED":
/// of its BLAKE2b-512), then the one over signature and trusted comment, which trustedComment gets.
bool verifyMinisign(const QByteArray &data, const QByteArray &signatureFile,
                    const QList<MinisignPublicKey> &keys, QString &error,
                    QByteArray *trustedComment = nullptr);

/// Reads a secret key file made by `minisign -G` (decrypted with password) or
/// `minisign -G -W` (unencrypted, password unused), and checks that it is intact.
bool parseMinisignSecretKey(const QByteArray &text, const QByteArray &password, MinisignSecretKey &key,
                            QString &error);

/// A .minisig file for data in the prehashed ("ED") form with the given trusted
/// comment. Empty when the key is unusable or the comment holds a line break.
QByteArray signMinisign(const QByteArray &data, const MinisignSecretKey &key, const QByteArray &trustedComment);

/// The public key file for key, as `minisign -G` writes it.
QByteArray minisignPublicKeyFile(const MinisignSecretKey &key);
