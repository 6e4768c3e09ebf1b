#include "VXFileUpload.h"

#include "IVXFileUploadBySdk.h"
#include "VXCloudUtils.h"
#include "VXUploadByPutManager.h"

#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcFileUpload, "vx.fileupload", QtWarningMsg)

VXFileUpload::VXFileUpload(QObject* parent) : QObject(parent)
{
    if (QObject* sdk = VXCloudUtils::loadLib(QStringLiteral("VXFileUploadBySdk")))
        m_pFileUploadBySdk = qobject_cast<IVXFileUploadBySdk*>(sdk);
}

QObject* VXFileUpload::getObject()
{
    return this;
}

void VXFileUpload::initUploadManager(QObject* host)
{
    if (m_pFileUploadBySdk)
        m_pFileUploadBySdk->initUploadManager(host);
    initUploadByPutManager(host);
}

void VXFileUpload::uploadFile(QJsonObject job)
{
    if (m_pFileUploadBySdk)
        m_pFileUploadBySdk->uploadFile(job);
    else
        static_cast<IVXFileUpload*>(this)->uploadFileByPost(job);
}

void VXFileUpload::stopUploadFile(QString localPath, QString remotePath, QString bucketName)
{
    if (m_pFileUploadBySdk)
        m_pFileUploadBySdk->cancelUploadingFile(localPath, remotePath, bucketName);
    else
        static_cast<IVXFileUpload*>(this)->stopUploadFileByPost(localPath, remotePath, bucketName);
}

void VXFileUpload::stopUploadFile()
{
    if (m_pFileUploadBySdk)
        m_pFileUploadBySdk->stopUploadFile();
    else if (m_pUploadByPutManager)
        m_pUploadByPutManager->stopAllUploadJobs();
}

void VXFileUpload::cancelUploadingFile(QString localPath, QString remotePath, QString bucketName)
{
    stopUploadFile(localPath, remotePath, bucketName);
}

void VXFileUpload::uploadFileByList(const QVector<QVariant>& jobList)
{
    if (m_pFileUploadBySdk)
        m_pFileUploadBySdk->uploadFileByList(jobList);
    else if (m_pUploadByPutManager)
        m_pUploadByPutManager->addUploadJobList(jobList);
}

void VXFileUpload::uploadFileByList(QJsonArray jobArray)
{
    if (m_pFileUploadBySdk)
        m_pFileUploadBySdk->uploadFileByList(jobArray);
    else if (m_pUploadByPutManager)
        m_pUploadByPutManager->addUploadJobList(jobArray);
}

void VXFileUpload::stopUploadFileList()
{
    if (m_pFileUploadBySdk)
        m_pFileUploadBySdk->stopUploadFileList();
    else if (m_pUploadByPutManager)
        m_pUploadByPutManager->stopUploadJobList();
}

QString VXFileUpload::getCosFileUrl(QString a, QString b, QString c)
{
    return m_pFileUploadBySdk ? m_pFileUploadBySdk->getCosFileUrl(a, b, c) : QString();
}

QJsonObject VXFileUpload::getCosFileInfo(QString a, QString b, QString c, QString)
{
    return m_pFileUploadBySdk ? m_pFileUploadBySdk->getCosFileInfo(a, b, c) : QJsonObject();
}

int VXFileUpload::advanceUploadFile(QString a, QString b, QString c, bool flag)
{
    return m_pFileUploadBySdk ? m_pFileUploadBySdk->advanceUploadFile(a, b, c, flag) : -1;
}

double VXFileUpload::getAdvanceUploadProgress()
{
    return m_pFileUploadBySdk ? m_pFileUploadBySdk->getAdvanceUploadProgress() : 0.0;
}

int VXFileUpload::getcosFileStatus(QString a, QString b, QString c)
{
    return m_pFileUploadBySdk ? m_pFileUploadBySdk->getcosFileStatus(a, b, c) : -1;
}

int VXFileUpload::deleteCosFile(QString a, QString b)
{
    return m_pFileUploadBySdk ? m_pFileUploadBySdk->deleteCosFile(a, b) : -1;
}

void VXFileUpload::uploadFileByPost(QJsonObject job)
{
    if (m_pUploadByPutManager)
        m_pUploadByPutManager->addUploadJob(job);
}

void VXFileUpload::stopUploadFileByPost(QString localPath, QString remotePath, QString bucketName)
{
    if (m_pUploadByPutManager)
        m_pUploadByPutManager->stopUploadJob(localPath, remotePath, bucketName);
}

void VXFileUpload::stopUploadFileByPost(QJsonObject job)
{
    if (m_pUploadByPutManager)
        m_pUploadByPutManager->stopUploadJob(job);
}

void VXFileUpload::initUploadByPutManager(QObject* host)
{
    if (m_pUploadByPutManager)
        return;
    m_pUploadByPutManager = new VXUploadByPutManager(this);
    // Signal to signal by signature text: the host object only has to declare the two signals.
    if (!host) {
        qCWarning(lcFileUpload) << "VXFileUpload::initUploadManager: no host object; upload"
                                   " reports will reach nobody";
        return;
    }
    const bool finished =
        connect(m_pUploadByPutManager, SIGNAL(sglUploadFinished(int, QJsonObject)), host,
                SIGNAL(sglUploadFinished(int, QJsonObject)));
    const bool progress =
        connect(m_pUploadByPutManager, SIGNAL(sglUploadProgress(QJsonObject, int)), host,
                SIGNAL(sglUploadProgress(QJsonObject, int)));
    if (!finished || !progress) {
        qCWarning(lcFileUpload).nospace()
            << "VXFileUpload::initUploadManager: the host object " << host->metaObject()->className()
            << " does not declare the signal"
            << (finished ? "" : " sglUploadFinished(int,QJsonObject)")
            << (progress ? "" : " sglUploadProgress(QJsonObject,int)")
            << "; those reports will not reach the host";
    }
}

void VXFileUpload::stopUploadFileByPost()
{
    if (m_pUploadByPutManager)
        m_pUploadByPutManager->stopAllUploadJobs();
}

void VXFileUpload::stopUploadFileListByPost()
{
    if (m_pUploadByPutManager)
        m_pUploadByPutManager->stopUploadJobList();
}

void VXFileUpload::uploadFileListByPost(const QVector<QVariant>& jobList)
{
    if (m_pUploadByPutManager)
        m_pUploadByPutManager->addUploadJobList(jobList);
}

void VXFileUpload::uploadFileListByPost(QJsonArray jobArray)
{
    if (m_pUploadByPutManager)
        m_pUploadByPutManager->addUploadJobList(jobArray);
}
