#include "VXUploadByPutManager.h"

#include "VXCloudCommon.h"
#include "VXCloudUtils.h"
#include "VXResultCodes.h"
#include "VXResumeRecord.h"
#include "VXSettings.h"
#include "VXUploadFileSliceByPut.h"
#include "VXUploadJob.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonValue>
#include <QLoggingCategory>
#include <QtDebug>

Q_LOGGING_CATEGORY(lcUploadManager, "vx.uploadmanager", QtWarningMsg)

namespace {

// S3 refuses a completion whose parts, but for the last, are shorter than this; it takes at
// most 10,000 parts of at most 5 GiB.
constexpr qint64 kMiB = 1024 * 1024;
constexpr qint64 kMinS3PartLen = 5 * kMiB;
constexpr qint64 kMaxS3PartLen = 5 * 1024 * kMiB;
constexpr qint64 kMaxS3Parts = 10000;

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

// The configured slice length, or for a file that would need more than S3's 10,000 parts at
// that length, the smallest whole-MiB length that keeps it within them (possibly beyond what
// S3 takes for one part, which the caller refuses).
qint64 sliceLenFor(qint64 size, qint64 configured)
{
    if (partCount(size, configured) <= kMaxS3Parts)
        return configured;
    const qint64 least = (size + kMaxS3Parts - 1) / kMaxS3Parts;
    return (least + kMiB - 1) / kMiB * kMiB;
}

// The parts the storage holds (the resume answer's "parts") that are exactly what this job's
// record says it stored: the same ETag and the length the part must have.
QMap<int, QString> confirmedParts(const QJsonArray& held, const QMap<int, QString>& recorded,
                                  qint64 sliceLen, qint64 fileSize)
{
    const qint64 parts = partCount(fileSize, sliceLen);
    QMap<int, QString> confirmed;
    for (const QJsonValue& value : held) {
        const QJsonObject part = value.toObject();
        const int number = part.value(QStringLiteral("partNumber")).toInt();
        QString etag = part.value(QStringLiteral("etag")).toString();
        etag.remove(QLatin1Char('"'));
        const qint64 size = qint64(part.value(QStringLiteral("size")).toDouble(-1));
        const qint64 expected = number < parts ? sliceLen : fileSize - (parts - 1) * sliceLen;
        if (number >= 1 && number <= parts && size == expected && !etag.isEmpty() &&
            recorded.value(number).compare(etag, Qt::CaseInsensitive) == 0)
            confirmed.insert(number, etag);
    }
    return confirmed;
}

using Phase = VXUploadJob::Phase;

// The phase in which a job waits for the answer to `api`.
Phase phaseAwaiting(const QString& api)
{
    if (api == kApiUploadUrl)
        return Phase::RequestingUrl;
    return api == kApiInitMultipart ? Phase::StartingMultipart : Phase::Completing;
}

bool isLocalParam(const QString& name)
{
    return name.startsWith(QLatin1String(IVXCloudCommon_localParamPrefix));
}

} // namespace

const QString VXUploadJob::kAttemptParam =
    QStringLiteral(IVXCloudCommon_localParamPrefix "attempt");
const QString VXUploadJob::kRefreshParam =
    QStringLiteral(IVXCloudCommon_localParamPrefix "refresh");

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
    m_cloudHost =
        VXCloudUtils::getConfigFromIni(iniPath, VXSettings::CloudHost.iniKey(), QVariant());
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
    m_resumeEnabled = VXSettings::flag(VXSettings::ResumeEnabled, lcUploadManager());
    m_resumeFolder = VXSettings::text(VXSettings::ResumeFolder);
    if (m_resumeFolder.isEmpty())
        m_resumeFolder = VXResumeRecord::defaultFolder();
    m_iResumeMaxAgeHours =
        int(VXSettings::number(VXSettings::ResumeMaxAgeHours, lcUploadManager()));
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
    const auto it = m_jobMap.find(key);
    if (it == m_jobMap.end()) {
        m_jobMap.insert(key, VXUploadJob(jsonInfo));
        m_waitKeyList.append(key);
    } else if (it->inFlight()) {
        // Uploaded again, with its own report, once the transfer in flight has ended.
        it->resubmitted = true;
        it->resubmission = jsonInfo;
        if (!m_waitKeyList.contains(key))
            m_waitKeyList.append(key);
    } else {
        it->json = jsonInfo; // still waiting: one upload, the later object
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
    for (auto it = params.cbegin(); it != params.cend(); ++it) {
        if (!isLocalParam(it.key()))
            report.insert(it.key(), it.value());
    }
    report.insert(QStringLiteral("bucketName"), bucket);
    report.insert(QStringLiteral("remotePath"), remotePath);
    report.insert(QStringLiteral("localPath"), localPath);
    emit sglUploadFinished(res, report);
}

