#ifndef IVXFILEUPLOADBYSDK_H
#define IVXFILEUPLOADBYSDK_H

#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QVariant>
#include <QVector>
#include <QtPlugin>

// Interface of the sibling SDK uploader plugin "VXFileUploadBySdk". Its virtual slots follow the
// numbering of IVXFileUpload: the upload plugin forwards to slots 1, 2 and 4 to 14. Slots 0 and 3
// mirror IVXFileUpload and are never called by the upload plugin. No virtual destructor.
class IVXFileUploadBySdk
{
public:
    virtual QObject* getObject() = 0;                                    // 0
    virtual void initUploadManager(QObject* host) = 0;                   // 1
    virtual void uploadFile(QJsonObject job) = 0;                        // 2
    virtual void stopUploadFile(QString localPath, QString remotePath,
                                QString bucketName) = 0;                 // 3
    virtual void stopUploadFile() = 0;                                   // 4
    virtual void cancelUploadingFile(QString localPath, QString remotePath,
                                     QString bucketName) = 0;            // 5
    virtual void uploadFileByList(const QVector<QVariant>& jobList) = 0; // 6
    virtual void uploadFileByList(QJsonArray jobArray) = 0;              // 7
    virtual void stopUploadFileList() = 0;                               // 8
    virtual QString getCosFileUrl(QString a, QString b, QString c) = 0;  // 9
    virtual QJsonObject getCosFileInfo(QString a, QString b, QString c) = 0;        // 10
    virtual int advanceUploadFile(QString a, QString b, QString c, bool flag) = 0;  // 11
    virtual double getAdvanceUploadProgress() = 0;                                  // 12
    virtual int getcosFileStatus(QString a, QString b, QString c) = 0;              // 13
    virtual int deleteCosFile(QString a, QString b) = 0;                            // 14
};

#define IVXFileUploadBySdk_iid "com.zel.tessel.transferdepot.IVXFileUploadBySdk/1.0"
Q_DECLARE_INTERFACE(IVXFileUploadBySdk, IVXFileUploadBySdk_iid)

#endif // IVXFILEUPLOADBYSDK_H
