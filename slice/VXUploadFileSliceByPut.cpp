#include "VXUploadFileSliceByPut.h"

#include "VXCloudCommon.h"
#include "VXResultCodes.h"

#include <QDateTime>
#include <QJsonValue>
#include <QLoggingCategory>
#include <QStringList>
#include <QUrl>
#include <QUrlQuery>
#include <QtDebug>

Q_LOGGING_CATEGORY(lcSliceUploader, "vx.sliceuploader", QtWarningMsg)

namespace {

const QString kSliceMark = QStringLiteral("slice_mark");
constexpr int kMaxPartsInFlight = 16;
constexpr qint64 kMaxExpiryMarginSec = 300;
// Fresh URLs that still look as if they ran out (a clock far off the server's) are used
// anyway after this many refreshes in a row: the storage has the last word.
constexpr int kMaxRefreshesInARow = 2;

// When a SigV4 pre-signed URL stops being valid, and the margin before that in which it is no
// longer worth starting a part with it; false for a URL that does not say.
bool expiryOf(const QString& url, QDateTime* expiry, qint64* marginSec)
{
    const QUrlQuery query(QUrl(url).query());
    const QDateTime signedAt = QDateTime::fromString(query.queryItemValue("X-Amz-Date"),
                                                     QStringLiteral("yyyyMMdd'T'HHmmss'Z'"));
    bool ok = false;
    const qint64 lifetimeSec = query.queryItemValue("X-Amz-Expires").toLongLong(&ok);
    if (!signedAt.isValid() || !ok || lifetimeSec <= 0)
        return false;
    *expiry = QDateTime(signedAt.date(), signedAt.time(), Qt::UTC).addSecs(lifetimeSec);
    *marginSec = qMin(kMaxExpiryMarginSec, lifetimeSec / 4);
    return true;
}

bool expiresSoon(const QString& url)
{
    QDateTime expiry;
    qint64 marginSec = 0;
    return expiryOf(url, &expiry, &marginSec) &&
           QDateTime::currentDateTimeUtc().secsTo(expiry) <= marginSec;
}

} // namespace

VXUploadFileSliceByPut::VXUploadFileSliceByPut(QObject* parent) : QObject(parent)
{
    m_pCloudCommon = new VXCloudCommon(this);
    connect(m_pCloudCommon, &VXCloudCommon::sglUploadFinished, this,
            &VXUploadFileSliceByPut::slotUploadFinished);
    connect(m_pCloudCommon, &VXCloudCommon::sglUploadProgress, this,
            &VXUploadFileSliceByPut::slotUploadProgress);
}

IVXCloudCommon* VXUploadFileSliceByPut::cloud() const
{
    return m_pCloudCommon;
}

void VXUploadFileSliceByPut::setMaxSliceUploadCount(int count)
{
    m_iMaxSliceUploadCount = qBound(1, count, kMaxPartsInFlight);
}

void VXUploadFileSliceByPut::setStoredParts(const QMap<int, QString>& etags)
{
    for (auto it = etags.cbegin(); it != etags.cend(); ++it)
        m_sliceETagMap.insert(it.key() - 1, it.value());
}

void VXUploadFileSliceByPut::setPartUrls(const QJsonArray& partUrls, const QString& authorization)
{
    if (!m_waitingForUrls)
        return;
    m_waitingForUrls = false;
    if (partUrls.size() >= m_iSliceCount) {
        m_partUrls = partUrls;
        m_jsonInfo.insert(QStringLiteral("partUrl"), partUrls);
        m_jsonInfo.insert(QStringLiteral("authorization"), authorization);
    }
    uploadNextSlice();
    finishIfDone();
}

