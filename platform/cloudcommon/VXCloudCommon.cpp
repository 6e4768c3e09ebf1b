// VXCloudCommon: the HTTP(S) request component, on libcurl's multi interface driven by the Qt
// event loop (see VXCloudCommon_p.h, VXCurlMultiDriver.h, VXCurlTransfer.h).
//
// Its settings (hosts, token, time-outs, retries, CA bundle) are listed in VXSettings.h and
// read by VXCloudCommonConfig. Result codes: see VXResultCodes.h.
#include "VXCloudCommon.h"

#include "VXCloudCommonLog.h"
#include "VXCloudCommon_p.h"

Q_LOGGING_CATEGORY(lcCloudCommon, "vx.cloudcommon", QtWarningMsg)

namespace {

void reservedSlotCalled(int slot)
{
    qCWarning(lcCloudCommon) << "VXCloudCommon: reserved slot" << slot << "called; ignored";
}

} // namespace

VXCloudCommon::VXCloudCommon(QObject* parent)
    : QObject(parent), d(std::make_unique<VXCloudCommonPrivate>(this))
{
}

VXCloudCommon::~VXCloudCommon() = default;

void VXCloudCommon::reservedSlot0() { reservedSlotCalled(0); }
void VXCloudCommon::reservedSlot1() { reservedSlotCalled(1); }
void VXCloudCommon::reservedSlot2() { reservedSlotCalled(2); }
void VXCloudCommon::reservedSlot3() { reservedSlotCalled(3); }
void VXCloudCommon::reservedSlot4() { reservedSlotCalled(4); }

void VXCloudCommon::sendCosCenterRequest(const QMap<QString, QString>& params, const QString& api,
                                         const QString& host, int /*flag: reserved*/)
{
    d->sendApi(params, api, host);
}

void VXCloudCommon::sendApiRequest(const QMap<QString, QString>& params, const QString& api,
                                   const QString& host, int /*flag: reserved*/)
{
    d->sendApi(params, api, host);
}

void VXCloudCommon::reservedSlot7() { reservedSlotCalled(7); }
void VXCloudCommon::reservedSlot8() { reservedSlotCalled(8); }
void VXCloudCommon::reservedSlot9() { reservedSlotCalled(9); }
void VXCloudCommon::reservedSlot10() { reservedSlotCalled(10); }

void VXCloudCommon::uploadDataByPut(const QString& url, const QByteArray& data,
                                    const QJsonObject& info)
{
    d->putData(url, data, info);
}

void VXCloudCommon::uploadFileByPut(const QString& url, const QString& localPath,
                                    const QJsonObject& info)
{
    d->putFile(url, localPath, info);
}

void VXCloudCommon::uploadFileRangeByPut(const QString& url, const QString& localPath,
                                         qint64 offset, qint64 length, const QJsonObject& info)
{
    d->putFileRange(url, localPath, offset, length, info);
}

void VXCloudCommon::setRetryableApis(const QStringList& apis)
{
    d->setRetryableApis(apis);
}

void VXCloudCommon::stopUploadByUrl(const QString& url)
{
    d->stopByUrl(url);
}
