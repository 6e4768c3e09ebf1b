#ifndef PLAINPLUGIN_H
#define PLAINPLUGIN_H

#include <QObject>

// A loadable plugin named like the SDK uploader whose root object implements no interface:
// the upload plugin must run as if the SDK uploader were absent.
class PlainPlugin : public QObject
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "TransferDepot.Plain.Plugin")
};

#endif // PLAINPLUGIN_H
