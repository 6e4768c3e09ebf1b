#include "VXCloudCommonConfig.h"

#include "VXCloudCommonLog.h"
#include "VXCloudUtils.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

namespace {

QString iniValue(const QString& key)
{
    return VXCloudUtils::getConfigFromIni(VXCloudCommonConfig::iniPath(), key, QVariant())
        .trimmed();
}

// A positive number from the environment variable, else from the INI key, else `fallback`.
// A value that is present but unusable is reported once and ignored.
long numberSetting(const char* envName, const QString& iniKey, long fallback, long minimum,
                   long maximum)
{
    QString text = qEnvironmentVariable(envName).trimmed();
    QString origin = QString::fromLatin1(envName);
    if (text.isEmpty()) {
        text = iniValue(iniKey);
        origin = iniKey;
    }
    if (text.isEmpty())
        return fallback;
    bool ok = false;
    const long value = text.toLong(&ok);
    if (!ok || value < minimum || value > maximum) {
        qCWarning(lcCloudCommon).noquote() << "VXCloudCommonConfig::load: ignoring" << origin
                                           << "=" << text << "(allowed" << minimum << ".."
                                           << maximum << ")";
        return fallback;
    }
    return value;
}

} // namespace

VXCloudCommonConfig VXCloudCommonConfig::load()
{
    VXCloudCommonConfig config;
    config.apiHost = qEnvironmentVariable("VXUPLOAD_API_HOST").trimmed();
    if (config.apiHost.isEmpty())
        config.apiHost = iniValue(QStringLiteral("/HostInformation/apiHost"));
    if (config.apiHost.isEmpty())
        config.apiHost = iniValue(QStringLiteral("/HostInformation/cloudHost"));

    // A set but empty VXUPLOAD_TOKEN switches a configured token off.
    if (qEnvironmentVariableIsSet("VXUPLOAD_TOKEN"))
        config.token = qgetenv("VXUPLOAD_TOKEN").trimmed();
    else
        config.token = iniValue(QStringLiteral("/HostInformation/token")).toUtf8();

    config.caFile = qgetenv("VXUPLOAD_CA_FILE").trimmed();
    if (config.caFile.isEmpty())
        config.caFile = QFile::encodeName(iniValue(QStringLiteral("/Network/caFile")));

    config.connectTimeoutSec =
        numberSetting("VXUPLOAD_CONNECT_TIMEOUT_SEC", QStringLiteral("/Network/connectTimeoutSec"),
                      config.connectTimeoutSec, 1, 3600);
    config.stallTimeoutSec =
        numberSetting("VXUPLOAD_STALL_TIMEOUT_SEC", QStringLiteral("/Network/stallTimeoutSec"),
                      config.stallTimeoutSec, 1, 86400);
    config.retries = int(numberSetting("VXUPLOAD_RETRIES", QStringLiteral("/Network/retries"),
                                       config.retries, 0, 10));
    config.retryDelayMs =
        int(numberSetting("VXUPLOAD_RETRY_DELAY_MS", QStringLiteral("/Network/retryDelayMs"),
                          config.retryDelayMs, 0, 600000));
    config.retryDelayCapMs = qMax(config.retryDelayMs, config.retryDelayCapMs);
    return config;
}

QString VXCloudCommonConfig::iniPath()
{
    const QString name = QStringLiteral("fileUpload.ini");
    const QString appDir = QCoreApplication::applicationDirPath();
    return appDir.isEmpty() ? name : QDir(appDir).filePath(name);
}

QString VXCloudCommonConfig::normalizedHost(const QString& host)
{
    QString base = host.trimmed();
    while (base.endsWith(QLatin1Char('/')))
        base.chop(1);
    if (base.isEmpty())
        return QString();
    if (!base.contains(QLatin1String("://")))
        base.prepend(QLatin1String("https://"));
    return base;
}
