#include "publish/pathencoding.h"

#include "update/filelist.h"

#include <QTextCodec>

namespace {

bool isAscii(const QByteArray &bytes)
{
    for (const char c : bytes) {
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    }
    return true;
}

} // namespace

bool pathCodecForName(const QString &name, QTextCodec *&codec, QString &errorMessage)
{
    codec = nullptr;
    if (name.isEmpty())
        return true;
    codec = QTextCodec::codecForName(name.toLatin1());
    if (!codec) {
        errorMessage = QStringLiteral("unknown --path-encoding \"%1\"").arg(name);
        return false;
    }
    // The list's TAB, CR, LF and backslash are single ASCII bytes for the updater;
    // an encoding such as UTF-16 would turn them into something else.
    const QString probe = QStringLiteral("\t\r\n\\/.azAZ09 _-~");
    if (codec->fromUnicode(probe) != probe.toLatin1()) {
        errorMessage = QStringLiteral("--path-encoding \"%1\" does not keep ASCII characters as single bytes").arg(name);
        codec = nullptr;
        return false;
    }
    return true;
}

bool encodeListPath(const QString &path, QTextCodec *codec, QByteArray &bytes, QString &reason)
{
    QString listed = path;
    listed.replace(QLatin1Char('/'), QLatin1Char('\\'));
    if (!codec) {
        for (const QChar c : listed) {
            if (c.unicode() >= 0x80) {
                reason = QStringLiteral("not plain ASCII: give --path-encoding with the clients' code page (e.g. GBK)");
                return false;
            }
        }
        bytes = listed.toLatin1();
        return true;
    }
    // Given a state without IgnoreHeader, the UTF-8 codec starts its output with a
    // byte-order mark, which would end up in front of every path of the list.
    QTextCodec::ConverterState state(QTextCodec::ConvertInvalidToNull | QTextCodec::IgnoreHeader);
    bytes = codec->fromUnicode(listed.constData(), listed.size(), &state);
    // Some codecs substitute "?" without counting it as invalid; reading the bytes
    // back as the updater does catches every character that does not survive.
    QString read;
    if (state.invalidChars > 0 || !decodeListPath(bytes, codec, read) || read != path) {
        reason = QStringLiteral("cannot be represented in %1").arg(QString::fromLatin1(codec->name()));
        return false;
    }
    return true;
}

bool decodeListPath(const QByteArray &bytes, QTextCodec *codec, QString &path)
{
    if (!codec && !isAscii(bytes))
        return false;
    // The updater's own reading, so that a check cannot see other names than it.
    path = fileListPath(bytes, codec);
    return true;
}
