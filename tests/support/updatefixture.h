#pragma once

// Shared by the tests of the update run: result records, published documents made
// from file contents, and the run values start-up would hand over for a temporary
// installation.
//
//   UpdateFixture f(server.baseUrl() + "/pub", /*console*/ true);
//   server.setRoute("/pub/update.ini", TestHttpServer::ok(descriptorText("1", "v1", "1.0")));
//   server.setRoute("/pubv1//md5.txt", TestHttpServer::ok(fileListFor(files)));
//   QCOMPARE(runUpdate(f.values), 1);

#include "app/runvalues.h"
#include "support/installation.h"
#include "ui/cupdateerror.h"
#include "update/filelist.h"
#include "update/md5.h"

#include <QByteArray>
#include <QDir>
#include <QMap>
#include <QNetworkAccessManager>
#include <QString>

/// The record {"errormsg":message,"success":...,"update":...} as bytes.
inline QByteArray resultRecord(bool success, bool update, const QString &message)
{
    return "{\"errormsg\":\"" + message.toUtf8() + "\",\"success\":" + (success ? "true" : "false")
        + ",\"update\":" + (update ? "true" : "false") + '}';
}

/// md5.txt for files (path -> content), with CR LF line ends as published.
inline QByteArray fileListFor(const QMap<QString, QByteArray> &files)
{
    QByteArray list;
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        list += fileListLine(md5Text(it.value()), quint64(it.value().size()), it.key().toUtf8())
            + "\r\n";
    }
    return list;
}

/// update.ini text; "<none>" leaves the key (for the type: the whole group) out.
inline QByteArray descriptorText(const QByteArray &type, const QByteArray &folder,
                                 const QByteArray &version)
{
    QByteArray text;
    if (type != "<none>")
        text += "[Summary]\nUpdateType=" + type + "\n";
    text += "[Version]\n";
    if (folder != "<none>")
        text += "Folder=" + folder + "\n";
    text += "Version=" + version + "\n";
    return text;
}

/// The text for a 404 answer.
inline QString notFoundText()
{
    return QStringLiteral("HTTP 404 Not Found");
}

/// A flat temporary installation with a host script, and its run values: root and
/// exeDir the installation, cache root/update (created).
struct UpdateFixture
{
    Installation inst;
    CUpdateError dialog;
    QNetworkAccessManager manager;
    RunValues values;

    UpdateFixture(const QString &updateUrl, bool console)
    {
        inst.installHost();
        values.exeDir = inst.exeDir();
        values.rootDir = QDir(inst.root());
        QDir(inst.exeDir()).mkpath(QStringLiteral("update"));
        values.cacheDir = QDir(inst.exeDir() + QStringLiteral("/update"));
        values.updateUrl = updateUrl;
        values.hostExePath = inst.hostPath();
        values.consoleMode = console;
        values.errorDialog = &dialog;
        values.networkManager = &manager;
    }

    QString rootFile(const QString &relative) const
    {
        return inst.root() + QLatin1Char('/') + relative;
    }
};
