#ifndef FAKESDKUPLOADER_H
#define FAKESDKUPLOADER_H

#include "IVXFileUploadBySdk.h"

#include <QJsonDocument>
#include <QObject>
#include <QStringList>

// Test sibling plugin "VXFileUploadBySdk". Records every upload operation it receives as text
// ("cancelUploadingFile(a,b,c)") in the property "calls"; its queries answer nothing.
class FakeSdkUploader : public QObject, public IVXFileUploadBySdk
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "TransferDepot.VXFileUploadBySdk.Plugin")
    Q_INTERFACES(IVXFileUploadBySdk)
    Q_PROPERTY(QStringList calls MEMBER m_calls)

public:
    QObject* getObject() override { return record("getObject"), this; }
    void initUploadManager(QObject* host) override
    {
        record("initUploadManager", {host ? host->objectName() : QString()});
    }
    void uploadFile(QJsonObject job) override { record("uploadFile", {text(QJsonDocument(job))}); }
    void stopUploadFile(QString a, QString b, QString c) override
    {
        record("stopUploadFile", {a, b, c});
    }
    void stopUploadFile() override { record("stopUploadFile"); }
    void cancelUploadingFile(QString a, QString b, QString c) override
    {
        record("cancelUploadingFile", {a, b, c});
    }
    void uploadFileByList(const QVector<QVariant>& jobList) override
    {
        uploadFileByList(QJsonArray::fromVariantList(jobList.toList()));
    }
    void uploadFileByList(QJsonArray jobs) override
    {
        record("uploadFileByList", {text(QJsonDocument(jobs))});
    }
    void stopUploadFileList() override { record("stopUploadFileList"); }
    QString getCosFileUrl(QString, QString, QString) override { return {}; }
    QJsonObject getCosFileInfo(QString, QString, QString) override { return {}; }
    int advanceUploadFile(QString, QString, QString, bool) override { return 0; }
    double getAdvanceUploadProgress() override { return 0; }
    int getcosFileStatus(QString, QString, QString) override { return 0; }
    int deleteCosFile(QString, QString) override { return 0; }

private:
    void record(const QString& op, const QStringList& args = {})
    {
        m_calls.append(op + '(' + args.join(',') + ')');
    }
    static QString text(const QJsonDocument& json)
    {
        return QString::fromUtf8(json.toJson(QJsonDocument::Compact));
    }

    QStringList m_calls;
};

#endif // FAKESDKUPLOADER_H
