#ifndef VXUPLOADSESSION_H
#define VXUPLOADSESSION_H

#include "VXJobTracker.h"

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPluginLoader>
#include <QTimer>

class IVXFileUpload;
class VXHostRelay;

// One run of vxupload: loads the upload plugin, hands it a VXHostRelay as host object, submits
// the jobs one uploadFileByPost call each, matches the final reports to the jobs, and says when
// the run is over. Everything happens on the event loop's thread; reports may arrive inside
// start() (the plugin reports a missing local file during submission).
class VXUploadSession : public QObject
{
    Q_OBJECT

public:
    explicit VXUploadSession(QObject* parent = nullptr);
    // Destroys the plugin's root object, and with it every transfer still running.
    ~VXUploadSession() override;

    // Loads the plugin file and casts its root object to IVXFileUpload. False with a reason
    // (the loader's errorString() when loading fails) otherwise.
    bool loadPlugin(const QString& path, QString* error);
    // Initialises the plugin's upload manager and submits every job, in order. timeoutMs > 0
    // arms the overall guard. Call once, after a successful loadPlugin.
    void start(const QList<QJsonObject>& jobList, int timeoutMs = 0);
    const VXJobTracker& tracker() const { return m_tracker; }

signals:
    void sglJobSubmitted(const QJsonObject& job);
    void sglJobProgress(const QString& key, int percent);
    // The final report of a submitted job: the code and the JSON as the plugin sent them.
    void sglJobFinished(int code, const QJsonObject& report, const QString& key);
    void sglNotice(const QString& text);
    // Fires exactly once: when every job has its final report, or after a stop. It may fire
    // inside start(); connect it with a queued connection to leave the event loop.
    void sglFinished(int exitCode);

public slots:
    // Stops every unfinished job through the plugin (stopUploadFileByPost per job: the
    // plugin has no stop-all call that reaches only the jobs submitted ByPost), then finishes
    // the run with exitCode. Does nothing once the run is over.
    void slotStop(int exitCode);

private:
    void slotUploadFinished(int code, const QJsonObject& report);
    void slotUploadProgress(const QJsonObject& report, int percent);
    void slotTimeout();
    void finish(int exitCode);

    QPluginLoader m_loader;
    QObject* m_pPluginRoot = nullptr;
    IVXFileUpload* m_pFileUpload = nullptr;
    VXHostRelay* m_pHostRelay = nullptr;
    VXJobTracker m_tracker;
    QTimer m_timeoutTimer;
    bool m_bSubmitting = false;
    bool m_bFinished = false;
};

#endif // VXUPLOADSESSION_H
