#include "app/rollout.h"

#include "update/sha256.h"

#include <QFile>
#include <QRandomGenerator>
#include <QSaveFile>

namespace {

constexpr int IdentityLength = 32;

bool isIdentity(const QByteArray &text)
{
    if (text.size() != IdentityLength)
        return false;
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

} // namespace

QByteArray Rollout::identity(const QDir &rootDir)
{
    const QString path = rootDir.absoluteFilePath(QStringLiteral("update_id.info"));
    QFile file(path);
    if (file.open(QIODevice::ReadOnly)) {
        const QByteArray kept = file.read(IdentityLength + 2).trimmed();
        if (isIdentity(kept))
            return kept;
    }
    file.close();
    quint32 words[4];
    QRandomGenerator::system()->fillRange(words);
    const QByteArray drawn =
            QByteArray(reinterpret_cast<const char *>(words), sizeof words).toHex();
    QSaveFile out(path);
    if (out.open(QIODevice::WriteOnly) && out.write(drawn + '\n') == drawn.size() + 1)
        out.commit();
    else
        out.cancelWriting();
    return drawn;
}

int Rollout::place(const QByteArray &identity, const QString &folder, const QByteArray &listHash)
{
    // A hash of the identity and the release: places are even over installations
    // and independent from one release to the next, so that the same installations
    // are not always the first to take a release.
    const QByteArray digest = QByteArray::fromHex(
            Sha256::hex(identity + '\n' + folder.toUtf8() + '\n' + listHash));
    quint64 value = 0;
    for (int i = 0; i < 8; ++i)
        value = (value << 8) | quint8(digest.at(i));
    return int(value % 100);
}
