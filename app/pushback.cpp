#include "app/pushback.h"

#include <QFile>
#include <QLocale>
#include <QSaveFile>

namespace {

// A handful of addresses; a larger file is not ours.
constexpr qint64 MaxRecordSize = 64 * 1024;

QDateTime capped(const QDateTime &time, const QDateTime &now)
{
    return qMin(time, now.addSecs(PushBack::MaxSeconds));
}

} // namespace

PushBack::PushBack(const QDir &rootDir)
    : m_path(rootDir.absoluteFilePath(QStringLiteral("update_retry.info")))
{
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QList<QByteArray> lines = file.read(MaxRecordSize).split('\n');
    for (const QByteArray &line : lines) {
        const int tab = line.indexOf('\t');
        bool ok = false;
        const qint64 seconds = line.left(tab).toLongLong(&ok);
        if (tab <= 0 || !ok)
            continue;
        // A clock set back, or a hand-edited file, never holds the updater back
        // longer than a server may ask.
        const QDateTime time = capped(QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC), now);
        if (time > now)
            m_until.insert(QString::fromUtf8(line.mid(tab + 1)), time);
    }
}

QDateTime PushBack::until(const QString &address) const
{
    const QDateTime time = m_until.value(address);
    return time.isValid() && time > QDateTime::currentDateTimeUtc() ? time : QDateTime();
}

void PushBack::record(const QString &address, const QByteArray &retryAfter)
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QDateTime time = parseRetryAfter(retryAfter, now);
    if (!time.isValid() || time <= now || address.contains(QLatin1Char('\n')))
        return;
    m_until.insert(address, time);
    save();
}

QDateTime PushBack::parseRetryAfter(const QByteArray &value, const QDateTime &now)
{
    const QByteArray text = value.trimmed();
    bool digits = !text.isEmpty();
    for (char c : text)
        digits = digits && c >= '0' && c <= '9';
    if (digits) {
        // Ten digits are already past any wait that is honoured.
        return capped(now.addSecs(text.size() > 9 ? MaxSeconds : text.toLongLong()), now);
    }
    // The HTTP date (IMF-fixdate), the one form servers send today.
    QDateTime time = QLocale::c().toDateTime(QString::fromLatin1(text),
                                             QStringLiteral("ddd, dd MMM yyyy HH:mm:ss 'GMT'"));
    if (!time.isValid())
        return QDateTime();
    time.setTimeSpec(Qt::UTC);
    return capped(time, now);
}

void PushBack::save() const
{
    QByteArray bytes;
    for (auto it = m_until.cbegin(); it != m_until.cend(); ++it)
        bytes += QByteArray::number(it.value().toSecsSinceEpoch()) + '\t' + it.key().toUtf8() + '\n';
    // Best effort: without the file, the next run asks the server once more.
    QSaveFile file(m_path);
    if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size())
        file.commit();
    else
        file.cancelWriting();
}
