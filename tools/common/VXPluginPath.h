#ifndef VXPLUGINPATH_H
#define VXPLUGINPATH_H

#include <QString>

// Where a host of this project finds the upload plugin, the same for vxupload and vxupload-gui.
namespace VXPluginPath {

// The plugin file to load: `given` when not empty, else $VXUPLOAD_PLUGIN (a folder stands for
// libVXFileUpload.so inside it), else the one next to the program, else the one in the library
// folder of an installed program. Always absolute: the plugin loader looks for a relative name
// in Qt's library paths, not in the working directory where the user meant it.
QString locate(const QString& given = QString());

} // namespace VXPluginPath

#endif // VXPLUGINPATH_H
