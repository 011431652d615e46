#pragma once

#include <QByteArray>
#include <QString>

class QFileDevice;

// A server builds its validators from a file's modification time in whole seconds
// (nginx: ETag from it and the size, Last-Modified from it alone), and clients ask
// with the validators of the copy they kept. A replacement written within the same
// second as the file it replaces would be answered "304 Not Modified": clients
// would keep the old release. So a replacement with other bytes always gets a
// later whole second than the file it replaces.

/// file (open for writing, holding bytes) is to replace replacedPath: when that
/// holds other bytes, gives file a modification time later, in whole seconds, than
/// the replaced one's. False, with error, when the time cannot be set.
bool outdateReplacedFile(QFileDevice &file, const QByteArray &bytes, const QString &replacedPath, QString &error);

/// The same for every file below newDir that replaces the file at its path below
/// oldDir, before newDir is swapped in for oldDir.
bool outdateReplacedTree(const QString &newDir, const QString &oldDir, QString &error);
