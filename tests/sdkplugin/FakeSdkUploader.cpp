#include "FakeSdkUploader.h"

#include <QJsonDocument>

void FakeSdkUploader::record(const QString& op, const QStringList& args)
{
    m_calls.append(op + QLatin1Char('(') + args.join(QLatin1Char(',')) + QLatin1Char(')'));
}

static QString compact(const QJsonObject& object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

static QString compact(const QJsonArray& array)
{
    return QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Compact));
}

QObject* FakeSdkUploader::getObject()
{
    record(QStringLiteral("getObject"));
    return this;
}

void FakeSdkUploader::initUploadManager(QObject* host)
{
    record(QStringLiteral("initUploadManager"), {host ? host->objectName() : QString()});
}

void FakeSdkUploader::uploadFile(QJsonObject job)
{
    record(QStringLiteral("uploadFile"), {compact(job)});
}

void FakeSdkUploader::stopUploadFile(QString localPath, QString remotePath, QString bucketName)
{
    record(QStringLiteral("stopUploadFile"), {localPath, remotePath, bucketName});
}

void FakeSdkUploader::stopUploadFile()
{
    record(QStringLiteral("stopUploadFile"));
}

void FakeSdkUploader::cancelUploadingFile(QString localPath, QString remotePath,
                                          QString bucketName)
{
    record(QStringLiteral("cancelUploadingFile"), {localPath, remotePath, bucketName});
}

void FakeSdkUploader::uploadFileByList(const QVector<QVariant>& jobList)
{
    record(QStringLiteral("uploadFileByList"),
           {compact(QJsonArray::fromVariantList(jobList.toList()))});
}

void FakeSdkUploader::uploadFileByList(QJsonArray jobArray)
{
    record(QStringLiteral("uploadFileByList"), {compact(jobArray)});
}

void FakeSdkUploader::stopUploadFileList()
{
    record(QStringLiteral("stopUploadFileList"));
}

QString FakeSdkUploader::getCosFileUrl(QString a, QString b, QString c)
{
    record(QStringLiteral("getCosFileUrl"), {a, b, c});
    return property("cosFileUrl").toString();
}

QJsonObject FakeSdkUploader::getCosFileInfo(QString a, QString b, QString c)
{
    record(QStringLiteral("getCosFileInfo"), {a, b, c});
    return QJsonDocument::fromJson(property("cosFileInfo").toByteArray()).object();
}

int FakeSdkUploader::advanceUploadFile(QString a, QString b, QString c, bool flag)
{
    record(QStringLiteral("advanceUploadFile"),
           {a, b, c, flag ? QStringLiteral("true") : QStringLiteral("false")});
    return property("advanceResult").toInt();
}

double FakeSdkUploader::getAdvanceUploadProgress()
{
    record(QStringLiteral("getAdvanceUploadProgress"));
    return property("advanceProgress").toDouble();
}

int FakeSdkUploader::getcosFileStatus(QString a, QString b, QString c)
{
    record(QStringLiteral("getcosFileStatus"), {a, b, c});
    return property("cosFileStatus").toInt();
}

int FakeSdkUploader::deleteCosFile(QString a, QString b)
{
    record(QStringLiteral("deleteCosFile"), {a, b});
    return property("deleteResult").toInt();
}
