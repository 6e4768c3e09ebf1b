#ifndef IVXFILEUPLOAD_H
#define IVXFILEUPLOAD_H

#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QVariant>
#include <QVector>
#include <QtPlugin>

// The upload plugin's interface, as a host sees it after
//   qobject_cast<IVXFileUpload*>(QPluginLoader("VXFileUpload").instance()).
// The order of the operations is the virtual slot order (0 to 17) and is part of the binary
// contract with hosts: never reorder, never insert. No virtual destructor: the plugin object is
// destroyed through QObject.
//
// A host calls initUploadManager(host) once with a QObject that declares the signals
//   sglUploadFinished(int, QJsonObject)   one final report per job (0 = success)
//   sglUploadProgress(QJsonObject, int)   percent of a job's file, 0 to 100
// and runs the Qt event loop on the thread that loaded the plugin. A job is a JSON object with
// non-empty "localPath", "remotePath" and "bucketName"; "bc_bcode" enables multipart uploads of
// large files; any further key travels with the job to the server and back in the reports.
class IVXFileUpload
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
    virtual QJsonObject getCosFileInfo(QString a, QString b, QString c, QString d) = 0; // 10
    virtual int advanceUploadFile(QString a, QString b, QString c, bool flag) = 0;      // 11
    virtual double getAdvanceUploadProgress() = 0;                                      // 12
    virtual int getcosFileStatus(QString a, QString b, QString c) = 0;                  // 13
    virtual int deleteCosFile(QString a, QString b) = 0;                                // 14
    virtual void uploadFileByPost(QJsonObject job) = 0;                                 // 15
    virtual void stopUploadFileByPost(QString localPath, QString remotePath,
                                      QString bucketName) = 0;                          // 16
    virtual void stopUploadFileByPost(QJsonObject job) = 0;                             // 17
};

#define IVXFileUpload_iid "com.zel.tessel.transferdepot.IVXFileUpload/1.0"
Q_DECLARE_INTERFACE(IVXFileUpload, IVXFileUpload_iid)

#endif // IVXFILEUPLOAD_H
