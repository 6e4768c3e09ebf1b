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
    m_entryMap.insert(jobKey(job), {int(m_jobList.size()), true, 0});
    m_jobList.append(job);
    ++m_iPendingCount;
}

QJsonObject VXJobTracker::job(const QString& key) const
{
    const int index = m_entryMap.value(key).index;
    return index < 0 ? QJsonObject() : m_jobList.at(index);
}

void VXJobTracker::addRetry(const QString& key)
{
    const auto it = m_entryMap.find(key);
    if (it != m_entryMap.end())
        ++it->retries;
}

VXJobTracker::Match VXJobTracker::finishJob(int code, const QJsonObject& report)
{
    const auto it = m_entryMap.find(jobKey(report));
    if (it == m_entryMap.end())
        return Match::Unknown;
    if (!it->pending)
        return Match::Duplicate;
    it->pending = false;
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
