#include "VXCloudCommonConfig.h"

#include "VXCloudCommonLog.h"
#include "VXSettings.h"

#include <QFile>

VXCloudCommonConfig VXCloudCommonConfig::load()
{
    VXCloudCommonConfig config;
    config.apiHost = VXSettings::text(VXSettings::ApiHost);
    if (config.apiHost.isEmpty())
        config.apiHost = VXSettings::text(VXSettings::CloudHost);

    // A set but empty VXUPLOAD_TOKEN switches a configured token off.
    if (qEnvironmentVariableIsSet(VXSettings::Token.environment))
        config.token = qgetenv(VXSettings::Token.environment).trimmed();
    else
        config.token = VXSettings::text(VXSettings::Token).toUtf8();

    config.caFile = QFile::encodeName(VXSettings::text(VXSettings::CaFile));
    config.connectTimeoutSec = VXSettings::number(VXSettings::ConnectTimeoutSec, lcCloudCommon());
    config.stallTimeoutSec = VXSettings::number(VXSettings::StallTimeoutSec, lcCloudCommon());
    config.retries = int(VXSettings::number(VXSettings::Retries, lcCloudCommon()));
    config.retryDelayMs = int(VXSettings::number(VXSettings::RetryDelayMs, lcCloudCommon()));
    config.retryDelayCapMs = qMax(config.retryDelayMs, config.retryDelayCapMs);
    config.verifyIntegrity = VXSettings::flag(VXSettings::VerifyIntegrity, lcCloudCommon());
    return config;
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