void VXUploadFileSliceByPut::uploadFileBySlice(const QJsonObject& jsonInfo)
{
    m_jsonInfo = jsonInfo;
    m_partUrls = jsonInfo.value(QStringLiteral("partUrl")).toArray();
    m_filePath = jsonInfo.value(QStringLiteral("filePath")).toString();
    m_sliceLen = jsonInfo.value(QStringLiteral("sliceLen")).toString().toLongLong(nullptr, 10);
    m_fileIdentity = VXFileIdentity::of(m_filePath);
    m_fileSize = m_fileIdentity.size();

    m_starting = true;
    const qint64 slices = m_sliceLen > 0 ? (m_fileSize + m_sliceLen - 1) / m_sliceLen : 0;
    if (!m_fileIdentity.isPlainFile() || slices == 0) {
        qCWarning(lcSliceUploader).noquote()
            << "VXUploadFileSliceByPut::uploadFileBySlice: no slice to send: file" << m_filePath
            << (m_fileIdentity.isValid() ? "" : "(missing)") << "size" << m_fileSize << "sliceLen"
            << m_sliceLen;
        failUpload(VXResult::NoSliceRead);
    } else if (slices > m_partUrls.size()) {
        qCWarning(lcSliceUploader).noquote()
            << "VXUploadFileSliceByPut::uploadFileBySlice:" << slices << "slices of" << m_filePath
            << "but" << m_partUrls.size() << "part URLs";
        failUpload(VXResult::TooFewPartUrls);
    } else {
        m_iSliceCount = int(slices);
        const QMap<int, QString> stored = m_sliceETagMap;
        m_sliceETagMap.clear();
        for (auto it = stored.cbegin(); it != stored.cend(); ++it) {
            if (it.key() >= 0 && it.key() < m_iSliceCount)
                m_sliceETagMap.insert(it.key(), it.value());
        }
        m_iFinishedBytes = qint64(m_sliceETagMap.size()) * m_sliceLen;
        uploadNextSlice();
        if (!m_sliceETagMap.isEmpty()) {
            // The share stored before, and the end when nothing was left to send, come from
            // the event loop: the owner has the uploader registered by then.
            QMetaObject::invokeMethod(
                this,
                [this]() {
                    reportProgress();
                    finishIfDone();
                },
                Qt::QueuedConnection);
        }
    }
    m_starting = false;
}

void VXUploadFileSliceByPut::stopUploadFileBySlice()
{
    // Everything is forgotten before the aborts go out: a component that reports the abort from
    // inside stopUploadByUrl then finds no part of ours and the report is dropped.
    const QStringList uploadingUrls = m_uploadingSliceMap.keys();
    m_iNextSlice = m_iSliceCount;
    m_sliceETagMap.clear();
    m_resendList.clear();
    m_waitingForUrls = false;
    m_uploadingSliceMap.clear();
    m_sliceProgressMap.clear();
    m_jsonInfo = QJsonObject();
    m_fileSize = 0;
    m_iPendingFailure = 0;
    m_pendingReport = QJsonObject();
    for (const QString& url : uploadingUrls)
        cloud()->stopUploadByUrl(url);
}

void VXUploadFileSliceByPut::failUpload(int res)
{
    const QJsonObject report = m_jsonInfo;
    stopUploadFileBySlice();
    if (!m_starting) {
        emit sglUploadFinished(report, res);
        return;
    }
    // Reported once the owner has the uploader registered, and only if no stop comes first.
    m_iPendingFailure = res;
    m_pendingReport = report;
    QMetaObject::invokeMethod(
        this, [this]() { reportPendingFailure(); }, Qt::QueuedConnection);
}

void VXUploadFileSliceByPut::reportPendingFailure()
{
    const int res = m_iPendingFailure;
    const QJsonObject report = m_pendingReport;
    m_iPendingFailure = 0;
    m_pendingReport = QJsonObject();
    if (res != 0)
        emit sglUploadFinished(report, res);
}

bool VXUploadFileSliceByPut::fileUnchanged() const
{
    if (VXFileIdentity::of(m_filePath) == m_fileIdentity)
        return true;
    qCWarning(lcSliceUploader).noquote()
        << "VXUploadFileSliceByPut:" << m_filePath
        << "changed during its upload (size, time, inode or device); the upload fails";
    return false;
}

void VXUploadFileSliceByPut::uploadNextSlice()
{
    while (m_uploadingSliceMap.size() < m_iMaxSliceUploadCount && !m_waitingForUrls) {
        const bool resend = !m_resendList.isEmpty();
        while (!resend && m_iNextSlice < m_iSliceCount && m_sliceETagMap.contains(m_iNextSlice))
            ++m_iNextSlice; // stored before
        if (!resend && m_iNextSlice >= m_iSliceCount)
            return;
        const int index = resend ? m_resendList.first() : m_iNextSlice;
        if (!fileUnchanged()) {
            failUpload(VXResult::FileChanged);
            return;
        }
        if (m_iRefreshesInARow < kMaxRefreshesInARow &&
            expiresSoon(m_partUrls.at(index).toString())) {
            askForPartUrls();
            return;
        }
        if (resend)
            m_resendList.removeFirst();
        else
            ++m_iNextSlice;
        m_iRefreshesInARow = 0;
        sendSlice(index);
    }
}

void VXUploadFileSliceByPut::askForPartUrls()
{
    if (m_waitingForUrls)
        return;
    m_waitingForUrls = true;
    ++m_iRefreshesInARow;
    qCInfo(lcSliceUploader).noquote()
        << "VXUploadFileSliceByPut:" << m_filePath << "asks for fresh part URLs";
    const QJsonObject report = m_jsonInfo;
    emit sglPartUrlsNeeded(report);
}

