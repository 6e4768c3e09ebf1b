// VXCloudCommon: the HTTP(S) request component, on libcurl's multi interface driven by the Qt
// event loop (see VXCloudCommon_p.h, VXCurlMultiDriver.h, VXCurlTransfer.h).
//
// Configuration, read once when a component is created. An environment variable wins over the
// INI key; the INI file is "fileUpload.ini" in the application directory.
//
//   environment                    INI key                         default
//   VXUPLOAD_API_HOST              [HostInformation] apiHost       [HostInformation] cloudHost
//       default host of API requests whose host argument is empty ("http://host:port" or a bare
//       host name, which means https)
//   VXUPLOAD_TOKEN                 [HostInformation] token         none
//       bearer token sent as "Authorization: Bearer ..." on API requests only, never on PUTs;
//       a set but empty VXUPLOAD_TOKEN switches an INI token off
//   VXUPLOAD_CONNECT_TIMEOUT_SEC   [Network] connectTimeoutSec     30
//   VXUPLOAD_STALL_TIMEOUT_SEC     [Network] stallTimeoutSec       60
//       a request that moves no byte in either direction for this long fails with -1028
//       (time-out), noticed within a quarter of a second
//   VXUPLOAD_RETRIES               [Network] retries               2 (0 .. 10)
//       extra attempts for PUTs, "api/bucket/fileuploadurl" and
//       "coscenter/v1/bucket/completemultipart" after a transient failure (connect failure,
//       reset, empty reply, time-out, HTTP 5xx or 429); never for other API requests such as
//       "coscenter/v1/bucket/initmultipart". Attempts are counted on the wire: a request libcurl
//       sends again by itself on a fresh connection counts too, so no request is sent more than
//       retries + 1 times.
//   VXUPLOAD_RETRY_DELAY_MS        [Network] retryDelayMs          500
//       first back-off; it doubles per attempt, capped at 8 s (or this value when larger)
//   VXUPLOAD_CA_FILE               [Network] caFile                system CA store
//       extra CA bundle (PEM) for HTTPS; certificate verification is never switched off
//
// Result codes: see VXResultCodes.h (0, HTTP status, -(1000 + CURLcode), -2001 file unreadable,
// -2002 empty or unusable URL, -2003 reply is not a JSON object).
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

void VXCloudCommon::reservedSlot14() { reservedSlotCalled(14); }

void VXCloudCommon::stopUploadByUrl(const QString& url)
{
    d->stopByUrl(url);
}
