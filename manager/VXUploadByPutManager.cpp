#include "VXUploadByPutManager.h"

#include "VXCloudCommon.h"
#include "VXCloudUtils.h"
#include "VXResultCodes.h"
#include "VXSettings.h"
#include "VXUploadFileSliceByPut.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonValue>
#include <QLoggingCategory>
#include <QtDebug>

Q_LOGGING_CATEGORY(lcUploadManager, "vx.uploadmanager", QtWarningMsg)

namespace {

// S3 refuses a completion whose parts, but for the last, are shorter than this.
constexpr qint64 kMinS3PartLen = 5 * 1024 * 1024;

const QString kApiUploadUrl = QStringLiteral("api/bucket/fileuploadurl");
const QString kApiInitMultipart = QStringLiteral("coscenter/v1/bucket/initmultipart");
const QString kApiCompleteMultipart = QStringLiteral("coscenter/v1/bucket/completemultipart");

QString jobKey(const QString& localPath, const QString& remotePath, const QString& bucketName)
{
    return localPath + QLatin1Char('|') + remotePath + QLatin1Char('|') + bucketName;
}

QString jobKeyOf(const QJsonObject& json)
{
    return jobKey(json.value(QStringLiteral("localPath")).toString(),
                  json.value(QStringLiteral("remotePath")).toString(),
                  json.value(QStringLiteral("bucketName")).toString());
}

QString jobKeyOf(const QMap<QString, QString>& params)
{
    return jobKey(params.value(QStringLiteral("localPath")),
                  params.value(QStringLiteral("remotePath")),
                  params.value(QStringLiteral("bucket")));
}

// Request parameters carry text only: a JSON string as it is, anything else as empty text.
QString textOf(const QJsonValue& value)
{
    return value.isString() ? value.toString() : QString();
}

// A file whose bytes can be read without waiting and whose size tells how many there are: not a
// directory, FIFO, socket or device (opening a FIFO would block the host's thread), nor a file
// that reads as empty by its size but has content (/proc files), which would be stored empty.
bool isPlainFile(const QFileInfo& fileInfo)
{
    if (!fileInfo.isFile())
        return false;
    if (fileInfo.size() > 0)
        return true;
    QFile file(fileInfo.filePath());
    char byte;
    return !file.open(QIODevice::ReadOnly | QIODevice::Unbuffered) || file.read(&byte, 1) <= 0;
}

qint64 partCount(qint64 size, qint64 sliceLen)
{
    return size / sliceLen + (size % sliceLen != 0 ? 1 : 0);
}

} // namespace

VXUploadByPutManager::VXUploadByPutManager(QObject* parent) : QObject(parent)
{
    readConfig();
    m_pCloudCommon = new VXCloudCommon(this);
    connect(m_pCloudCommon, &VXCloudCommon::sglHttpRequestFinishWithInfo, this,
            &VXUploadByPutManager::slotHttpRequestFinishWithInfo);
    connect(m_pCloudCommon, &VXCloudCommon::sglHttpRequestErrorWithInfo, this,
            &VXUploadByPutManager::slotHttpRequestErrorWithInfo);
    connect(m_pCloudCommon, &VXCloudCommon::sglUploadFinished, this,
            &VXUploadByPutManager::slotUploadFinished);
    connect(m_pCloudCommon, &VXCloudCommon::sglUploadProgress, this,
            &VXUploadByPutManager::slotUploadProgress);
    // Asking for an upload URL creates nothing, and the reference server answers a completion
    // that already took place as a success; a repeated multipart start would open a second
    // upload, so it is sent once.
    cloud()->setRetryableApis({kApiUploadUrl, kApiCompleteMultipart});
}

VXUploadByPutManager::~VXUploadByPutManager() = default;