int VXUploadByPutManager::nextDispatchableIndex() const
{
    // A key stands in the waiting list while its job is in flight when the host submitted the
    // same job again. That submission waits: two transfers under one key could not be told
    // apart in the reports, and the key holds one place at most.
    for (int i = 0; i < m_waitKeyList.size(); ++i) {
        if (!m_jobMap.value(m_waitKeyList.at(i)).inFlight())
            return i;
    }
    return -1;
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
        dispatch(m_waitKeyList.takeAt(index));
    }
}

void VXUploadByPutManager::dispatch(const QString& key)
{
    VXUploadJob& job = m_jobMap[key];
    job.attempt = ++m_iLastAttempt;
    job.phase = Phase::RequestingUrl;
    ++m_iUploadingCount;

    const QJsonObject json = job.json;
    const QString localPath = json.value(QStringLiteral("localPath")).toString();
    const QString remotePath = json.value(QStringLiteral("remotePath")).toString();
    QMap<QString, QString> params;
    params.insert(QStringLiteral("bucket"), json.value(QStringLiteral("bucketName")).toString());
    params.insert(QStringLiteral("path"), remotePath);
    params.insert(QStringLiteral("remotePath"), remotePath);
    params.insert(QStringLiteral("localPath"), localPath);

    const QFileInfo fileInfo(localPath);
    if (!fileInfo.exists()) {
        qCritical() << "VXUploadByPutManager::uploadNextFile"
                    << "the file does not exist!" << fileInfo.path();
        closeJob(key);
        reportJobFailure(params);
        return;
    }
    if (!isPlainFile(fileInfo)) {
        qCWarning(lcUploadManager).noquote()
            << "VXUploadByPutManager::uploadNextFile:" << localPath
            << "is not a plain file (a directory, FIFO, device or a file whose size reads 0"
            << "but which has content): not uploaded";
        closeJob(key);
        reportJobFailure(params, VXResult::FileUnreadable);
        return;
    }

    const QString bcode = json.value(QStringLiteral("bc_bcode")).toString();
    const qint64 size = fileInfo.size();
    const bool multipart = m_sliceLen > 0 && size > m_sliceLen && !bcode.isEmpty();
    job.sliceLen = multipart ? sliceLenFor(size, m_sliceLen) : 0;
    if (multipart) {
        const QString name = fileInfo.fileName();
        params.insert(QStringLiteral("path"), getRemoteDirPath(name, remotePath));
        params.insert(QStringLiteral("filename"), name);
        params.insert(QStringLiteral("partcount"), QString::number(partCount(size, job.sliceLen)));
        params.insert(QStringLiteral("uploadMethod"), QStringLiteral("sliceUpload"));
        params.insert(QStringLiteral("bc_bcode"), bcode);
    } else {
        params.insert(QStringLiteral("uploadMethod"), QStringLiteral("upload"));
    }
    for (auto it = json.constBegin(); it != json.constEnd(); ++it) {
        if (!params.contains(it.key()))
            params.insert(it.key(), textOf(it.value()));
    }
    params.insert(VXUploadJob::kAttemptParam, job.attemptText());

    if (multipart && job.sliceLen > kMaxS3PartLen) {
        qCWarning(lcUploadManager).noquote()
            << "VXUploadByPutManager::uploadNextFile:" << localPath << "needs more than"
            << kMaxS3Parts << "parts of 5 GiB: too large for one object";
        closeJob(key);
        reportJobFailure(params, VXResult::FileTooLarge);
        return;
    }
    if (multipart) {
        if (job.sliceLen != m_sliceLen) {
            qCInfo(lcUploadManager).noquote()
                << "VXUploadByPutManager:" << localPath << "is sliced at" << job.sliceLen
                << "bytes to stay within" << kMaxS3Parts << "parts";
        }
        job.phase = Phase::StartingMultipart;
        job.startParams = params;
        if (m_resumeEnabled)
            takeResumeRecord(job, localPath, partCount(size, job.sliceLen), &params);
        cloud()->sendCosCenterRequest(params, kApiInitMultipart, m_cloudHost, 0);
    } else {
        cloud()->sendApiRequest(params, kApiUploadUrl, QString(), 0);
    }
}

