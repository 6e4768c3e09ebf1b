// vxupload-gui: a desktop window that uploads files through the upload plugin, the way a Qt
// Widgets application hosts it. Files named on the command line join the queue at start.
#include "VXMainWindow.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("vxupload-gui"));
    VXMainWindow window;
    window.show();
    const QStringList files = QApplication::arguments().mid(1);
    if (!files.isEmpty())
        window.addPaths(files);
    return app.exec();
}
