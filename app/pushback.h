#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QMap>
#include <QString>

/// What overloaded servers asked for with Retry-After (on a 429 or 503): no request
/// to such an address until the time has passed. Kept in update_retry.info in the
/// installation root, a line per address, so that later runs keep to it too.
class PushBack
{
public:
    /// The longest wait honoured; a server asking for more gets this.
    static constexpr qint64 MaxSeconds = 24 * 60 * 60;

    explicit PushBack(const QDir &rootDir);

    /// Until when address asked not to be sent anything; invalid when it did not, or
    /// the time has passed.
    QDateTime until(const QString &address) const;
    /// Records a Retry-After value (seconds or an HTTP date) that address answered
    /// with; a value in the past or that is neither form records nothing.
    void record(const QString &address, const QByteArray &retryAfter);

    /// The time a Retry-After value names, counted from now; invalid when it names none.
    static QDateTime parseRetryAfter(const QByteArray &value, const QDateTime &now);

private:
    void save() const;

    QString m_path;
    QMap<QString, QDateTime> m_until;  ///< by address, only times still ahead
};
