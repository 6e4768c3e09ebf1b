#ifndef VXJOBTRACKER_H
#define VXJOBTRACKER_H

#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QString>

// Bookkeeping of one run: which jobs still wait for their final report, how many succeeded, and
// the exit status that follows. The plugin sends exactly one final report per job; a report is
// matched to its job by the job key formed from the reported JSON
// (localPath|remotePath|bucketName), which is unique per run: the command line refuses a job
// that repeats one. No I/O, no Qt event loop: the session feeds it.
class VXJobTracker
{
public:
    enum class Match {
        Final,     // the report closes a job that was waiting
        Duplicate, // the job has already been reported
        Unknown    // no job with this key was submitted
    };

    // localPath|remotePath|bucketName of a job or report, joined as the plugin joins them.
    static QString jobKey(const QJsonObject& job);

    // Registers a job. Call it before handing the job to the plugin: the plugin may report a
    // job inside the submission call.
    void addJob(const QJsonObject& job);
    Match finishJob(int code, const QJsonObject& report);
    // Whether a progress report belongs to a job that still waits for its final report.
    bool isPending(const QString& key) const { return m_entryMap.value(key).pending; }
    // The job with this key as it was submitted (empty when unknown).
    QJsonObject job(const QString& key) const;
    // Submissions again of a job after failures that were not its final report (--resubmit).
    int retryCount(const QString& key) const { return m_entryMap.value(key).retries; }
    void addRetry(const QString& key);

    int submittedCount() const { return m_jobList.size(); }
    int pendingCount() const { return m_iPendingCount; }
    bool isDone() const { return m_iPendingCount == 0; }
    // The jobs not reported yet, in submission order.
    QList<QJsonObject> pendingJobs() const;
    // VXExit::Success when every job has succeeded, VXExit::JobFailed otherwise (a failure or
    // a job still pending).
    int exitCode() const;

private:
    struct Entry
    {
        int index = -1;       // in m_jobList
        bool pending = false; // no final report yet
        int retries = 0;
    };

    QList<QJsonObject> m_jobList;     // submission order
    QHash<QString, Entry> m_entryMap; // job key -> its entry
    int m_iPendingCount = 0;
    int m_iSucceededCount = 0;
};

#endif // VXJOBTRACKER_H
