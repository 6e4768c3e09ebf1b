#include "E2EHost.h"

#include "IVXFileUpload.h"

#include <algorithm>

namespace {

QString remotePathOf(const QJsonObject& job)
{
    return job.value(QStringLiteral("remotePath")).toString();
}

} // namespace

E2EHost::E2EHost(QObject* parent) : QObject(parent)
{
    // The plugin emits the host's signals; the host listens to itself.
    connect(this, &E2EHost::sglUploadFinished, this, &E2EHost::slotRecordFinished);
    connect(this, &E2EHost::sglUploadProgress, this, &E2EHost::slotRecordProgress);
}

const QVector<E2EHost::Report>& E2EHost::reports() const
{
    return m_reportList;
}

const E2EHost::Report* E2EHost::finalReport(const QString& remotePath) const
{
    for (const Report& report : m_reportList) {
        if (report.isFinal && report.remotePath == remotePath)
            return &report;
    }
    return nullptr;
}

int E2EHost::finalCount() const
{
    return int(std::count_if(m_reportList.cbegin(), m_reportList.cend(),
                             [](const Report& report) { return report.isFinal; }));
}

QVector<int> E2EHost::progressOf(const QString& remotePath) const
{
    QVector<int> percents;
    for (const Report& report : m_reportList) {
        if (!report.isFinal && report.remotePath == remotePath)
            percents.append(report.value);
    }
    return percents;
}

int E2EHost::firstReportIndex(const QString& remotePath) const
{
    for (int i = 0; i < m_reportList.size(); ++i) {
        if (m_reportList.at(i).remotePath == remotePath)
            return i;
    }
    return -1;
}

void E2EHost::stopOnFirstProgress(IVXFileUpload* plugin, const QString& remotePath)
{
    m_pStopPlugin = plugin;
    m_stopRemotePath = remotePath;
    m_stopped = false;
}

bool E2EHost::hasStopped() const
{
    return m_stopped;
}

void E2EHost::slotRecordFinished(int res, const QJsonObject& jsonInfo)
{
    m_reportList.append({true, remotePathOf(jsonInfo), res, jsonInfo});
}

void E2EHost::slotRecordProgress(const QJsonObject& jsonInfo, int progress)
{
    const QString remotePath = remotePathOf(jsonInfo);
    m_reportList.append({false, remotePath, progress, jsonInfo});
    if (m_pStopPlugin && !m_stopped && remotePath == m_stopRemotePath) {
        m_stopped = true;
        m_pStopPlugin->stopUploadFileByPost(jsonInfo);
    }
}
