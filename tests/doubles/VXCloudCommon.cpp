// Recording double of the request component: same class and header as the real library, every
// call is recorded in CloudRecorder and nothing is sent anywhere.
#include "VXCloudCommon.h"

#include "CloudRecorder.h"

// Calls are built as aggregates that leave the fields of other operations at their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

class VXCloudCommonPrivate
{
};

namespace {

void record(const CloudCall& call)
{
    CloudRecorder& recorder = CloudRecorder::instance();
    recorder.calls.append(call);
    if (recorder.onCall)
        recorder.onCall(call);
}

} // namespace

VXCloudCommon::VXCloudCommon(QObject* parent) : QObject(parent)
{
    CloudRecorder::instance().components.append(this);
}

VXCloudCommon::~VXCloudCommon()
{
    CloudRecorder::instance().components.removeAll(this);
}

void VXCloudCommon::reservedSlot0() { record({this, "reservedSlot0"}); }
void VXCloudCommon::reservedSlot1() { record({this, "reservedSlot1"}); }
void VXCloudCommon::reservedSlot2() { record({this, "reservedSlot2"}); }
void VXCloudCommon::reservedSlot3() { record({this, "reservedSlot3"}); }
void VXCloudCommon::reservedSlot4() { record({this, "reservedSlot4"}); }
void VXCloudCommon::reservedSlot7() { record({this, "reservedSlot7"}); }
void VXCloudCommon::reservedSlot8() { record({this, "reservedSlot8"}); }
void VXCloudCommon::reservedSlot9() { record({this, "reservedSlot9"}); }
void VXCloudCommon::reservedSlot10() { record({this, "reservedSlot10"}); }

void VXCloudCommon::sendCosCenterRequest(const QMap<QString, QString>& params, const QString& api,
                                         const QString& host, int flag)
{
    record({this, "sendCosCenterRequest", params, api, host, flag});
}

void VXCloudCommon::sendApiRequest(const QMap<QString, QString>& params, const QString& api,
                                   const QString& host, int flag)
{
    record({this, "sendApiRequest", params, api, host, flag});
}

void VXCloudCommon::uploadDataByPut(const QString& url, const QByteArray&, const QJsonObject& info)
{
    record({this, "uploadDataByPut", {}, {}, {}, 0, url, {}, 0, 0, info});
}

void VXCloudCommon::uploadFileByPut(const QString& url, const QString& localPath,
                                    const QJsonObject& info)
{
    record({this, "uploadFileByPut", {}, {}, {}, 0, url, localPath, 0, 0, info});
}

void VXCloudCommon::uploadFileRangeByPut(const QString& url, const QString& localPath,
                                         qint64 offset, qint64 length, const QJsonObject& info)
{
    record({this, "uploadFileRangeByPut", {}, {}, {}, 0, url, localPath, offset, length, info});
}

void VXCloudCommon::setRetryableApis(const QStringList&) {} // retries are the real component's

void VXCloudCommon::stopUploadByUrl(const QString& url)
{
    record({this, "stopUploadByUrl", {}, {}, {}, 0, url});
}
