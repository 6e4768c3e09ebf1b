#include "VXRetryPolicy.h"

#include "VXResultCodes.h"

#include <QFileInfo>

namespace {

// A field the plugin adds to a report made from one of its server requests.
bool addedByRequest(const QJsonObject& report, const QJsonObject& job, const char* name)
{
    const QLatin1String key(name);
    return report.contains(key) && !job.contains(key);
}

} // namespace

bool VXRetryPolicy::isTransient(int code, const QJsonObject& report, const QJsonObject& job)
{
    switch (code) {
    case VXResult::ProxyNotResolved:
    case VXResult::HostNotFound:
    case VXResult::ConnectFailed:
    case VXResult::WeirdServerReply:
    case VXResult::PartialFile:
    case VXResult::TimedOut:
    case VXResult::EmptyReply:
    case VXResult::SendFailed:
    case VXResult::ReceiveFailed:
        return true;
    case VXResult::ManagerFailure: {
        const QString localPath = report.value(QLatin1String("localPath")).toString();
        if (localPath.isEmpty() || !QFileInfo::exists(localPath))
            return false;
        return addedByRequest(report, job, "uploadMethod") ||
               addedByRequest(report, job, "uploadid");
    }
    default:
        return code == 429 || (code >= 500 && code <= 599);
    }
}

int VXRetryPolicy::pauseMs(int retry)
{
    qint64 pause = kFirstPauseMs;
    for (int i = 1; i < retry && pause < kMaxPauseMs; ++i)
        pause *= 2;
    return int(qMin<qint64>(pause, kMaxPauseMs));
}
