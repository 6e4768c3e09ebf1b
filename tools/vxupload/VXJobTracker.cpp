#include "VXJobTracker.h"

#include "VXUploadExitCodes.h"

QString VXJobTracker::jobKey(const QJsonObject& job)
{
    return job.value(QLatin1String("localPath")).toString() + QLatin1Char('|') +
           job.value(QLatin1String("remotePath")).toString() + QLatin1Char('|') +
           job.value(QLatin1String("bucketName")).toString();
}

void VXJobTracker::addJob(const QJsonObject& job)
{
    m_jobList.append(job);
    m_pendingMap.insert(jobKey(job), true);
    ++m_iPendingCount;
}

VXJobTracker::Match VXJobTracker::finishJob(int code, const QJsonObject& report)
{
    const auto it = m_pendingMap.find(jobKey(report));
    if (it == m_pendingMap.end())
        return Match::Unknown;
    if (!it.value())
        return Match::Duplicate;
    it.value() = false;
    --m_iPendingCount;
    if (code == 0)
        ++m_iSucceededCount;
    return Match::Final;
}

QList<QJsonObject> VXJobTracker::pendingJobs() const
{
    QList<QJsonObject> pending;
    for (const QJsonObject& job : m_jobList) {
        if (isPending(jobKey(job)))
            pending.append(job);
    }
    return pending;
}

int VXJobTracker::exitCode() const
{
    return m_iSucceededCount == m_jobList.size() ? VXExit::Success : VXExit::JobFailed;
}
