#include "VXUploadController.h"

#include "VXFormat.h"
#include "VXHostRelay.h"
#include "VXUploadPluginHost.h"
#include "VXUploadQueueModel.h"

#include <QPair>

#include <algorithm>
#include <functional>

VXUploadController::VXUploadController(VXUploadQueueModel* model, VXUploadPluginHost* host,
                                       QObject* parent)
    : QObject(parent), m_pModel(model), m_pHost(host)
{
    m_submitTimer.setSingleShot(true);
    m_submitTimer.setInterval(0);
    connect(&m_submitTimer, &QTimer::timeout, this, &VXUploadController::submitSome);
    connect(host->reports(), &VXHostRelay::sglUploadFinished, this,
            &VXUploadController::slotUploadFinished);
    connect(host->reports(), &VXHostRelay::sglUploadProgress, this,
            &VXUploadController::slotUploadProgress);
}

int VXUploadController::add(const QList<QJsonObject>& jobs)
{
    const QList<int> rows = m_pModel->addJobs(jobs);
    for (int row : rows)
        enqueue(row);
    return rows.size();
}

void VXUploadController::stop(const QList<int>& rows)
{
    // When a job in flight stops, the plugin starts the next job it was handed: the handed
    // rows are stopped in the reverse order of hand-over, the jobs still waiting in the plugin
    // first, so that none of them starts only to be stopped.
    QList<QPair<quint64, int>> handed;
    for (int row : rows) {
        if (m_handedRowMap.contains(row))
            handed.append({m_handedRowMap.value(row), row});
        else
            m_pModel->stop(row);
    }
    std::sort(handed.begin(), handed.end(), std::greater<QPair<quint64, int>>());
    for (const auto& entry : qAsConst(handed)) {
        if (m_pModel->stop(entry.second)) {
            m_handedRowMap.remove(entry.second);
            m_pHost->stop(m_pModel->job(entry.second));
        }
    }
    m_submitTimer.start();
}

void VXUploadController::stopAll()
{
    QList<int> rows = m_handedRowMap.keys();
    rows.append(m_queueList);
    stop(rows);
}

void VXUploadController::retry(const QList<int>& rows)
{
    for (int row : rows) {
        if (m_pModel->retry(row))
            enqueue(row);
    }
}

bool VXUploadController::isBusy() const
{
    return m_pModel->count(VXUploadQueueModel::State::Waiting) > 0 ||
           m_pModel->count(VXUploadQueueModel::State::Uploading) > 0;
}

void VXUploadController::slotUploadFinished(int code, const QJsonObject& fullReport)
{
    // Cleaned on arrival: neither the rows nor the window (status line, banner, copied text)
    // ever hold a failed multipart job's part URLs or completion credential.
    const QJsonObject report = VXFormat::printableReport(code, fullReport);
    if (!m_pModel->applyFinished(code, report))
        return;
    m_handedRowMap.remove(m_pModel->rowOf(report));
    m_submitTimer.start();
    if (code == 0)
        emit sglUploadSucceeded();
    else
        emit sglUploadFailed(code, report);
}

void VXUploadController::slotUploadProgress(const QJsonObject& report, int percent)
{
    m_pModel->applyProgress(report, percent);
}

void VXUploadController::enqueue(int row)
{
    if (!m_queuedRowSet.contains(row)) {
        m_queuedRowSet.insert(row);
        m_queueList.append(row);
    }
    m_submitTimer.start();
}

void VXUploadController::submitSome()
{
    // Rows are handed over from the event loop, never inside add(): adding returns at once,
    // however many files it adds.
    int submitted = 0;
    while (!m_queueList.isEmpty() && m_handedRowMap.size() < kHandedMax &&
           submitted < kSubmitBatch) {
        const int row = m_queueList.takeFirst();
        m_queuedRowSet.remove(row);
        if (m_pModel->state(row) != VXUploadQueueModel::State::Waiting)
            continue; // stopped meanwhile
        m_handedRowMap.insert(row, ++m_iHandedCount);
        ++submitted;
        m_pHost->submit(m_pModel->job(row));
    }
    if (!m_queueList.isEmpty() && m_handedRowMap.size() < kHandedMax)
        m_submitTimer.start();
}
