#ifndef VXUPLOADSESSION_H
#define VXUPLOADSESSION_H

#include "VXJobTracker.h"
#include "VXReportWriter.h"
#include "VXRetryPolicy.h"

#include <QFile>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPluginLoader>
#include <QTimer>

#include <memory>
#include <vector>

class IVXFileUpload;
class VXCommandLine;
class VXHostRelay;

// One run of vxupload: loads the upload plugin, hands it a VXHostRelay as host object, submits
// the jobs one uploadFileByPost call each, matches the final reports to the jobs, tells its
// report writers, and says when the run is over. SIGINT and SIGTERM stop every unfinished job.
// A job that fails for a transient reason is submitted again after a pause, as the retry
// policy allows (--resubmit); its writers see only the final outcome, standard error one line
// per retry. Everything happens on the event loop's thread; reports may arrive inside start()
// (the plugin reports a missing local file during submission).
class VXUploadSession : public QObject
{
    Q_OBJECT

public:
    explicit VXUploadSession(QObject* parent = nullptr);
    // Destroys the plugin's root object, and with it every transfer still running.
    ~VXUploadSession() override;

    // Sets the run up as the command line asks: loads the plugin (its root object must
    // implement IVXFileUpload), opens the --report file, chooses what out (standard output)
    // shows (the live view on a terminal, plain lines or JSON lines), and sends diagnostics,
    // Qt's log messages among them (the plugin's too), to err. Both devices are borrowed.
    // False with the reason of a usage error otherwise.
    bool prepare(const VXCommandLine& commandLine, QFile* out, QIODevice* err, QString* error);
    // Initialises the plugin's upload manager and submits every job, in order. timeoutMs > 0
    // arms the overall guard; a job that fails for a transient reason is submitted again up to
    // resubmitCount times (VXRetryPolicy). Call once, after a successful prepare.
    void start(const QList<QJsonObject>& jobList, int timeoutMs = 0, int resubmitCount = 0);

signals:
    // Fires exactly once: when every job has its final report, or after a stop. It may fire
    // inside start(); connect it with a queued connection to leave the event loop.
    void sglFinished(int exitCode);

public slots:
    // Stops every unfinished job through the plugin (stopUploadFileByPost per job: the
    // plugin has no stop-all call that reaches only the jobs submitted ByPost; a job pausing
    // before a retry is not submitted again), then finishes the run with exitCode. Does
    // nothing once the run is over.
    void slotStop(int exitCode);

private:
    static void routeMessage(QtMsgType type, const QMessageLogContext& context,
                             const QString& message);
    void writeDiagnostic(const QByteArray& text); // signed URLs redacted (printableText)
    void notice(const QString& text); // "vxupload: " + text
    void slotUploadFinished(int code, const QJsonObject& report);
    void slotUploadProgress(const QJsonObject& report, int percent);
    // Whether the failure of a job is followed by another submission of it, which is then
    // announced and scheduled.
    bool retryLater(int code, const QJsonObject& report, const QString& key);
    void slotTimeout();
    void finish(int exitCode);

    // Qt's message handler is a plain function: it reaches the session that installed it here.
    static VXUploadSession* s_pMessageSession;
    QtMessageHandler m_previousMessageHandler = nullptr;
    QPluginLoader m_loader;
    QObject* m_pPluginRoot = nullptr;
    IVXFileUpload* m_pFileUpload = nullptr;
    VXHostRelay* m_pHostRelay = nullptr;
    VXJobTracker m_tracker;
    VXRetryPolicy m_retryPolicy;
    QTimer m_timeoutTimer;
    QIODevice* m_pErr = nullptr; // null until prepare(): diagnostics are dropped
    QFile m_reportFile;
    std::vector<std::unique_ptr<VXReportWriter>> m_writerList; // standard output's first
    bool m_bSubmitting = false;
    bool m_bFinished = false;
};

#endif // VXUPLOADSESSION_H