void VXUploadFileSliceByPut::sendSlice(int index)
{
    // The part's state is complete before its request goes out: a component that answers from
    // inside the call re-enters slotUploadFinished, which must find the part in flight.
    const QString url = m_partUrls.at(index).toString();
    const qint64 offset = qint64(index) * m_sliceLen;
    const qint64 length = qMin(m_sliceLen, m_fileSize - offset);
    QJsonObject info = m_jsonInfo;
    info.insert(kSliceMark, url);
    m_sliceProgressMap[url] = 0;
    m_uploadingSliceMap[url] = index;
    cloud()->uploadFileRangeByPut(url, m_filePath, offset, length, info);
}

bool VXUploadFileSliceByPut::isPartInFlight(const QJsonObject& report, QString* url) const
{
    if (!report.contains(kSliceMark))
        return false;
    *url = report.value(kSliceMark).toString();
    return m_uploadingSliceMap.contains(*url);
}

void VXUploadFileSliceByPut::slotUploadProgress(const QJsonObject& info, int iProgress)
{
    QString url;
    if (!isPartInFlight(info, &url))
        return;
    // A part's percent never goes down, so neither does the sum.
    m_sliceProgressMap[url] = qBound(m_sliceProgressMap.value(url), iProgress, 100);
    reportProgress();
}

void VXUploadFileSliceByPut::reportProgress()
{
    if (m_fileSize <= 0)
        return;
    // Every part counts at the full slice length, the shorter last one included; the percent
    // this gives near the end can pass 100 and is then not reported.
    qint64 uploaded = m_iFinishedBytes;
    for (const int percent : qAsConst(m_sliceProgressMap))
        uploaded += qint64(percent) * m_sliceLen / 100;
    const qint64 percent = uploaded * 100 / m_fileSize;
    if (percent > 100 || percent <= m_iLastPercent)
        return;
    m_iLastPercent = int(percent);
    const QJsonObject report = m_jsonInfo;
    emit sglUploadProgress(report, m_iLastPercent);
}

void VXUploadFileSliceByPut::slotUploadFinished(const QJsonObject& jsonInfo, int res)
{
    QString url;
    if (!isPartInFlight(jsonInfo, &url))
        return;

    const int index = m_uploadingSliceMap.value(url);
    if (res == 403 && expiresSoon(url) && !m_refreshedSet.contains(index)) {
        // Refused because its URL ran out: sent once more, with a fresh one.
        m_uploadingSliceMap.remove(url);
        m_sliceProgressMap.remove(url);
        m_refreshedSet.insert(index);
        m_resendList.append(index);
        if (m_partUrls.at(index).toString() == url)
            askForPartUrls();
        else
            uploadNextSlice();
        return;
    }
    if (res != 0) {
        // The first failed part fails the file: the other parts are aborted, none is retried
        // here (the request component has retried transient failures already).
        qCWarning(lcSliceUploader).noquote()
            << "VXUploadFileSliceByPut: part" << m_uploadingSliceMap.value(url) + 1 << "of"
            << m_iSliceCount << "failed:" << VXResult::text(res);
        failUpload(res);
        return;
    }

    QString etag = jsonInfo.value(QStringLiteral("ETag")).toString();
    etag.remove(QLatin1Char('"'));
    m_sliceETagMap[m_uploadingSliceMap.take(url)] = etag;
    m_sliceProgressMap.remove(url);
    m_iFinishedBytes += m_sliceLen;
    const QJsonObject report = m_jsonInfo;
    emit sglPartStored(report, index + 1, etag);

    uploadNextSlice();
    finishIfDone();
}

void VXUploadFileSliceByPut::finishIfDone()
{
    if (m_reported || m_iSliceCount == 0 || m_sliceETagMap.size() < m_iSliceCount ||
        !m_uploadingSliceMap.isEmpty() || !m_resendList.isEmpty())
        return;
    if (!fileUnchanged()) {
        failUpload(VXResult::FileChanged);
        return;
    }
    reportSuccess();
}

void VXUploadFileSliceByPut::reportSuccess()
{
    m_reported = true;
    QStringList parts;
    parts.reserve(m_sliceETagMap.size());
    for (auto it = m_sliceETagMap.cbegin(); it != m_sliceETagMap.cend(); ++it)
        parts.append(QString::number(it.key() + 1) + QLatin1Char(',') + it.value());
    m_jsonInfo.insert(QStringLiteral("pathinfo"), parts.join(QLatin1Char(';')));
    const QJsonObject report = m_jsonInfo;
    emit sglUploadFinished(report, 0);
}