void VXUploadByPutManager::readConfig()
{
    const QString iniPath = VXSettings::iniPath();
    m_cloudHost = VXCloudUtils::getConfigFromIni(iniPath, VXSettings::CloudHost.iniKey(),
                                                 QVariant());
    if (m_cloudHost.isEmpty()) {
        m_cloudHost = VXCloudUtils::getConfigFromIni(
            iniPath, QStringLiteral("/hostinformation/cloudhost"), QVariant());
    }

    // An unusable slice length (missing, not a number, not positive, too long for the slice
    // uploader's progress arithmetic) keeps the default instead of breaking every large upload.
    m_sliceLen = VXSettings::number(VXSettings::SliceLen, lcUploadManager());
    if (m_sliceLen < kMinS3PartLen) {
        qCWarning(lcUploadManager).noquote()
            << "VXUploadByPutManager::readConfig: sliceLen" << m_sliceLen << "is below"
            << kMinS3PartLen << "bytes: S3-compatible storage refuses parts under 5 MiB (except"
            << "the last), so multipart uploads to such storage will fail at completion";
    }
    m_iMaxPartsInFlight = int(VXSettings::number(VXSettings::PartsInFlight, lcUploadManager()));
    m_iMaxUploadCount = int(VXSettings::number(VXSettings::JobsInFlight, lcUploadManager()));
}

IVXCloudCommon* VXUploadByPutManager::cloud() const
{
    return m_pCloudCommon;
}

void VXUploadByPutManager::addUploadJob(const QJsonObject& jsonInfo)
{
    const QString localPath = jsonInfo.value(QStringLiteral("localPath")).toString();
    const QString remotePath = jsonInfo.value(QStringLiteral("remotePath")).toString();
    const QString bucketName = jsonInfo.value(QStringLiteral("bucketName")).toString();
    if (localPath.isEmpty() || remotePath.isEmpty() || bucketName.isEmpty())
        return;
    const QString key = jobKey(localPath, remotePath, bucketName);
    if (m_inFlightKeySet.contains(key)) {
        // Uploaded again, with its own report, once the transfer in flight has ended.
        m_resubmittedJobMap.insert(key, jsonInfo);
        if (!m_waitKeyList.contains(key))
            m_waitKeyList.append(key);
    } else if (m_jobMap.contains(key)) {
        m_jobMap.insert(key, jsonInfo); // still waiting: one upload, the later object
    } else {
        m_jobMap.insert(key, jsonInfo);
        m_waitKeyList.append(key);
    }
    uploadNextFile();
}

void VXUploadByPutManager::addUploadJobList(const QVector<QVariant>& jobList)
{
    // A copy: the host's handlers run inside this loop and may change the list they passed.
    const QVector<QVariant> jobs = jobList;
    for (const QVariant& job : jobs)
        addUploadJob(QJsonDocument::fromVariant(QVariant(job.toMap())).object());
}

void VXUploadByPutManager::addUploadJobList(const QJsonArray& jobArray)
{
    const QJsonArray jobs = jobArray;
    for (int i = 0; i < jobs.size(); ++i)
        addUploadJob(jobs.at(i).toObject());
}

void VXUploadByPutManager::reportJobFailure(const QMap<QString, QString>& params, int res)
{
    const QString bucket = params.value(QStringLiteral("bucket"));
    const QString remotePath = params.value(QStringLiteral("remotePath"));
    const QString localPath = params.value(QStringLiteral("localPath"));
    QJsonObject report;
    for (auto it = params.cbegin(); it != params.cend(); ++it)
        report.insert(it.key(), it.value());
    report.insert(QStringLiteral("bucketName"), bucket);
    report.insert(QStringLiteral("remotePath"), remotePath);
    report.insert(QStringLiteral("localPath"), localPath);
    emit sglUploadFinished(res, report);
}

int VXUploadByPutManager::nextDispatchableIndex() const
{
    // A key stands twice in the waiting list when the host submitted the same job again. While
    // an earlier submission of that key is in flight the later one waits: two transfers under
    // one key could not be told apart in the reports, and the key holds one place at most.
    for (int i = 0; i < m_waitKeyList.size(); ++i) {
        if (!m_inFlightKeySet.contains(m_waitKeyList.at(i)))
            return i;
    }
    return -1;
}

void VXUploadByPutManager::takePlace(const QString& key)
{
    m_inFlightKeySet.insert(key);
    m_iUploadingCount = m_inFlightKeySet.size();
}

