#ifndef VXUPLOADBYPUTMANAGER_H
#define VXUPLOADBYPUTMANAGER_H

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QString>
#include <QVariant>
#include <QVector>

class IVXCloudCommon;
class VXCloudCommon;
class VXUploadFileSliceByPut;

// Runs every upload of the PUT family: files jobs under their job key
// ("localPath|remotePath|bucketName"), keeps at most m_iMaxUploadCount of them in flight, asks
// the cloud server for upload URLs and multipart uploads, has single files PUT by its request
// component and large files by slice uploaders, and reports to the host through its two signals.
// Lives on the host's thread; the host's handlers of its signals may call back into it.
// Every final report, success or failure, closes its job before it is emitted: the job is gone
// from the manager, its place free, and the next waiting job is dispatched after the emission.
// A stop closes a job without a report (a failure of a server request already under way for it
// is still reported); it gives back a place only for a job in flight. A key submitted again
// while it waits replaces the waiting job; submitted again while it is in flight, it is uploaded
// again once that transfer ends, with its own report. Only plain files are uploaded.
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

private:
    void readConfig();
    // Reports the job that the request parameters name as failed with `res`.
    void reportJobFailure(const QMap<QString, QString>& params, int res = -1);
    void uploadNextFile();
    QString getRemoteDirPath(const QString& fileName, const QString& remotePath);
    IVXCloudCommon* cloud() const;
    // Index in m_waitKeyList of the oldest key that holds no place, or -1.
    int nextDispatchableIndex() const;
    void takePlace(const QString& key);
    // Gives back the place of a key in flight; false when the key held none.
    bool givePlaceBack(const QString& key);
    // Closes a job in flight whose failure is reported: it leaves m_jobMap, its slice uploader
    // is stopped and released, its place is given back. No effect (false) for a key that holds
    // no place. Neither reports nor dispatches.
    bool closeFailedJob(const QString& key);
    // Takes a closed job out of m_jobMap; a submission of its key that came while it was in
    // flight takes its place as a waiting job.
    void forgetClosedJob(const QString& key);
    void releaseSliceUploader(VXUploadFileSliceByPut* uploader);
    void handleUploadUrlAnswer(const QMap<QString, QString>& params, const QJsonObject& jsonObj);
    void handleMultipartStartAnswer(const QMap<QString, QString>& params,
                                    const QJsonObject& jsonObj);
    void handleMultipartCompleteAnswer(const QMap<QString, QString>& params,
                                       const QJsonObject& jsonObj);
    void fallBackToSingleUpload(const QMap<QString, QString>& params);

    VXCloudCommon* m_pCloudCommon = nullptr;
    QList<QString> m_waitKeyList;
    QMap<QString, QJsonObject> m_jobMap;
    QMap<QString, VXUploadFileSliceByPut*> m_sliceUploaderMap;
    int m_iMaxUploadCount = 2;
    int m_iUploadingCount = 0;
    QMap<QString, QJsonObject> m_uploadIdJobMap;
    QMap<QString, QString> m_putUrlMap;
    qint64 m_sliceLen = 20971520;
    QString m_cloudHost;
    // Keys of the jobs holding a place; m_iUploadingCount is always its size. A key holds at
    // most one place: a second submission of a key in flight waits until the first ends.
    QSet<QString> m_inFlightKeySet;
    // Key -> the job submitted again while that key was in flight; it waits in m_waitKeyList
    // and enters m_jobMap when the transfer in flight ends.
    QMap<QString, QJsonObject> m_resubmittedJobMap;
    // Parts of one multipart file sent at once, [PackageInformation] partsInFlight (1 to 16).
    int m_iMaxPartsInFlight = 1;
};

#endif // VXUPLOADBYPUTMANAGER_H
