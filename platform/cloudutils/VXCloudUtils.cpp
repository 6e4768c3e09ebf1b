#include "VXCloudUtils.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QPluginLoader>
#include <QSettings>
#include <QStringList>

#include <dlfcn.h>

Q_LOGGING_CATEGORY(lcCloudUtils, "vx.cloudutils", QtWarningMsg)

namespace {

// The folder that holds this library: siblings installed next to it are found even when the
// host application lives elsewhere.
QString ownFolder()
{
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&ownFolder), &info) == 0 || !info.dli_fname)
        return QString();
    return QFileInfo(QString::fromLocal8Bit(info.dli_fname)).absolutePath();
}

QStringList searchFolders()
{
    QStringList folders;
    const QString envPath = qEnvironmentVariable("VXUPLOAD_PLUGIN_PATH");
    for (const QString& folder : envPath.split(QLatin1Char(':'), Qt::SkipEmptyParts))
        folders.append(folder);
    const QString appDir = QCoreApplication::applicationDirPath();
    if (!appDir.isEmpty()) {
        folders.append(appDir);
        folders.append(appDir + QStringLiteral("/plugins"));
    }
    const QString own = ownFolder();
    if (!own.isEmpty())
        folders.append(own);
    folders.removeDuplicates();
    return folders;
}

} // namespace

QObject* VXCloudUtils::loadLib(QString name)
{
    if (name.isEmpty())
        return nullptr;
    const QString fileName = QStringLiteral("lib%1.so").arg(name);
    for (const QString& folder : searchFolders()) {
        const QString path = QDir(folder).filePath(fileName);
        if (!QFileInfo::exists(path))
            continue;
        // The loader is not unloaded: the plugin's root object must outlive this call.
        QPluginLoader loader(path);
        if (QObject* root = loader.instance())
            return root;
        qCWarning(lcCloudUtils).noquote()
            << "VXCloudUtils::loadLib: cannot load" << path << ":" << loader.errorString();
    }
    qCDebug(lcCloudUtils) << "VXCloudUtils::loadLib: no loadable" << fileName << "found";
    return nullptr;
}

QString VXCloudUtils::getConfigFromIni(const QString& iniPath, const QString& key,
                                       const QVariant& defaultValue)
{
    const QSettings settings(iniPath, QSettings::IniFormat);
    const QVariant value = settings.value(key, defaultValue);
    // An INI value holding commas reads back as a list; the caller wants the text as written.
    if (value.userType() == QMetaType::QStringList)
        return value.toStringList().join(QLatin1Char(','));
    return value.toString();
}
