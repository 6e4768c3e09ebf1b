#ifndef FAKESDKUPLOADER_H
#define FAKESDKUPLOADER_H

#include "IVXFileUploadBySdk.h"

#include <QObject>
#include <QStringList>

// Test sibling plugin "VXFileUploadBySdk". Records every call it receives as text
// ("cancelUploadingFile(a,b,c)") in the property "calls"; the query operations return the values
// of the dynamic properties "cosFileUrl", "cosFileInfo" (a JSON object as text),
// "advanceResult", "advanceProgress", "cosFileStatus" and "deleteResult".
class FakeSdkUploader : public QObject, public IVXFileUploadBySdk
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "TransferDepot.VXFileUploadBySdk.Plugin")
    Q_INTERFACES(IVXFileUploadBySdk)
    Q_PROPERTY(QStringList calls MEMBER m_calls)

public:
    QObject* getObject() override;
    void initUploadManager(QObject* host) override;
    void uploadFile(QJsonObject job) override;
    void stopUploadFile(QString localPath, QString remotePath, QString bucketName) override;
    void stopUploadFile() override;
    void cancelUploadingFile(QString localPath, QString remotePath, QString bucketName) override;
    void uploadFileByList(const QVector<QVariant>& jobList) override;
    void uploadFileByList(QJsonArray jobArray) override;
    void stopUploadFileList() override;
    QString getCosFileUrl(QString a, QString b, QString c) override;
    QJsonObject getCosFileInfo(QString a, QString b, QString c) override;
    int advanceUploadFile(QString a, QString b, QString c, bool flag) override;
    double getAdvanceUploadProgress() override;
    int getcosFileStatus(QString a, QString b, QString c) override;
    int deleteCosFile(QString a, QString b) override;

private:
    void record(const QString& op, const QStringList& args = {});

    QStringList m_calls;
};

#endif // FAKESDKUPLOADER_H
