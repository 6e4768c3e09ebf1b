#include "VXUploadSession.h"

#include "IVXFileUpload.h"
#include "VXHostRelay.h"
#include "VXResultCodes.h"
#include "VXUploadExitCodes.h"

#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcUploadSession, "vx.vxupload.session", QtWarningMsg)

VXUploadSession::VXUploadSession(QObject* parent) : QObject(parent)
{
    m_timeoutTimer.setSingleShot(true);
    connect(&m_timeoutTimer, &QTimer::timeout, this, &VXUploadSession::slotTimeout);
}

VXUploadSession::~VXUploadSession()
{
    // The plugin keeps sockets and timers of this thread; they must go while the application
    // object still exists, not in the loader's clean-up at process exit.
    delete m_pPluginRoot;
}

bool VXUploadSession::loadPlugin(const QString& path, QString* error)
{
    m_loader.setFileName(path);
    QObject* root = m_loader.instance();
    if (!root) {
        *error = m_loader.errorString();
        return false;
    }
    m_pFileUpload = qobject_cast<IVXFileUpload*>(root);
    if (!m_pFileUpload) {
        *error = QStringLiteral("its root object (%1) does not implement IVXFileUpload (%2)")
                     .arg(QString::fromLatin1(root->metaObject()->className()),
                          QLatin1String(IVXFileUpload_iid));
        return false;
    }
    m_pPluginRoot = root;
    return true;
}

void VXUploadSession::start(const QList<QJsonObject>& jobList, int timeoutMs)
{
    Q_ASSERT(m_pFileUpload);
    m_pHostRelay = new VXHostRelay(this);
    connect(m_pHostRelay, &VXHostRelay::sglUploadFinished, this,
            &VXUploadSession::slotUploadFinished);
    connect(m_pHostRelay, &VXHostRelay::sglUploadProgress, this,
            &VXUploadSession::slotUploadProgress);
    m_pFileUpload->initUploadManager(m_pHostRelay);

    // Every job is known before the first submission: a report that arrives inside a
    // submission call must neither look unknown nor end the run early.
    for (const QJsonObject& job : jobList) {
        m_tracker.addJob(job);
        emit sglJobSubmitted(job);
    }
    if (timeoutMs > 0)
        m_timeoutTimer.start(timeoutMs);
    m_bSubmitting = true;
    for (const QJsonObject& job : jobList) {
        if (m_bFinished) // stopped from within a report
            break;
        m_pFileUpload->uploadFileByPost(job);
    }
    m_bSubmitting = false;
    if (!m_bFinished && m_tracker.isDone())
        finish(m_tracker.exitCode());
}

void VXUploadSession::slotStop(int exitCode)
{
    if (m_bFinished)
        return;
    if (m_pFileUpload) {
        for (const QJsonObject& job : m_tracker.pendingJobs())
            m_pFileUpload->stopUploadFileByPost(job);
    }
    finish(exitCode);
}

void VXUploadSession::slotUploadFinished(int code, const QJsonObject& report)
{
    if (m_bFinished)
        return;
    const QString key = VXJobTracker::jobKey(report);
    switch (m_tracker.finishJob(code, report)) {
    case VXJobTracker::Match::Final:
        emit sglJobFinished(code, report, key);
        break;
    case VXJobTracker::Match::Duplicate:
        emit sglNotice(QStringLiteral("warning: a further report for '%1' (%2) was ignored")
                           .arg(key, VXResult::text(code)));
        return;
    case VXJobTracker::Match::Unknown:
        emit sglNotice(QStringLiteral("warning: a report for the unknown job '%1' (%2) was "
                                      "ignored")
                           .arg(key, VXResult::text(code)));
        return;
    }
    // While submitting, start() decides: the remaining jobs still have to be handed over.
    if (!m_bSubmitting && m_tracker.isDone())
        finish(m_tracker.exitCode());
}

void VXUploadSession::slotUploadProgress(const QJsonObject& report, int percent)
{
    const QString key = VXJobTracker::jobKey(report);
    if (m_bFinished || !m_tracker.isPending(key)) {
        qCDebug(lcUploadSession) << "progress of a job not waited for:" << key << percent;
        return;
    }
    emit sglJobProgress(key, percent);
}

void VXUploadSession::slotTimeout()
{
    if (m_bFinished)
        return;
    emit sglNotice(QStringLiteral("time-out: %1 of %2 jobs unfinished after %3 s; stopping them")
                       .arg(m_tracker.pendingCount())
                       .arg(m_tracker.submittedCount())
                       .arg(m_timeoutTimer.interval() / 1000.0));
    slotStop(VXExit::JobFailed);
}

void VXUploadSession::finish(int exitCode)
{
    m_bFinished = true;
    m_timeoutTimer.stop();
    emit sglFinished(exitCode);
}
