#include "app/startup.h"

#include "app/folders.h"
#include "app/instanceguard.h"
#include "app/reporting.h"
#include "app/updaterun.h"
#include "net/chttpaccessmanager.h"
#include "net/proxychoice.h"
#include "net/userpart.h"
#include "ui/cupdateerror.h"

#include <QApplication>
#include <QFileInfo>
#include <QIcon>
#include <QSettings>
#include <QUrl>

#include <memory>

namespace {

QString firstArgument(const QStringList &arguments)
{
    return arguments.isEmpty() ? QString() : arguments.first();
}

/// A start-up error that ends the run: a record in console mode; otherwise the
/// dialog without buttons, then the host.
int endWithConfigurationError(const RunValues &values, const QString &title,
                              const QString &message)
{
    if (values.consoleMode) {
        writeUpdateResult(false, false, message);
    } else {
        showUpdateError(values.errorDialog, title, message, false);
        startHost(values.hostExePath);
    }
    return ExitNotInstalled;
}

} // namespace

int updaterMain(int &argc, char **argv)
{
    // Both attributes only take effect when set before the application object exists.
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
    QApplication app(argc, argv);
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icon")));
    CUpdateError errorDialog;
    const QString exeDir = QCoreApplication::applicationDirPath();
    // HTTPS through libcurl, as for the files; plain HTTP as before.
    CHttpAccessManager networkManager;

    // The application object has removed the options it understood from argv; what
    // is left came in the local 8-bit code page.
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    return startUpdater(exeDir, arguments, &errorDialog, &networkManager);
}

RunValues readConfiguration(const QString &exeDir, const QStringList &arguments,
                            CUpdateError *errorDialog)
{
    RunValues values;
    values.exeDir = exeDir;
    values.errorDialog = errorDialog;

    QSettings settings(QDir(exeDir).absoluteFilePath(QStringLiteral("system.cfg")),
                       QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("Update"));
    // Several addresses, separated by commas, are mirrors in order of preference;
    // the INI reader hands them over as a list.
    const QStringList urls = settings.value(QStringLiteral("URL")).toStringList();
    for (const QString &url : urls) {
        if (!url.trimmed().isEmpty() || urls.size() == 1)
            values.updateUrls.append(urls.size() == 1 ? url : url.trimmed());
    }
    values.updateUrl = values.updateUrls.value(0);
    errorDialog->setDownloadUrl(settings.value(QStringLiteral("DownLoadUrl")).toString());
    values.rootDir = QDir(exeDir);
    values.cacheDir = QDir(settings.value(QStringLiteral("Cache"),
                                          QDir(exeDir).absoluteFilePath(QStringLiteral("update")))
                               .toString());
    QString host = settings.value(QStringLiteral("ExeName"), QStringLiteral("Host.exe")).toString();
    if (QFileInfo(host).isRelative())
        host = QDir(exeDir).absoluteFilePath(host);
    values.hostExePath = host;
    // Six is what browsers open per host and what servers are tuned for; anything
    // that is not a whole number from 1 to 16 means the default.
    bool ok = false;
    const int connections = settings.value(QStringLiteral("Connections")).toString().trimmed().toInt(&ok);
    const bool configured = ok && connections >= 1 && connections <= 16;
    values.connections = configured ? connections : 6;
    // Over HTTP/2 every request shares one connection, and at a round trip of 10 ms
    // sixteen under way fetch small files faster than six; a server's limit on
    // connections means nothing there. A configured value still holds: it is also
    // what keeps each file's share of a slow link above the speed floor.
    values.http2Streams = configured ? connections : 16;
    // An unquoted comma (in a password, say) makes a list of the value, which
    // toString() turns into nothing: the run would go direct without a word.
    const QVariant proxy = settings.value(QStringLiteral("Proxy"));
    values.proxy = proxy.toStringList().join(QLatin1Char(','));
    values.proxyIsList = proxy.userType() == QMetaType::QStringList;
    // A repair is unattended like a console run, with the same records and codes.
    values.repairMode = firstArgument(arguments).compare(QLatin1String("repair"), Qt::CaseInsensitive) == 0;
    values.consoleMode = values.repairMode
        || firstArgument(arguments).compare(QLatin1String("console"), Qt::CaseInsensitive) == 0;
    return values;
}

bool isRestartMode(const QStringList &arguments)
{
    return firstArgument(arguments).compare(QLatin1String("restart"), Qt::CaseInsensitive) == 0;
}

void prepareDirectories(RunValues &values)
{
    values.rootDir = installationRoot(values.rootDir.path());
    // A relative cache is taken against the working folder, not against exeDir.
    QDir cache(values.cacheDir);
    if (cache.isRelative())
        cache.makeAbsolute();
    if (!cache.exists())
        makeDirectory(cache);
    values.cacheDir = cache;
}

int startUpdater(const QString &exeDir, const QStringList &arguments,
                 CUpdateError *errorDialog, QNetworkAccessManager *networkManager)
{
    RunValues values = readConfiguration(exeDir, arguments, errorDialog);
    values.networkManager = networkManager;

    if (isRestartMode(arguments)) {
        startHost(values.hostExePath);
        return ExitNotInstalled;
    }

    InstanceGuard guard(exeDir);
    if (!guard.acquire())
        return endWithConfigurationError(values, QObject::tr("启动"), QObject::tr("升级程序已运行"));

    const QStringList addresses = values.updateUrls.isEmpty() ? QStringList{QString()} : values.updateUrls;
    for (const QString &address : addresses) {
        if (!QUrl(address, QUrl::TolerantMode).isValid()) {
            return endWithConfigurationError(values, QObject::tr("配置错误"),
                                             QObject::tr("升级地址不合法:%1").arg(addressWithoutUserPart(address)));
        }
    }

    auto proxies = std::make_unique<ProxyChoice>(values.proxy);
    if (values.proxyIsList || !proxies->isValid()) {
        return endWithConfigurationError(values, QObject::tr("配置错误"),
                                         QObject::tr("代理地址不合法:%1").arg(addressWithoutUserPart(values.proxy)));
    }
    networkManager->setProxyFactory(proxies.release());

    prepareDirectories(values);

    // Downloads are written into the cache before the installed files are set aside;
    // a cache that is the installation, or holds it, would overwrite the very files
    // the update is about to replace.
    const QString cachePath = values.cacheDir.absolutePath();
    if (isSameOrInside(values.rootDir.absolutePath(), cachePath)
        || isSameOrInside(exeDir, cachePath)) {
        return endWithConfigurationError(values, QObject::tr("配置错误"),
                                         QObject::tr("缓存目录不合法:%1").arg(cachePath));
    }

    return runUpdate(values);
}
