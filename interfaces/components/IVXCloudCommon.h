#ifndef IVXCLOUDCOMMON_H
#define IVXCLOUDCOMMON_H

#include <QByteArray>
#include <QJsonObject>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QtPlugin>

// The request component as the upload plugin calls it. The virtual slot numbers are part of the
// binary contract between the plugin and any build of the component: the operations sit in slots
// 5, 6, 11, 12, 13, 14 and 15, and every other slot up to 15 is reserved. Reserved slots must never be
// removed or reordered. There is deliberately no virtual destructor (it would take a slot);
// objects are destroyed through QObject.
//
// Contract of the operations (all answers are signals of the implementing QObject, emitted later
// from the event loop of the component's thread, never from inside the call):
// - sendCosCenterRequest / sendApiRequest: exactly one sglHttpRequestFinishWithInfo or
//   sglHttpRequestErrorWithInfo, carrying the same params and api. An empty host means the
//   component's configured default host. The flag is reserved and always 0. A parameter whose
//   name begins with IVXCloudCommon_localParamPrefix is the caller's own bookkeeping: it comes
//   back with the answer or failure but is never sent.
// - uploadDataByPut / uploadFileByPut: any number of sglUploadProgress(info, percent), then one
//   sglUploadFinished(info, res), res 0 on success. A successful PUT copies the storage's "ETag"
//   response header into the echoed info.
// - uploadFileRangeByPut: as uploadFileByPut, for the `length` bytes of the file that start at
//   `offset` (one part of a multipart upload): read from disk as the request sends them.
// - setRetryableApis: the API paths that are safe to send again after a transient failure
//   (nothing is created twice by repeating them); other API requests are sent once. PUTs are
//   always retryable. Applies to requests sent after the call.
// - stopUploadByUrl: aborts the PUT to that URL; nothing is emitted for it afterwards.
class IVXCloudCommon
{
public:
    virtual void reservedSlot0() = 0;
    virtual void reservedSlot1() = 0;
    virtual void reservedSlot2() = 0;
    virtual void reservedSlot3() = 0;
    virtual void reservedSlot4() = 0;
    virtual void sendCosCenterRequest(const QMap<QString, QString>& params, const QString& api,
                                      const QString& host, int flag) = 0; // slot 5
    virtual void sendApiRequest(const QMap<QString, QString>& params, const QString& api,
                                const QString& host, int flag) = 0; // slot 6
    virtual void reservedSlot7() = 0;
    virtual void reservedSlot8() = 0;
    virtual void reservedSlot9() = 0;
    virtual void reservedSlot10() = 0;
    virtual void uploadDataByPut(const QString& url, const QByteArray& data,
                                 const QJsonObject& info) = 0; // slot 11
    virtual void uploadFileByPut(const QString& url, const QString& localPath,
                                 const QJsonObject& info) = 0; // slot 12
    virtual void uploadFileRangeByPut(const QString& url, const QString& localPath,
                                      qint64 offset, qint64 length,
                                      const QJsonObject& info) = 0; // slot 13
    virtual void setRetryableApis(const QStringList& apis) = 0; // slot 14
    virtual void stopUploadByUrl(const QString& url) = 0; // slot 15
};

#define IVXCloudCommon_localParamPrefix "vx:"
#define IVXCloudCommon_iid "com.zel.tessel.transferdepot.IVXCloudCommon/1.0"
Q_DECLARE_INTERFACE(IVXCloudCommon, IVXCloudCommon_iid)

#endif // IVXCLOUDCOMMON_H