bool VXUploadByPutManager::givePlaceBack(const QString& key)
{
    const bool held = m_inFlightKeySet.remove(key);
    m_iUploadingCount = m_inFlightKeySet.size();
    return held;
}

void VXUploadByPutManager::uploadNextFile()
{
    // Free places are filled from the oldest waiting job on. A job that ends at once (no local
    // file) is closed and reported, and the place it held goes to the next one. The loop reads
    // the fields afresh after every call out: the host's handlers and the request component
    // may re-enter the manager there.
    while (m_pCloudCommon && m_iUploadingCount < m_iMaxUploadCount) {
        const int index = nextDispatchableIndex();
        if (index < 0)
            return;
        const QString key = m_waitKeyList.takeAt(index);
        takePlace(key);

        const QJsonObject job = m_jobMap.value(key);
        const QString localPath = job.value(QStringLiteral("localPath")).toString();
        const QString remotePath = job.value(QStringLiteral("remotePath")).toString();
        const QString bucketName = job.value(QStringLiteral("bucketName")).toString();
        QMap<QString, QString> params;
        params.insert(QStringLiteral("bucket"), bucketName);
        params.insert(QStringLiteral("path"), remotePath);
        params.insert(QStringLiteral("remotePath"), remotePath);
        params.insert(QStringLiteral("localPath"), localPath);

        const QFileInfo fileInfo(localPath);
        if (!fileInfo.exists()) {
            qCritical() << "VXUploadByPutManager::uploadNextFile" << "the file does not exist!"
                        << fileInfo.path();
            closeFailedJob(key);
            reportJobFailure(params);
            continue;
        }
        if (!isPlainFile(fileInfo)) {
            qCWarning(lcUploadManager).noquote()
                << "VXUploadByPutManager::uploadNextFile:" << localPath
                << "is not a plain file (a directory, FIFO, device or a file whose size reads 0"
                << "but which has content): not uploaded";
            closeFailedJob(key);
            reportJobFailure(params, VXResult::FileUnreadable);
            continue;
        }

        const QString bcode = job.value(QStringLiteral("bc_bcode")).toString();
        const qint64 size = fileInfo.size();
        const bool multipart = m_sliceLen > 0 && size > m_sliceLen && !bcode.isEmpty();
        if (multipart) {
            const QString name = fileInfo.fileName();
            params.insert(QStringLiteral("path"), getRemoteDirPath(name, remotePath));
            params.insert(QStringLiteral("filename"), name);
            params.insert(QStringLiteral("partcount"),
                          QString::number(partCount(size, m_sliceLen)));
            params.insert(QStringLiteral("uploadMethod"), QStringLiteral("sliceUpload"));
            params.insert(QStringLiteral("bc_bcode"), bcode);
        } else {
            params.insert(QStringLiteral("uploadMethod"), QStringLiteral("upload"));
        }
        for (auto it = job.constBegin(); it != job.constEnd(); ++it) {
            if (!params.contains(it.key()))
                params.insert(it.key(), textOf(it.value()));
        }

        if (multipart)
            cloud()->sendCosCenterRequest(params, kApiInitMultipart, m_cloudHost, 0);
        else
            cloud()->sendApiRequest(params, kApiUploadUrl, QString(), 0);
    }
}

QString VXUploadByPutManager::getRemoteDirPath(const QString& fileName, const QString& remotePath)
{
    // QString::left gives the whole string for a negative count or one beyond the end.
    const QString dir = remotePath.left(remotePath.length() - fileName.length());
    return dir.isEmpty() ? QStringLiteral("/") : dir;
}

bool VXUploadByPutManager::closeFailedJob(const QString& key)
{
    // Only a job that still holds a place is closed: one that was stopped, closed before, or
    // submitted again and waiting is left alone, so nothing is freed twice.
    if (!givePlaceBack(key))
        return false;
    forgetClosedJob(key);
    releaseSliceUploader(m_sliceUploaderMap.take(key));
    return true;
}

