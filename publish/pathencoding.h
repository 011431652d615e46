#pragma once

#include <QByteArray>
#include <QString>

class QTextCodec;

// Paths in md5.txt are bytes in the clients' 8-bit code page, which the updater
// decodes with its local encoding. Without a named encoding only ASCII is allowed:
// the publishing machine's own encoding says nothing about the clients'.

/// The codec for --path-encoding (null name: ASCII only). False with a message
/// for an unknown name or one that does not keep ASCII bytes as they are.
bool pathCodecForName(const QString &name, QTextCodec *&codec, QString &errorMessage);

/// The list bytes of a "/"-separated path: backslash separators, in codec (ASCII
/// when null). False with the reason when a character cannot be represented.
bool encodeListPath(const QString &path, QTextCodec *codec, QByteArray &bytes, QString &reason);

/// The "/"-separated path of list bytes, read exactly as the updater reads them with
/// codec as its local encoding (ASCII when null; false for any other byte).
bool decodeListPath(const QByteArray &bytes, QTextCodec *codec, QString &path);
