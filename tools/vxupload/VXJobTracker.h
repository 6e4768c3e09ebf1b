#ifndef VXJOBTRACKER_H
#define VXJOBTRACKER_H

#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QString>

// Bookkeeping of one run: which submitted jobs still wait for their final report, which
// succeeded and which failed, and the exit status that follows. The plugin sends exactly one
// final report per accepted submission; a report is matched to its job by the job key formed
// from the reported JSON (localPath|remotePath|bucketName). A key submitted n times expects n
// reports. No I/O, no Qt event loop: the session feeds it.
class VXJobTracker
{
public:
    enum class Match {
        Final,     // the report closes one submission of a known job
        Duplicate, // the key is known, but every submission of it has already been reported
        Unknown    // no job with this key was submitted
    };

    // localPath|remotePath|bucketName of a job or report, joined as the plugin joins them.
    static QString jobKey(const QJsonObject& job);

    // Registers one submission of the job. Call it before handing the job to the plugin: the
    // plugin may report a job inside the submission call.
    void addJob(const QJsonObject& job);
    Match finishJob(int code, const QJsonObject& report);
    // Whether a progress report belongs to a job that still waits for its final report.
    bool isPending(const QString& key) const { return m_pendingCountMap.value(key) > 0; }

    int submittedCount() const { return m_iSubmittedCount; }
    int succeededCount() const { return m_iSucceededCount; }
    int failedCount() const { return m_iFailedCount; }
    int pendingCount() const { return m_iSubmittedCount - m_iSucceededCount - m_iFailedCount; }
    bool isDone() const { return pendingCount() == 0; }
    // One entry per submission that has not been reported yet, in submission order.
    QList<QJsonObject> pendingJobs() const;
    // VXExit::Success when every job has succeeded, VXExit::JobFailed otherwise (a failure or
    // a job still pending).
    int exitCode() const;

private:
    QList<QJsonObject> m_jobList;          // every submission, in order
    QHash<QString, int> m_pendingCountMap; // job key -> submissions not yet reported
    int m_iSubmittedCount = 0;
    int m_iSucceededCount = 0;
    int m_iFailedCount = 0;
};

#endif // VXJOBTRACKER_H