void VXUploadByPutManager::forgetClosedJob(const QString& key)
{
    m_jobMap.remove(key);
    // A submission that came while the job was in flight now waits in its place; its key
    // stands in m_waitKeyList already.
    if (m_resubmittedJobMap.contains(key))
        m_jobMap.insert(key, m_resubmittedJobMap.take(key));
}

void VXUploadByPutManager::releaseSliceUploader(VXUploadFileSliceByPut* uploader)
{
    if (!uploader)
        return;
    uploader->stopUploadFileBySlice();
    uploader->deleteLater();
}

void VXUploadByPutManager::stopUploadJob(const QJsonObject& jsonInfo)
{
    stopUploadJob(jsonInfo.value(QStringLiteral("localPath")).toString(),
                  jsonInfo.value(QStringLiteral("remotePath")).toString(),
                  jsonInfo.value(QStringLiteral("bucketName")).toString());
}

void VXUploadByPutManager::stopUploadJob(const QString& localPath, const QString& remotePath,
                                         const QString& bucketName)
{
    if (localPath.isEmpty() || remotePath.isEmpty() || bucketName.isEmpty())
        return;
    const QString key = jobKey(localPath, remotePath, bucketName);

    // The job is forgotten before the aborts go out, so that a component reporting an abort
    // from inside stopUploadByUrl finds no job and the report is only logged.
    const bool hasPutUrl = m_putUrlMap.contains(key);
    const QString putUrl = m_putUrlMap.take(key);
    m_jobMap.remove(key);
    m_resubmittedJobMap.remove(key);
    m_waitKeyList.removeAll(key);
    VXUploadFileSliceByPut* uploader = m_sliceUploaderMap.take(key);
    // A waiting job, or one the manager does not know, holds no place and gives none back.
    givePlaceBack(key);

    if (hasPutUrl)
        cloud()->stopUploadByUrl(putUrl);
    releaseSliceUploader(uploader);
    uploadNextFile();
}

void VXUploadByPutManager::stopAllUploadJobs()
{
    const QMap<QString, QString> putUrls = m_putUrlMap;
    const QList<VXUploadFileSliceByPut*> uploaders = m_sliceUploaderMap.values();
    m_putUrlMap.clear();
    m_jobMap.clear();
    m_resubmittedJobMap.clear();
    m_waitKeyList.clear();
    m_sliceUploaderMap.clear();
    m_uploadIdJobMap.clear();
    m_inFlightKeySet.clear();
    m_iUploadingCount = 0;

    for (const QString& url : putUrls)
        cloud()->stopUploadByUrl(url);
    for (VXUploadFileSliceByPut* uploader : uploaders)
        releaseSliceUploader(uploader);
}

void VXUploadByPutManager::stopUploadJobList()
{
    stopAllUploadJobs();
}

void VXUploadByPutManager::slotUploadFinished(const QJsonObject& jsonInfo, int res)
{
    if (jsonInfo.contains(QStringLiteral("slice_mark")))
        return;
    const QJsonObject report = jsonInfo;
    const QString key = jobKeyOf(report);
    if (!m_inFlightKeySet.contains(key)) {
        qCritical() << "VXUploadByPutManager::slotUploadFinished" << key << m_jobMap.keys();
        return;
    }
    // The job is gone and its place free before the host hears of it; the upload URL stays
    // until a stop or a newer URL for the key.
    forgetClosedJob(key);
    if (VXUploadFileSliceByPut* uploader = m_sliceUploaderMap.take(key))
        uploader->deleteLater();
    givePlaceBack(key);
    emit sglUploadFinished(res, report);
    uploadNextFile();
}

void VXUploadByPutManager::slotUploadProgress(const QJsonObject& jsonInfo, int progress)
{
    if (jsonInfo.contains(QStringLiteral("slice_mark")))
        return;
    if (m_inFlightKeySet.contains(jobKeyOf(jsonInfo)))
        emit sglUploadProgress(jsonInfo, progress);
}

