#ifndef VXHOSTRELAY_H
#define VXHOSTRELAY_H

#include <QJsonObject>
#include <QObject>

// The host object handed to IVXFileUpload::initUploadManager. The plugin connects its own
// signals to these two by signature text and re-emits its reports through them; the hosts
// (vxupload's session, vxupload-gui's plugin host) listen to them by pointer to member. The
// signals fire on the event loop's thread, possibly inside a call into the plugin (a missing
// local file is reported during submission).
class VXHostRelay : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

signals:
    void sglUploadFinished(int res, QJsonObject jsonInfo);
    void sglUploadProgress(QJsonObject jsonInfo, int progress);
};

#endif // VXHOSTRELAY_H
