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
    ++m_pendingCountMap[jobKey(job)];
    ++m_iSubmittedCount;
}

VXJobTracker::Match VXJobTracker::finishJob(int code, const QJsonObject& report)
{
    const auto it = m_pendingCountMap.find(jobKey(report));
    if (it == m_pendingCountMap.end())
        return Match::Unknown;
    if (it.value() == 0)
        return Match::Duplicate;
    --it.value();
    if (code == 0)
        ++m_iSucceededCount;
    else
        ++m_iFailedCount;
    return Match::Final;
}

QList<QJsonObject> VXJobTracker::pendingJobs() const
{
    // The last submissions of a key are the ones still pending: reports cannot say which
    // submission they close, and the plugin finishes a key's submissions in order.
    QHash<QString, int> toSkip;
    for (const QJsonObject& job : m_jobList)
        ++toSkip[jobKey(job)];
    for (auto it = toSkip.begin(); it != toSkip.end(); ++it)
        it.value() -= m_pendingCountMap.value(it.key());
    QList<QJsonObject> pending;
    for (const QJsonObject& job : m_jobList) {
        int& skip = toSkip[jobKey(job)];
        if (skip > 0)
            --skip;
        else
            pending.append(job);
    }
    return pending;
}

int VXJobTracker::exitCode() const
{
    return m_iSucceededCount == m_iSubmittedCount ? VXExit::Success : VXExit::JobFailed;
}