void VXUploadByPutManager::takeResumeRecord(VXUploadJob& job, const QString& localPath,
                                            qint64 partCount, QMap<QString, QString>* params)
{
    const VXResumeRecord::Subject subject{localPath,
                                          job.json.value(QStringLiteral("remotePath")).toString(),
                                          job.json.value(QStringLiteral("bucketName")).toString(),
                                          VXFileIdentity::of(localPath),
                                          job.sliceLen,
                                          int(partCount),
                                          m_cloudHost};
    if (!m_resumeFolderSwept) {
        m_resumeFolderSwept = true;
        VXResumeRecord::removeOlderThan(m_resumeFolder, m_iResumeMaxAgeHours);
    }
    QString why;
    job.resume = VXResumeRecord::take(m_resumeFolder, subject, m_iResumeMaxAgeHours, &why);
    if (!job.resume) {
        qCWarning(lcUploadManager).noquote()
            << "VXUploadByPutManager:" << localPath << "is uploaded without resuming:" << why;
        return;
    }
    if (job.resume->hasUpload()) {
        params->insert(QStringLiteral("uploadid"), job.resume->uploadId());
        params->insert(QStringLiteral("authorization"), job.resume->authorization());
    }
}

QString VXUploadByPutManager::getRemoteDirPath(const QString& fileName, const QString& remotePath)
{
    // QString::left gives the whole string for a negative count or one beyond the end.
    const QString dir = remotePath.left(remotePath.length() - fileName.length());
    return dir.isEmpty() ? QStringLiteral("/") : dir;
}

VXUploadJob* VXUploadByPutManager::jobAwaiting(const QMap<QString, QString>& params, int phase)
{
    const auto it = m_jobMap.find(jobKeyOf(params));
    if (it != m_jobMap.end() && it->expects(params.value(VXUploadJob::kAttemptParam), Phase(phase)))
        return &*it;
    qCInfo(lcUploadManager).noquote()
        << "VXUploadByPutManager: an answer for" << jobKeyOf(params)
        << "that no job in flight waits for (stopped, or an earlier attempt) is ignored";
    return nullptr;
}

void VXUploadByPutManager::closeJob(const QString& key)
{
    const auto it = m_jobMap.find(key);
    if (it == m_jobMap.end() || !it->inFlight())
        return;
    VXUploadFileSliceByPut* uploader = it->uploader;
    // A submission that came while the job was in flight now waits in its place; its key
    // stands in m_waitKeyList already.
    if (it->resubmitted)
        *it = VXUploadJob(it->resubmission);
    else
        m_jobMap.erase(it);
    --m_iUploadingCount;
    releaseSliceUploader(uploader);
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
    // from inside stopUploadByUrl finds no job and the report is only logged. Its server
    // request, if one is out, runs on; its answer then finds no attempt waiting for it.
    const bool hasPutUrl = m_putUrlMap.contains(key);
    const QString putUrl = m_putUrlMap.take(key);
    const VXUploadJob job = m_jobMap.take(key);
    m_waitKeyList.removeAll(key);
    // A waiting job, or one the manager does not know, holds no place and gives none back.
    if (job.inFlight())
        --m_iUploadingCount;

    if (hasPutUrl)
        cloud()->stopUploadByUrl(putUrl);
    releaseSliceUploader(job.uploader);
    uploadNextFile();
}

