#ifndef VXUPLOADBYPUTMANAGER_H
#define VXUPLOADBYPUTMANAGER_H

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QVariant>
#include <QVector>

class IVXCloudCommon;
class VXCloudCommon;
class VXUploadFileSliceByPut;
struct VXUploadJob;

// Runs every upload of the PUT family: files jobs under their job key
// ("localPath|remotePath|bucketName"), keeps at most m_iMaxUploadCount of them in flight, asks
// the cloud server for upload URLs and multipart uploads, has single files PUT by its request
// component and large files by slice uploaders, and reports to the host through its two signals.
// Lives on the host's thread; the host's handlers of its signals may call back into it.
// Every final report, success or failure, closes its job before it is emitted: the job is gone
// from the manager, its place free, and the next waiting job is dispatched after the emission.
// A stop means stopped: the job is forgotten without a report, and nothing that its requests
// bring back later (an answer, a failure) reports or starts anything, nor acts on a later
// submission of the same key. It gives back a place only for a job in flight. A key submitted
// again while it waits replaces the waiting job; submitted again while it is in flight, it is
// uploaded again once that transfer ends, with its own report. Only plain files are uploaded,
// and a file that changes while it is PUT (whole or in parts) fails with VXResult::FileChanged.
class VXUploadByPutManager : public QObject
{
    Q_OBJECT

public:
    explicit VXUploadByPutManager(QObject* parent);
    ~VXUploadByPutManager() override;

    void addUploadJob(const QJsonObject& jsonInfo);
    void addUploadJobList(const QVector<QVariant>& jobList);
    void addUploadJobList(const QJsonArray& jobArray);
    void stopUploadJob(const QJsonObject& jsonInfo);
    void stopUploadJob(const QString& localPath, const QString& remotePath,
                       const QString& bucketName);
    void stopAllUploadJobs();
    void stopUploadJobList();

signals:
    // One final report per job: 0 on success, -1 for a failure the manager found itself, any
    // other value a code of the request component or slice uploader (VXResultCodes.h).
    void sglUploadFinished(int res, const QJsonObject& jsonInfo);
    void sglUploadProgress(const QJsonObject&, int);

public slots:
    void slotHttpRequestFinishWithInfo(const QMap<QString, QString>& params, const QString& api,
                                       const QJsonObject& jsonObj, const QString& requestUrl);
    void slotHttpRequestErrorWithInfo(const QMap<QString, QString>& params, const QString& api,
                                      int code, const QString& msg);
    void slotUploadFinished(const QJsonObject& jsonInfo, int res);
    void slotUploadProgress(const QJsonObject& jsonInfo, int progress);
    void slotSliceUploadFinished(const QJsonObject& jsonInfo, int res);

private slots:
    // A slice uploader's part is stored: its resume record remembers it.
    void slotSlicePartStored(const QJsonObject& jsonInfo, int partNumber, const QString& etag);
    // A slice uploader's part URLs run out: fresh ones are asked for with a resume request.
    void slotSlicePartUrlsNeeded(const QJsonObject& jsonInfo);

private:
    void readConfig();
    // Reports the job that the request parameters name as failed with `res`.
    void reportJobFailure(const QMap<QString, QString>& params, int res = -1);
    void uploadNextFile();
    QString getRemoteDirPath(const QString& fileName, const QString& remotePath);
    IVXCloudCommon* cloud() const;
    // Index in m_waitKeyList of the oldest key whose job holds no place, or -1.
    int nextDispatchableIndex() const;
    // Sends the dispatched job's first server request, or closes and reports it when its local
    // file cannot be uploaded.
    void dispatch(const QString& key);
    // The job in flight that sent a request with these parameters and waits for its answer in
    // `phase`; null for an answer of a stopped or earlier attempt.
    VXUploadJob* jobAwaiting(const QMap<QString, QString>& params, int phase);
    // Closes a job in flight: it leaves m_jobMap (a submission that came while it was in flight
    // takes its place as a waiting job), its slice uploader is stopped and released, its place
    // is given back. Neither reports nor dispatches.
    void closeJob(const QString& key);
    void releaseSliceUploader(VXUploadFileSliceByPut* uploader);
    void handleUploadUrlAnswer(const QMap<QString, QString>& params, const QJsonObject& jsonObj);
    void handleMultipartStartAnswer(const QMap<QString, QString>& params,
                                    const QJsonObject& jsonObj);
    void handleMultipartCompleteAnswer(const QMap<QString, QString>& params,
                                       const QJsonObject& jsonObj);
    void fallBackToSingleUpload(const QMap<QString, QString>& params);
    // The answer to a resume request sent for fresh part URLs of the upload in flight.
    void handleFreshPartUrls(const QMap<QString, QString>& params, const QJsonObject& data);
    // Takes the job's resume record; adds the upload to resume to the start request's params.
    void takeResumeRecord(VXUploadJob& job, const QString& localPath, qint64 partCount,
                          QMap<QString, QString>* params);
    QJsonObject sliceJobOf(const QMap<QString, QString>& params, const QJsonObject& data,
                           const VXUploadJob& job);
    // The job with this slice uploader's upload in flight, or null.
    VXUploadJob* jobSendingParts(const QJsonObject& sliceReport);

    VXCloudCommon* m_pCloudCommon = nullptr;
    QList<QString> m_waitKeyList;
    // Job key -> the job's record (VXUploadJob.h): the job object, its phase and attempt, its
    // upload id and slice uploader, from its submission until it is closed or stopped.
    QMap<QString, VXUploadJob> m_jobMap;
    int m_iMaxUploadCount = 2;
    int m_iUploadingCount = 0;
    // Job key -> the URL of its latest whole-file PUT; kept after the PUT ends, until a stop or
    // a newer URL for the key, so that a stop always reaches the PUT.
    QMap<QString, QString> m_putUrlMap;
    qint64 m_sliceLen = 20971520;
    QString m_cloudHost;
    // Parts of one multipart file sent at once, [PackageInformation] partsInFlight (1 to 16).
    int m_iMaxPartsInFlight = 1;
    // Serial of the latest dispatch; each dispatch is a new attempt.
    quint64 m_iLastAttempt = 0;
    // [Resume] enabled, folder and maxAgeHours.
    bool m_resumeEnabled = true;
    QString m_resumeFolder;
    int m_iResumeMaxAgeHours = 24;
    bool m_resumeFolderSwept = false; // records past maxAgeHours removed, once per manager
};

#endif // VXUPLOADBYPUTMANAGER_H