void VXUploadByPutManager::slotHttpRequestFinishWithInfo(const QMap<QString, QString>& params,
                                                         const QString& api,
                                                         const QJsonObject& jsonObj,
                                                         const QString& requestUrl)
{
    Q_UNUSED(requestUrl)
    // Copies: the component's own data may change while the calls below re-enter the manager.
    const QMap<QString, QString> request = params;
    const QJsonObject answer = jsonObj;
    if (api == kApiUploadUrl)
        handleUploadUrlAnswer(request, answer);
    else if (api == kApiInitMultipart)
        handleMultipartStartAnswer(request, answer);
    else if (api == kApiCompleteMultipart)
        handleMultipartCompleteAnswer(request, answer);
}

void VXUploadByPutManager::handleUploadUrlAnswer(const QMap<QString, QString>& params,
                                                 const QJsonObject& jsonObj)
{
    const QString key = jobKeyOf(params);
    if (!m_inFlightKeySet.contains(key))
        return; // stopped meanwhile
    const QJsonObject data = jsonObj.value(QStringLiteral("data")).toObject();
    const QString uploadUrl = data.value(QStringLiteral("uploadUrl")).toString();
    QJsonValue downloadUrl = data.value(QStringLiteral("downloadUrl"));
    if (downloadUrl.isUndefined())
        downloadUrl = QJsonValue(QJsonValue::Null); // inserting Undefined would drop the key
    QJsonObject info = m_jobMap.value(key);
    info.insert(QStringLiteral("downloadUrl"), downloadUrl);
    m_putUrlMap.insert(key, uploadUrl);
    cloud()->uploadFileByPut(uploadUrl, info.value(QStringLiteral("localPath")).toString(), info);
}

void VXUploadByPutManager::fallBackToSingleUpload(const QMap<QString, QString>& params)
{
    QMap<QString, QString> request = params;
    request.insert(QStringLiteral("uploadMethod"), QStringLiteral("upload"));
    request.insert(QStringLiteral("path"), request.value(QStringLiteral("remotePath")));
    cloud()->sendApiRequest(request, kApiUploadUrl, QString(), 0);
}

void VXUploadByPutManager::handleMultipartStartAnswer(const QMap<QString, QString>& params,
                                                      const QJsonObject& jsonObj)
{
    // An answer for a job stopped meanwhile, or a second one for a job whose parts are already
    // going out, starts nothing; the storage's stale-upload sweep removes its upload.
    const QString key = jobKeyOf(params);
    if (!m_inFlightKeySet.contains(key) || m_sliceUploaderMap.contains(key)) {
        qCInfo(lcUploadManager).noquote()
            << "VXUploadByPutManager: a multipart start answer for" << key
            << "that is no longer waiting for one is ignored";
        return;
    }
    const QJsonObject data = jsonObj.value(QStringLiteral("data")).toObject();
    const QString uploadId = data.value(QStringLiteral("uploadid")).toString();
    if (uploadId.isEmpty()) {
        fallBackToSingleUpload(params);
        return;
    }
    const QString authorization = data.value(QStringLiteral("authorization")).toString();
    const QJsonArray partUrls = data.value(QStringLiteral("partUrl")).toArray();

    auto* uploader = new VXUploadFileSliceByPut(this);
    connect(uploader, &VXUploadFileSliceByPut::sglUploadFinished, this,
            &VXUploadByPutManager::slotSliceUploadFinished);
    connect(uploader, &VXUploadFileSliceByPut::sglUploadProgress, this,
            &VXUploadByPutManager::slotUploadProgress);
    uploader->setMaxSliceUploadCount(m_iMaxPartsInFlight);
    m_sliceUploaderMap.insert(key, uploader);

    const QString localPath = params.value(QStringLiteral("localPath"));
    const QString remotePath = params.value(QStringLiteral("remotePath"));
    const QString bucket = params.value(QStringLiteral("bucket"));
    QJsonObject sliceJob;
    sliceJob.insert(QStringLiteral("uploadid"), uploadId);
    sliceJob.insert(QStringLiteral("partUrl"), partUrls);
    sliceJob.insert(QStringLiteral("filePath"), localPath);
    sliceJob.insert(QStringLiteral("bucketName"), bucket);
    sliceJob.insert(QStringLiteral("remotePath"), remotePath);
    sliceJob.insert(QStringLiteral("localPath"), localPath);
    sliceJob.insert(QStringLiteral("authorization"), authorization);
    sliceJob.insert(QStringLiteral("bucket"), bucket);
    const QFileInfo fileInfo(localPath);
    if (fileInfo.exists() && m_sliceLen > 0) {
        const QString name = fileInfo.fileName();
        sliceJob.insert(QStringLiteral("filename"), name);
        sliceJob.insert(QStringLiteral("path"), getRemoteDirPath(name, remotePath));
        sliceJob.insert(QStringLiteral("partcount"),
                        QString::number(partCount(fileInfo.size(), m_sliceLen)));
        sliceJob.insert(QStringLiteral("sliceLen"), QString::number(m_sliceLen));
    }
    const QJsonObject job = m_jobMap.value(key);
    m_uploadIdJobMap.insert(uploadId, job);
    for (auto it = job.constBegin(); it != job.constEnd(); ++it) {
        if (!sliceJob.contains(it.key()))
            sliceJob.insert(it.key(), it.value());
    }
    uploader->uploadFileBySlice(sliceJob);
}

