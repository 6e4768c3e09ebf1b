#ifndef VXSETTINGS_H
#define VXSETTINGS_H

#include "VXCloudUtils.h"
#include "VXSettingKeys.h"

#include <QLoggingCategory>
#include <QString>

// How the plugin and its request component read the settings that VXSettingKeys.h lists.
namespace VXSettings {

// The setting's text: its environment variable when set and not blank, else its INI value;
// trimmed, empty when neither is there. *origin names where it came from.
inline QString text(const VXSetting& setting, QString* origin = nullptr)
{
    if (setting.environment) {
        const QString value = qEnvironmentVariable(setting.environment).trimmed();
        if (!value.isEmpty()) {
            if (origin)
                *origin = QLatin1String(setting.environment);
            return value;
        }
    }
    if (origin)
        *origin = setting.iniKey() + QStringLiteral(" of ") + iniPath();
    return VXCloudUtils::getConfigFromIni(iniPath(), setting.iniKey(), QVariant()).trimmed();
}

// A number setting: from text(), or its default when absent. A value that is present but not a
// whole number within the range gives the default, with one warning in `category`.
inline qint64 number(const VXSetting& setting, const QLoggingCategory& category)
{
    QString origin;
    const QString value = text(setting, &origin);
    if (value.isEmpty())
        return setting.fallback;
    bool ok = false;
    const qint64 parsed = value.toLongLong(&ok, 10);
    if (ok && parsed >= setting.minimum && parsed <= setting.maximum)
        return parsed;
    qCWarning(category).noquote()
        << setting.key << value << "in" << origin << "is not a number from" << setting.minimum
        << "to" << setting.maximum << "; using" << setting.fallback;
    return setting.fallback;
}

// A switch: "true", "on", "yes" or "1" turn it on, "false", "off", "no" or "0" off; absent, its
// default; anything else, its default with one warning in `category`.
inline bool flag(const VXSetting& setting, const QLoggingCategory& category)
{
    QString origin;
    const QString value = text(setting, &origin).toLower();
    if (value.isEmpty())
        return setting.fallback != 0;
    if (value == QLatin1String("true") || value == QLatin1String("on")
        || value == QLatin1String("yes") || value == QLatin1String("1"))
        return true;
    if (value == QLatin1String("false") || value == QLatin1String("off")
        || value == QLatin1String("no") || value == QLatin1String("0"))
        return false;
    qCWarning(category).noquote() << setting.key << value << "in" << origin
                                  << "is neither true nor false; using"
                                  << (setting.fallback ? "true" : "false");
    return setting.fallback != 0;
}

} // namespace VXSettings

#endif // VXSETTINGS_H
