// vxupload-gui: a desktop window that uploads files through the upload plugin, the way a Qt
// Widgets application hosts it. The rows left unfinished by the last session come back as
// stopped rows (VXQueueFile); files named on the command line join the queue at start.
#include "VXMainWindow.h"
#include "VXQueueFile.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("vxupload-gui"));
    VXMainWindow window;
    window.restoreQueue(VXQueueFile::defaultPath());
    window.show();
    const QStringList files = QApplication::arguments().mid(1);
    if (!files.isEmpty())
        window.addPaths(files);
    return app.exec();
}
