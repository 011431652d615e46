#include "app/reporting.h"

#include "app/consoleoutput.h"

#include "ui/cupdateerror.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSaveFile>

#include <iostream>

QByteArray updateResultRecord(bool success, bool update, QString errormsg)
{
    // QJsonObject keeps its members sorted by key, and the compact form has no
    // white space and no line end: exactly the record a calling program parses.
    QJsonObject record;
    record.insert(QStringLiteral("errormsg"), errormsg);
    record.insert(QStringLiteral("success"), success);
    record.insert(QStringLiteral("update"), update);
    return QJsonDocument(record).toJson(QJsonDocument::Compact);
}

void writeUpdateResult(bool success, bool update, QString errormsg)
{
    const QByteArray bytes = updateResultRecord(success, update, errormsg);
    if (writeToConsole(bytes))
        return;
    std::cout.write(bytes.constData(), bytes.size());
    std::cout.flush();
}

bool writeFileData(QString path, QByteArray data)
{
    // Written beside the target and renamed over it on commit: the record of the
    // installed files is either the old one or the new one, never a torn mix that
    // would make the next run trust files it never checked.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    if (file.write(data) != data.size()) {
        file.cancelWriting();
        file.commit();
        return false;
    }
    return file.commit();
}

bool showUpdateError(CUpdateError *dialog, QString title, QString message, bool retry)
{
    dialog->setMessage(title, message, retry);
    return dialog->exec() == 1;
}

bool startHost(QString exePath)
{
    if (exePath.isEmpty())
        return false;
    return QProcess::startDetached(
        exePath, {QCoreApplication::applicationFilePath(), QStringLiteral("no_check")});
}
