#ifndef VXFILEUPLOAD_H
#define VXFILEUPLOAD_H

#include "IVXFileUpload.h"

#include <QObject>

#if defined(VXFILEUPLOAD_LIBRARY)
#define VXFILEUPLOAD_EXPORT Q_DECL_EXPORT
#else
#define VXFILEUPLOAD_EXPORT Q_DECL_IMPORT
#endif

class IVXFileUploadBySdk;
class VXUploadByPutManager;

// Root object of the upload plugin. Holds no upload logic: each operation goes either to the
// sibling SDK uploader (plugin "VXFileUploadBySdk", loaded at construction when present) or to
// the upload manager that the first initUploadManager() creates. Operations ending in ByPost
// always use the manager; the query operations exist only on the SDK uploader and return a fixed
// default without it (-1, 0.0, a null string, an empty object).
class VXFILEUPLOAD_EXPORT VXFileUpload : public QObject, public IVXFileUpload
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "TransferDepot.VXFileUpload.Plugin")
    Q_INTERFACES(IVXFileUpload)

public:
    explicit VXFileUpload(QObject* parent = nullptr);

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
    QJsonObject getCosFileInfo(QString a, QString b, QString c, QString d) override;
    int advanceUploadFile(QString a, QString b, QString c, bool flag) override;
    double getAdvanceUploadProgress() override;
    int getcosFileStatus(QString a, QString b, QString c) override;
    int deleteCosFile(QString a, QString b) override;
    void uploadFileByPost(QJsonObject job) override;
    void stopUploadFileByPost(QString localPath, QString remotePath, QString bucketName) override;
    void stopUploadFileByPost(QJsonObject job) override;

    // Manager-only forms of the shared operations, whatever the SDK uploader.
    void initUploadByPutManager(QObject* host);
    void stopUploadFileByPost();
    void stopUploadFileListByPost();
    void uploadFileListByPost(const QVector<QVariant>& jobList);
    void uploadFileListByPost(QJsonArray jobArray);

private:
    VXUploadByPutManager* m_pUploadByPutManager = nullptr;
    IVXFileUploadBySdk* m_pFileUploadBySdk = nullptr;
};

#endif // VXFILEUPLOAD_H
