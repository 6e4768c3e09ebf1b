#ifndef E2EHOST_H
#define E2EHOST_H

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QVector>

class IVXFileUpload;

// A host object as an application hands it to initUploadManager: it declares the two signals
// the plugin relays its reports into, and records every report in the order it arrived. Jobs are
// told apart by their "remotePath", which every report carries.
class E2EHost : public QObject
{
    Q_OBJECT

public:
    struct Report
    {
        bool isFinal = false;
        QString remotePath;
        int value = 0; // result code of a final report, percent of a progress report
        QJsonObject job;
    };

    explicit E2EHost(QObject* parent = nullptr);

    const QVector<Report>& reports() const;
    // The final report of the job, or null while none has come.
    const Report* finalReport(const QString& remotePath) const;
    int finalCount() const;
    QVector<int> progressOf(const QString& remotePath) const;
    // Index in reports() of the job's first report of either kind, -1 when none came.
    int firstReportIndex(const QString& remotePath) const;

    // Makes the host stop the job with this remote path (stopUploadFileByPost with the reported
    // job) from inside the relay of its first progress report, as an application's cancel button
    // would while the job's PUT is surely under way. The plugin must outlive the host's use.
    void stopOnFirstProgress(IVXFileUpload* plugin, const QString& remotePath);
    bool hasStopped() const;

signals:
    void sglUploadFinished(int res, const QJsonObject& jsonInfo);
    void sglUploadProgress(const QJsonObject& jsonInfo, int progress);

private slots:
    void slotRecordFinished(int res, const QJsonObject& jsonInfo);
    void slotRecordProgress(const QJsonObject& jsonInfo, int progress);

private:
    QVector<Report> m_reportList;
    IVXFileUpload* m_pStopPlugin = nullptr;
    QString m_stopRemotePath;
    bool m_stopped = false;
};

#endif // E2EHOST_H
