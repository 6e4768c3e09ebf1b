#ifndef FAKESDKUPLOADER_H
#define FAKESDKUPLOADER_H

#include "IVXFileUploadBySdk.h"

#include <QJsonDocument>
#include <QObject>
#include <QStringList>

// Test sibling plugin "VXFileUploadBySdk". Records every call it receives as text
// ("cancelUploadingFile(a,b,c)") in the property "calls"; its queries answer fixed values.
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
    QString getCosFileUrl(QString a, QString b, QString c) override
    {
        return record("getCosFileUrl", {a, b, c}), QStringLiteral("https://cos/x");
    }
    QJsonObject getCosFileInfo(QString a, QString b, QString c) override
    {
        return record("getCosFileInfo", {a, b, c}), QJsonObject{{"size", 3}};
    }
    int advanceUploadFile(QString a, QString b, QString c, bool flag) override
    {
        return record("advanceUploadFile", {a, b, c, flag ? "true" : "false"}), 7;
    }
    double getAdvanceUploadProgress() override { return record("getAdvanceUploadProgress"), 0.5; }
    int getcosFileStatus(QString a, QString b, QString c) override
    {
        return record("getcosFileStatus", {a, b, c}), 2;
    }
    int deleteCosFile(QString a, QString b) override { return record("deleteCosFile", {a, b}), 0; }

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
