#ifndef VXCLOUDUTILS_H
#define VXCLOUDUTILS_H

#include <QObject>
#include <QString>
#include <QVariant>

#if defined(VXCLOUDUTILS_LIBRARY)
#define VXCLOUDUTILS_EXPORT Q_DECL_EXPORT
#else
#define VXCLOUDUTILS_EXPORT Q_DECL_IMPORT
#endif

// Static helpers shared by the plugins of the product.
class VXCLOUDUTILS_EXPORT VXCloudUtils
{
public:
    // Loads the sibling plugin library `name` (for example "VXFileUploadBySdk", file
    // libVXFileUploadBySdk.so) with QPluginLoader and returns its root object, or null when it
    // cannot be found or loaded. Search order: the folders of the environment variable
    // VXUPLOAD_PLUGIN_PATH (a ':'-separated list), the application directory, its plugins/
    // folder, then the folder that holds libVXCloudUtils itself. The loader is never unloaded.
    static QObject* loadLib(QString name);

    // Reads one value of an INI file. `key` names group and key as "/Group/key". Returns the
    // value as text, or `defaultValue` as text when the file or the key is missing.
    static QString getConfigFromIni(const QString& iniPath, const QString& key,
                                    const QVariant& defaultValue);
};

#endif // VXCLOUDUTILS_H