void VXUploadByPutManager::handleMultipartCompleteAnswer(const QMap<QString, QString>& params,
                                                         const QJsonObject& jsonObj)
{
    // The job is the one the request was sent for, whatever the answer echoes (or leaves out):
    // every completion answer ends its job.
    const QJsonObject data = jsonObj.value(QStringLiteral("data")).toObject();
    const QString uploadId = params.value(QStringLiteral("uploadid"));
    QJsonObject job = m_uploadIdJobMap.value(uploadId);
    const QJsonValue success = jsonObj.value(QStringLiteral("success"));
    int res = -1;
    if (success.isBool() && success.toBool()) {
        job.insert(QStringLiteral("downloadUrl"),
                   data.value(QStringLiteral("Location")).toString());
        res = 0;
    } else {
        qCWarning(lcUploadManager).noquote()
            << "VXUploadByPutManager: the cloud server refused to complete"
            << job.value(QStringLiteral("remotePath")).toString() << "-"
            << jsonObj.value(QStringLiteral("reason")).toString(QStringLiteral("no reason given"));
    }
    slotUploadFinished(job, res);
    m_uploadIdJobMap.remove(uploadId);
}

void VXUploadByPutManager::slotHttpRequestErrorWithInfo(const QMap<QString, QString>& params,
                                                        const QString& api, int code,
                                                        const QString& msg)
{
    Q_UNUSED(code)
    Q_UNUSED(msg)
    const QMap<QString, QString> request = params;
    if (api == kApiInitMultipart) {
        fallBackToSingleUpload(request);
        return;
    }
    if (api != kApiUploadUrl && api != kApiCompleteMultipart)
        return;
    // Closed before the report, like a finished job: a host that submits the job again from
    // its handler gets a fresh job, not one that is closed right after.
    closeFailedJob(jobKeyOf(request));
    reportJobFailure(request);
    uploadNextFile();
}

void VXUploadByPutManager::slotSliceUploadFinished(const QJsonObject& jsonInfo, int res)
{
    const QJsonObject report = jsonInfo;
    if (res == 0) {
        QMap<QString, QString> request;
        for (auto it = report.constBegin(); it != report.constEnd(); ++it)
            request.insert(it.key(), it.value().toVariant().toString());
        cloud()->sendCosCenterRequest(request, kApiCompleteMultipart, m_cloudHost, 0);
        return;
    }

    m_uploadIdJobMap.remove(report.value(QStringLiteral("uploadid")).toString());
    const QString key = jobKeyOf(report);
    // The failed uploader is done; it is released whether or not its job still holds a place
    // (an uploader started by a late answer for a stopped job, or one replaced under its key).
    auto* failed = qobject_cast<VXUploadFileSliceByPut*>(sender());
    if (failed && m_sliceUploaderMap.value(key) == failed)
        m_sliceUploaderMap.remove(key);
    closeFailedJob(key);
    if (failed)
        failed->deleteLater();
    emit sglUploadFinished(res, report);
    uploadNextFile();
}
