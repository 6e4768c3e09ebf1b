#include "VXUploadFileSliceByPut.h"

#include "VXCloudCommon.h"
#include "VXResultCodes.h"

#include <QJsonValue>
#include <QLoggingCategory>
#include <QStringList>
#include <QtDebug>

Q_LOGGING_CATEGORY(lcSliceUploader, "vx.sliceuploader", QtWarningMsg)

namespace {

const QString kSliceMark = QStringLiteral("slice_mark");
constexpr int kMaxPartsInFlight = 16;

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

void VXUploadFileSliceByPut::uploadFileBySlice(const QJsonObject& jsonInfo)
{
    m_jsonInfo = jsonInfo;
    m_partUrls = jsonInfo.value(QStringLiteral("partUrl")).toArray();
    m_filePath = jsonInfo.value(QStringLiteral("filePath")).toString();
    m_sliceLen = jsonInfo.value(QStringLiteral("sliceLen")).toString().toInt(nullptr, 10);
    m_fileIdentity = VXFileIdentity::of(m_filePath);
    m_fileSize = m_fileIdentity.size();

    m_starting = true;
    const qint64 slices = m_sliceLen > 0 ? (m_fileSize + m_sliceLen - 1) / m_sliceLen : 0;
    if (!m_fileIdentity.isPlainFile() || slices == 0) {
        qCWarning(lcSliceUploader).noquote()
            << "VXUploadFileSliceByPut::uploadFileBySlice: no slice to send: file" << m_filePath
            << (m_fileIdentity.isValid() ? "" : "(missing)") << "size" << m_fileSize
            << "sliceLen" << m_sliceLen;
        failUpload(VXResult::NoSliceRead);
    } else if (slices > m_partUrls.size()) {
        qCWarning(lcSliceUploader).noquote()
            << "VXUploadFileSliceByPut::uploadFileBySlice:" << slices << "slices of"
            << m_filePath << "but" << m_partUrls.size() << "part URLs";
        failUpload(VXResult::TooFewPartUrls);
    } else {
        m_iSliceCount = int(slices);
        uploadNextSlice();
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
    while (m_uploadingSliceMap.size() < m_iMaxSliceUploadCount && m_iNextSlice < m_iSliceCount) {
        if (!fileUnchanged()) {
            failUpload(VXResult::FileChanged);
            return;
        }
        sendSlice(m_iNextSlice++);
    }
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
    if (!isPartInFlight(info, &url) || m_fileSize <= 0)
        return;
    // A part's percent never goes down, so neither does the sum.
    m_sliceProgressMap[url] = qBound(m_sliceProgressMap.value(url), iProgress, 100);

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

    if (m_iNextSlice < m_iSliceCount) {
        uploadNextSlice();
        return;
    }
    if (!m_uploadingSliceMap.isEmpty()) {
        qCInfo(lcSliceUploader) << "VXUploadFileSliceByPut::slotUploadFinished"
                                << "parts in flight:" << m_uploadingSliceMap.size();
        return;
    }
    if (!fileUnchanged()) {
        failUpload(VXResult::FileChanged);
        return;
    }
    reportSuccess();
}

void VXUploadFileSliceByPut::reportSuccess()
{
    QStringList parts;
    parts.reserve(m_sliceETagMap.size());
    for (auto it = m_sliceETagMap.cbegin(); it != m_sliceETagMap.cend(); ++it)
        parts.append(QString::number(it.key() + 1) + QLatin1Char(',') + it.value());
    m_jsonInfo.insert(QStringLiteral("pathinfo"), parts.join(QLatin1Char(';')));
    const QJsonObject report = m_jsonInfo;
    emit sglUploadFinished(report, 0);
}