void VXUploadByPutManager::stopAllUploadJobs()
{
    const QMap<QString, QString> putUrls = m_putUrlMap;
    QList<VXUploadFileSliceByPut*> uploaders;
    for (const VXUploadJob& job : qAsConst(m_jobMap)) {
        if (job.uploader)
            uploaders.append(job.uploader);
    }
    m_putUrlMap.clear();
    m_jobMap.clear();
    m_waitKeyList.clear();
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
    const auto it = m_jobMap.find(key);
    // A whole-file PUT reports here; a multipart job comes here when its completion answer
    // arrives. A stopped PUT never reports, so a PUT's report is always its job's own.
    if (it == m_jobMap.end() || (it->phase != Phase::Putting && it->phase != Phase::Completing)) {
        qCritical() << "VXUploadByPutManager::slotUploadFinished" << key << m_jobMap.keys();
        return;
    }
    if (it->phase == Phase::Putting && res != VXResult::FileChanged &&
        VXFileIdentity::of(report.value(QStringLiteral("localPath")).toString()) !=
            it->fileIdentity) {
        // The bytes sent are not the file as it is now: grown, shrunk, rewritten or replaced
        // while it was read. What the storage holds is not a success.
        qCWarning(lcUploadManager).noquote()
            << "VXUploadByPutManager:" << report.value(QStringLiteral("localPath")).toString()
            << "changed during its upload (size, time, inode or device); the upload fails";
        res = VXResult::FileChanged;
    }
    // The job is gone and its place free before the host hears of it; the upload URL stays
    // until a stop or a newer URL for the key.
    closeJob(key);
    emit sglUploadFinished(res, report);
    uploadNextFile();
}

void VXUploadByPutManager::slotUploadProgress(const QJsonObject& jsonInfo, int progress)
{
    if (jsonInfo.contains(QStringLiteral("slice_mark")))
        return;
    if (m_jobMap.value(jobKeyOf(jsonInfo)).inFlight())
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
    VXUploadJob* job = jobAwaiting(params, int(Phase::RequestingUrl));
    if (!job)
        return;
    const QJsonObject data = jsonObj.value(QStringLiteral("data")).toObject();
    const QString uploadUrl = data.value(QStringLiteral("uploadUrl")).toString();
    QJsonValue downloadUrl = data.value(QStringLiteral("downloadUrl"));
    if (downloadUrl.isUndefined())
        downloadUrl = QJsonValue(QJsonValue::Null); // inserting Undefined would drop the key
    QJsonObject info = job->json;
    info.insert(QStringLiteral("downloadUrl"), downloadUrl);
    const QString localPath = info.value(QStringLiteral("localPath")).toString();
    job->phase = Phase::Putting;
    job->fileIdentity = VXFileIdentity::of(localPath);
    m_putUrlMap.insert(jobKeyOf(params), uploadUrl);
    cloud()->uploadFileByPut(uploadUrl, localPath, info);
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
    const QJsonObject data = jsonObj.value(QStringLiteral("data")).toObject();
    if (params.contains(VXUploadJob::kRefreshParam)) {
        handleFreshPartUrls(params, data);
        return;
    }
    // An answer for a job stopped meanwhile starts nothing; the storage's stale-upload sweep
    // removes its upload.
    VXUploadJob* job = jobAwaiting(params, int(Phase::StartingMultipart));
    if (!job)
        return;
    const QString uploadId = data.value(QStringLiteral("uploadid")).toString();
    if (uploadId.isEmpty()) {
        job->phase = Phase::RequestingUrl;
        fallBackToSingleUpload(params);
        return;
    }

    const QString localPath = params.value(QStringLiteral("localPath"));
    QMap<int, QString> stored;
    if (VXResumeRecord* record = job->resume.get()) {
        if (record->hasUpload() && record->uploadId() == uploadId) {
            stored =
                confirmedParts(data.value(QStringLiteral("parts")).toArray(), record->storedParts(),
                               job->sliceLen, VXFileIdentity::of(localPath).size());
            qCInfo(lcUploadManager).noquote()
                << "VXUploadByPutManager:" << localPath << "resumes upload" << uploadId << "with"
                << stored.size() << "parts stored";
        } else if (record->hasUpload()) {
            qCWarning(lcUploadManager).noquote()
                << "VXUploadByPutManager: the cloud server no longer knows upload"
                << record->uploadId() << "of" << localPath << ": the upload starts over";
        }
        record->setUpload(uploadId, data.value(QStringLiteral("authorization")).toString());
    }

    auto* uploader = new VXUploadFileSliceByPut(this);
    connect(uploader, &VXUploadFileSliceByPut::sglUploadFinished, this,
            &VXUploadByPutManager::slotSliceUploadFinished);
    connect(uploader, &VXUploadFileSliceByPut::sglUploadProgress, this,
            &VXUploadByPutManager::slotUploadProgress);
    connect(uploader, &VXUploadFileSliceByPut::sglPartStored, this,
            &VXUploadByPutManager::slotSlicePartStored);
    connect(uploader, &VXUploadFileSliceByPut::sglPartUrlsNeeded, this,
            &VXUploadByPutManager::slotSlicePartUrlsNeeded);
    uploader->setMaxSliceUploadCount(m_iMaxPartsInFlight);
    uploader->setStoredParts(stored);
    job->phase = Phase::SendingParts;
    job->uploadId = uploadId;
    job->uploader = uploader;
    uploader->uploadFileBySlice(sliceJobOf(params, data, *job));
}

