#ifndef VXUPLOADPLUGINHOST_H
#define VXUPLOADPLUGINHOST_H

#include <QJsonObject>
#include <QObject>
#include <QPluginLoader>
#include <QString>

class IVXFileUpload;
class VXHostRelay;

// How an application uses the upload plugin, all in this class:
//  1. load libVXFileUpload.so with QPluginLoader and cast its root object to IVXFileUpload;
//  2. call initUploadManager once with a host object that declares the two report signals
//     (VXHostRelay) and connect to that object: one sglUploadFinished per job (0 = success,
//     with "downloadUrl"), sglUploadProgress with a percent while it uploads;
//  3. submit jobs with uploadFileByPost, stop one with stopUploadFileByPost.
// The plugin runs on this thread and needs the Qt event loop; a report may arrive inside
// submit() (a missing local file is reported at once). After a stop nothing is reported for
// that job.
class VXUploadPluginHost : public QObject
{
    Q_OBJECT

public:
    explicit VXUploadPluginHost(QObject* parent = nullptr);
    // Deletes the plugin's root object, and with it every transfer still running: the plugin
    // owns sockets and timers of this thread, which must go before the application object.
    ~VXUploadPluginHost() override;

    // Loads the plugin at `path` and initialises its upload manager; false with errorString()
    // when the file is missing, is no Qt plugin, or its root object is not the upload plugin.
    bool load(const QString& path);
    bool isLoaded() const { return m_pUpload != nullptr; }
    QString errorString() const { return m_errorString; }
    // The host object: connect to its sglUploadFinished and sglUploadProgress.
    const VXHostRelay* reports() const { return m_pRelay; }

    // The plugin reads fileUpload.ini once, when its upload manager is made: a fresh root
    // object takes new settings. Every job the old one had is dropped without a report. Not to
    // be called from inside a report.
    void restart();
    // A job: non-empty "localPath", "remotePath" and "bucketName"; "bc_bcode" lets a large file
    // go up in parts; every other key travels with the job to the server and back.
    void submit(const QJsonObject& job);
    void stop(const QJsonObject& job);

private:
    bool start();

    QPluginLoader m_loader;
    QObject* m_pRoot = nullptr;
    IVXFileUpload* m_pUpload = nullptr;
    VXHostRelay* m_pRelay = nullptr;
    QString m_errorString;
};

#endif // VXUPLOADPLUGINHOST_H
