#pragma once

#include <QByteArray>
#include <QDir>
#include <QString>

/// A staged rollout: a release published for a share of the installations only.
/// Each installation draws a random identity once (update_id.info beside its
/// record) that never leaves it; together with the release it places the
/// installation at one of 100 even places, and a share of P takes places 0 to P-1.
/// Raising the share of the same release therefore only adds installations.
namespace Rollout {

/// The installation's identity: read from update_id.info, or drawn and kept there
/// the first time. An identity that cannot be kept still decides this run.
QByteArray identity(const QDir &rootDir);

/// The place (0-99) of the installation with identity in the release named by its
/// version folder and the SHA-256 of its list.
int place(const QByteArray &identity, const QString &folder, const QByteArray &listHash);

/// True when an installation at place takes a release published for percent.
inline bool takes(int place, int percent) { return place < percent; }

} // namespace Rollout
