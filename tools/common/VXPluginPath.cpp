#include "VXPluginPath.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

QString VXPluginPath::locate(const QString& given)
{
    const QString pluginFile = QStringLiteral("libVXFileUpload.so");
    auto resolve = [&pluginFile](const QString& path) {
        const QFileInfo info(path);
        return info.isDir() ? QDir(info.absoluteFilePath()).filePath(pluginFile)
                            : info.absoluteFilePath();
    };
    const QString environment = qEnvironmentVariable("VXUPLOAD_PLUGIN");
    if (!given.isEmpty() || !environment.isEmpty())
        return resolve(given.isEmpty() ? environment : given);
    // Next to the program, else in the library folder of an installed one; when neither holds
    // the file, the loader's error names the first.
    const QDir here(QCoreApplication::applicationDirPath());
    const QString nextTo = here.filePath(pluginFile);
    const QString installed =
        QDir(here.filePath(QStringLiteral(VXUPLOAD_INSTALLED_PLUGIN_DIR))).filePath(pluginFile);
    return QFileInfo::exists(nextTo) || !QFileInfo::exists(installed) ? nextTo : installed;
}
