#ifndef VXUPLOADCONTROLLER_H
#define VXUPLOADCONTROLLER_H

#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QSet>
#include <QTimer>

class VXUploadPluginHost;
class VXUploadQueueModel;

// Hands the queue's waiting rows to the plugin and the plugin's reports back to the rows.
// The window's queue may hold ten thousand files; the plugin is handed at most kHandedMax of
// them at a time (more than it ever uploads at once), the next one as soon as one ends, and at
// most kSubmitBatch per turn of the event loop. So adding many files never stalls the window,
// and stopping them all costs a few calls into the plugin, not one per file.
class VXUploadController : public QObject
{
    Q_OBJECT

public:
    static constexpr int kHandedMax = 32;
    static constexpr int kSubmitBatch = 256;

    // Neither is owned; both must outlive the controller.
    VXUploadController(VXUploadQueueModel* model, VXUploadPluginHost* host,
                       QObject* parent = nullptr);

    // Adds a row per new job and queues it; returns how many were new (a job already in the
    // queue, known by localPath, remotePath and bucketName, is not added again).
    int add(const QList<QJsonObject>& jobs);
    // Waiting or uploading rows become stopped; the plugin is told for the rows it was handed.
    void stop(const QList<int>& rows);
    void stopAll();
    // Failed or stopped rows wait again, at the end of the queue.
    void retry(const QList<int>& rows);
    bool isBusy() const; // a row waits or uploads

signals:
    // A row's job ended: the final report as VXFormat::printableReport leaves it.
    void sglUploadFailed(int code, const QJsonObject& report);
    void sglUploadSucceeded();

private:
    void slotUploadFinished(int code, const QJsonObject& report);
    void slotUploadProgress(const QJsonObject& report, int percent);
    void enqueue(int row);
    void submitSome();

    VXUploadQueueModel* m_pModel;
    VXUploadPluginHost* m_pHost;
    QList<int> m_queueList; // rows to hand over, in order; stopped ones are skipped
    QSet<int> m_queuedRowSet;
    QHash<int, quint64> m_handedRowMap; // handed to the plugin, not ended yet -> hand-over no.
    quint64 m_iHandedCount = 0;
    QTimer m_submitTimer;
};

#endif // VXUPLOADCONTROLLER_H