VXUploadJob* VXUploadByPutManager::jobSendingParts(const QJsonObject& sliceReport)
{
    const auto it = m_jobMap.find(jobKeyOf(sliceReport));
    if (it == m_jobMap.end() || it->phase != Phase::SendingParts ||
        it->uploadId != sliceReport.value(QStringLiteral("uploadid")).toString())
        return nullptr;
    return &*it;
}

void VXUploadByPutManager::slotSlicePartStored(const QJsonObject& jsonInfo, int partNumber,
                                               const QString& etag)
{
    VXUploadJob* job = jobSendingParts(jsonInfo);
    if (job && job->resume)
        job->resume->addPart(partNumber, etag);
}

void VXUploadByPutManager::slotSlicePartUrlsNeeded(const QJsonObject& jsonInfo)
{
    VXUploadJob* job = jobSendingParts(jsonInfo);
    if (!job)
        return;
    QMap<QString, QString> params = job->startParams;
    params.insert(QStringLiteral("uploadid"), job->uploadId);
    params.insert(QStringLiteral("authorization"),
                  jsonInfo.value(QStringLiteral("authorization")).toString());
    params.insert(VXUploadJob::kRefreshParam, QStringLiteral("1"));
    cloud()->sendCosCenterRequest(params, kApiInitMultipart, m_cloudHost, 0);
}

void VXUploadByPutManager::handleFreshPartUrls(const QMap<QString, QString>& params,
                                               const QJsonObject& data)
{
    VXUploadJob* job = jobAwaiting(params, int(Phase::SendingParts));
    if (!job)
        return;
    const QString uploadId = data.value(QStringLiteral("uploadid")).toString();
    const QString authorization = data.value(QStringLiteral("authorization")).toString();
    if (uploadId != job->uploadId) {
        // The server lost the upload (swept or aborted) and opened another: the parts sent
        // are gone. Submitted again, the job starts over.
        qCWarning(lcUploadManager).noquote()
            << "VXUploadByPutManager: the cloud server no longer knows upload" << job->uploadId
            << "of" << params.value(QStringLiteral("localPath")) << ": the upload fails";
        if (job->resume)
            job->resume->remove();
        closeJob(jobKeyOf(params));
        reportJobFailure(params);
        uploadNextFile();
        return;
    }
    if (job->resume)
        job->resume->setUpload(uploadId, authorization);
    job->uploader->setPartUrls(data.value(QStringLiteral("partUrl")).toArray(), authorization);
}

