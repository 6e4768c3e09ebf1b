#ifndef VXCLOUDCOMMON_H
#define VXCLOUDCOMMON_H

#include "IVXCloudCommon.h"

#include <QObject>
#include <memory>

#if defined(VXCLOUDCOMMON_LIBRARY)
#define VXCLOUDCOMMON_EXPORT Q_DECL_EXPORT
#else
#define VXCLOUDCOMMON_EXPORT Q_DECL_IMPORT
#endif

class VXCloudCommonPrivate;

// HTTP request component. Lives on the thread that creates it: every operation is called there,
// it is destroyed there, and every signal is emitted from that thread's event loop. The work
// itself (opening and reading files, hashing bodies, the transfers) runs on worker threads that
// the component library owns, shared by all components of the process; destroying a component
// ends its requests there without a signal. The implementation sits behind one private
// pointer, so that another build of libVXCloudCommon can replace this one without recompiling
// the plugin. Result codes are listed in VXResultCodes.h.
class VXCLOUDCOMMON_EXPORT VXCloudCommon : public QObject, public IVXCloudCommon
{
    Q_OBJECT
    Q_INTERFACES(IVXCloudCommon)

public:
    explicit VXCloudCommon(QObject* parent = nullptr);
    ~VXCloudCommon() override;

    void reservedSlot0() override;
    void reservedSlot1() override;
    void reservedSlot2() override;
    void reservedSlot3() override;
    void reservedSlot4() override;
    void sendCosCenterRequest(const QMap<QString, QString>& params, const QString& api,
                              const QString& host, int flag) override;
    void sendApiRequest(const QMap<QString, QString>& params, const QString& api,
                        const QString& host, int flag) override;
    void reservedSlot7() override;
    void reservedSlot8() override;
    void reservedSlot9() override;
    void reservedSlot10() override;
    void uploadDataByPut(const QString& url, const QByteArray& data,
                         const QJsonObject& info) override;
    void uploadFileByPut(const QString& url, const QString& localPath,
                         const QJsonObject& info) override;
    void uploadFileRangeByPut(const QString& url, const QString& localPath, qint64 offset,
                              qint64 length, const QJsonObject& info) override;
    void setRetryableApis(const QStringList& apis) override;
    void stopUploadByUrl(const QString& url) override;

signals:
    void sglHttpRequestFinishWithInfo(const QMap<QString, QString>& params, const QString& api,
                                      const QJsonObject& jsonObj, const QString& requestUrl);
    void sglHttpRequestErrorWithInfo(const QMap<QString, QString>& params, const QString& api,
                                     int code, const QString& msg);
    void sglUploadFinished(const QJsonObject& jsonInfo, int res);
    void sglUploadProgress(const QJsonObject& jsonInfo, int progress);

private:
    Q_DISABLE_COPY(VXCloudCommon)
    std::unique_ptr<VXCloudCommonPrivate> d;
};

#endif // VXCLOUDCOMMON_H
