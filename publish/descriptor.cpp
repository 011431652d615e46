#include "publish/descriptor.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>

namespace {

const QString TypeKey = QStringLiteral("Summary/UpdateType");
const QString FolderKey = QStringLiteral("Version/Folder");
const QString VersionKey = QStringLiteral("Version/Version");

} // namespace

bool readUpdateDescriptor(const QString &filePath, UpdateDescriptor &descriptor)
{
    descriptor = UpdateDescriptor();
    // QSettings reads a missing file as an empty one; the caller wants to know.
    QFile file(filePath);
    if (!QFileInfo(filePath).isFile() || !file.open(QIODevice::ReadOnly))
        return false;
    file.close();
    QSettings settings(filePath, QSettings::IniFormat);
    descriptor.updateType = settings.value(TypeKey, 1).toInt();
    descriptor.folder = settings.value(FolderKey, QStringLiteral("Base")).toString();
    descriptor.version = settings.value(VersionKey, QString()).toString();
    return settings.status() == QSettings::NoError;
}

bool updateDescriptorBytes(const UpdateDescriptor &descriptor, QByteArray &bytes, QString &errorMessage)
{
    QTemporaryDir scratch;
    if (!scratch.isValid()) {
        errorMessage = QStringLiteral("cannot create a temporary folder: %1").arg(scratch.errorString());
        return false;
    }
    const QString path = scratch.filePath(QStringLiteral("update.ini"));
    {
        QSettings settings(path, QSettings::IniFormat);
        settings.setValue(TypeKey, descriptor.updateType);
        settings.setValue(FolderKey, descriptor.folder);
        settings.setValue(VersionKey, descriptor.version);
        settings.sync();
        if (settings.status() != QSettings::NoError) {
            errorMessage = QStringLiteral("cannot write the descriptor in %1").arg(scratch.path());
            return false;
        }
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        errorMessage = QStringLiteral("cannot read back %1: %2").arg(path, file.errorString());
        return false;
    }
    bytes = file.readAll();
    file.close();

    UpdateDescriptor readBack;
    if (!readUpdateDescriptor(path, readBack) || readBack.updateType != descriptor.updateType
        || readBack.folder != descriptor.folder || readBack.version != descriptor.version) {
        errorMessage = QStringLiteral("the descriptor does not read back as written");
        return false;
    }
    return true;
}
