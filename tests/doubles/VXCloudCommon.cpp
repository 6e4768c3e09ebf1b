// Recording double of the request component: same class and header as the real library, every
// call is recorded in CloudRecorder and nothing is sent anywhere.
#include "VXCloudCommon.h"

#include "CloudRecorder.h"

class VXCloudCommonPrivate
{
};

namespace {

void record(CloudCall call)
{
    CloudRecorder& recorder = CloudRecorder::instance();
    recorder.calls.append(call);
    if (recorder.onCall)
        recorder.onCall(call);
}

CloudCall callOf(VXCloudCommon* component, const QString& op)
{
    CloudCall call;
    call.component = component;
    call.op = op;
    return call;
}

CloudCall apiCallOf(VXCloudCommon* component, const QString& op,
                    const QMap<QString, QString>& params, const QString& api, const QString& host,
                    int flag)
{
    CloudCall call = callOf(component, op);
    call.params = params;
    call.api = api;
    call.host = host;
    call.flag = flag;
    return call;
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

void VXCloudCommon::reservedSlot0() { record(callOf(this, QStringLiteral("reservedSlot0"))); }
void VXCloudCommon::reservedSlot1() { record(callOf(this, QStringLiteral("reservedSlot1"))); }
void VXCloudCommon::reservedSlot2() { record(callOf(this, QStringLiteral("reservedSlot2"))); }
void VXCloudCommon::reservedSlot3() { record(callOf(this, QStringLiteral("reservedSlot3"))); }
void VXCloudCommon::reservedSlot4() { record(callOf(this, QStringLiteral("reservedSlot4"))); }
void VXCloudCommon::reservedSlot7() { record(callOf(this, QStringLiteral("reservedSlot7"))); }
void VXCloudCommon::reservedSlot8() { record(callOf(this, QStringLiteral("reservedSlot8"))); }
void VXCloudCommon::reservedSlot9() { record(callOf(this, QStringLiteral("reservedSlot9"))); }
void VXCloudCommon::reservedSlot10() { record(callOf(this, QStringLiteral("reservedSlot10"))); }
void VXCloudCommon::reservedSlot14() { record(callOf(this, QStringLiteral("reservedSlot14"))); }

void VXCloudCommon::sendCosCenterRequest(const QMap<QString, QString>& params, const QString& api,
                                         const QString& host, int flag)
{
    record(apiCallOf(this, QStringLiteral("sendCosCenterRequest"), params, api, host, flag));
}

void VXCloudCommon::sendApiRequest(const QMap<QString, QString>& params, const QString& api,
                                   const QString& host, int flag)
{
    record(apiCallOf(this, QStringLiteral("sendApiRequest"), params, api, host, flag));
}

void VXCloudCommon::uploadDataByPut(const QString& url, const QByteArray& data,
                                    const QJsonObject& info)
{
    CloudCall call = callOf(this, QStringLiteral("uploadDataByPut"));
    call.url = url;
    call.data = data;
    call.info = info;
    record(call);
}

void VXCloudCommon::uploadFileByPut(const QString& url, const QString& localPath,
                                    const QJsonObject& info)
{
    CloudCall call = callOf(this, QStringLiteral("uploadFileByPut"));
    call.url = url;
    call.localPath = localPath;
    call.info = info;
    record(call);
}

void VXCloudCommon::uploadFileRangeByPut(const QString& url, const QString& localPath,
                                         qint64 offset, qint64 length, const QJsonObject& info)
{
    CloudCall call = callOf(this, QStringLiteral("uploadFileRangeByPut"));
    call.url = url;
    call.localPath = localPath;
    call.offset = offset;
    call.length = length;
    call.info = info;
    record(call);
}

void VXCloudCommon::stopUploadByUrl(const QString& url)
{
    CloudCall call = callOf(this, QStringLiteral("stopUploadByUrl"));
    call.url = url;
    record(call);
}