QJsonObject VXUploadByPutManager::sliceJobOf(const QMap<QString, QString>& params,
                                             const QJsonObject& data, const VXUploadJob& upload)
{
    const QJsonObject& job = upload.json;
    const qint64 sliceLen = upload.sliceLen;
    const QString localPath = params.value(QStringLiteral("localPath"));
    const QString remotePath = params.value(QStringLiteral("remotePath"));
    const QString bucket = params.value(QStringLiteral("bucket"));
    QJsonObject sliceJob;
    sliceJob.insert(QStringLiteral("uploadid"), data.value(QStringLiteral("uploadid")).toString());
    sliceJob.insert(QStringLiteral("partUrl"), data.value(QStringLiteral("partUrl")).toArray());
    sliceJob.insert(QStringLiteral("filePath"), localPath);
    sliceJob.insert(QStringLiteral("bucketName"), bucket);
    sliceJob.insert(QStringLiteral("remotePath"), remotePath);
    sliceJob.insert(QStringLiteral("localPath"), localPath);
    sliceJob.insert(QStringLiteral("authorization"),
                    data.value(QStringLiteral("authorization")).toString());
    sliceJob.insert(QStringLiteral("bucket"), bucket);
    const QFileInfo fileInfo(localPath);
    if (fileInfo.exists() && sliceLen > 0) {
        const QString name = fileInfo.fileName();
        sliceJob.insert(QStringLiteral("filename"), name);
        sliceJob.insert(QStringLiteral("path"), getRemoteDirPath(name, remotePath));
        sliceJob.insert(QStringLiteral("partcount"),
                        QString::number(partCount(fileInfo.size(), sliceLen)));
        sliceJob.insert(QStringLiteral("sliceLen"), QString::number(sliceLen));
    }
    for (auto it = job.constBegin(); it != job.constEnd(); ++it) {
        if (!sliceJob.contains(it.key()))
            sliceJob.insert(it.key(), it.value());
    }
    return sliceJob;
}

void VXUploadByPutManager::handleMultipartCompleteAnswer(const QMap<QString, QString>& params,
                                                         const QJsonObject& jsonObj)
{
    // The job is the one the request was sent for, whatever the answer echoes (or leaves out):
    // every completion answer ends its job.
    const VXUploadJob* waiting = jobAwaiting(params, int(Phase::Completing));
    if (!waiting)
        return;
    QJsonObject job = waiting->json;
    // Completed or refused, the upload is over: there is nothing left to resume.
    if (waiting->resume)
        waiting->resume->remove();
    const QJsonObject data = jsonObj.value(QStringLiteral("data")).toObject();
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
}

void VXUploadByPutManager::slotHttpRequestErrorWithInfo(const QMap<QString, QString>& params,
                                                        const QString& api, int code,
                                                        const QString& msg)
{
    Q_UNUSED(code)
    Q_UNUSED(msg)
    if (api != kApiUploadUrl && api != kApiInitMultipart && api != kApiCompleteMultipart)
        return;
    const QMap<QString, QString> request = params;
    const bool refresh = request.contains(VXUploadJob::kRefreshParam);
    VXUploadJob* job =
        jobAwaiting(request, int(refresh ? Phase::SendingParts : phaseAwaiting(api)));
    if (!job)
        return;
    if (api == kApiInitMultipart && !refresh) {
        job->phase = Phase::RequestingUrl;
        fallBackToSingleUpload(request);
        return;
    }
    // Closed before the report, like a finished job: a host that submits the job again from
    // its handler gets a fresh job, not one that is closed right after.
    closeJob(jobKeyOf(request));
    reportJobFailure(request);
    uploadNextFile();
}

void VXUploadByPutManager::slotSliceUploadFinished(const QJsonObject& jsonInfo, int res)
{
    const QJsonObject report = jsonInfo;
    const QString key = jobKeyOf(report);
    // A stopped uploader reports nothing, so this is the uploader of the job's own attempt.
    VXUploadJob* job = jobSendingParts(report);
    if (!job)
        return;
    if (res == 0) {
        QMap<QString, QString> request;
        for (auto field = report.constBegin(); field != report.constEnd(); ++field)
            request.insert(field.key(), field.value().toVariant().toString());
        request.insert(VXUploadJob::kAttemptParam, job->attemptText());
        job->phase = Phase::Completing;
        cloud()->sendCosCenterRequest(request, kApiCompleteMultipart, m_cloudHost, 0);
        return;
    }
    // The parts stored belong to the file as it was: nothing to resume from.
    if (res == VXResult::FileChanged && job->resume)
        job->resume->remove();
    closeJob(key);
    emit sglUploadFinished(res, report);
    uploadNextFile();
}
