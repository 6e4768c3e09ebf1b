#include "VXUploadFileSliceByPut.h"

#include "VXCloudCommon.h"
#include "VXResultCodes.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonValue>
#include <QLoggingCategory>
#include <QStringList>
#include <QtDebug>

Q_LOGGING_CATEGORY(lcSliceUploader, "vx.sliceuploader", QtWarningMsg)

namespace {

const QString kSliceMark = QStringLiteral("slice_mark");

// percent * sliceLen as the 32-bit product the progress arithmetic is defined on; computed
// unsigned so that a slice length beyond the supported bound wraps instead of being undefined.
qint32 product32(int percent, int sliceLen)
{
    return static_cast<qint32>(static_cast<quint32>(percent) * static_cast<quint32>(sliceLen));
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

void VXUploadFileSliceByPut::uploadFileBySlice(const QJsonObject& jsonInfo)
{
    m_jsonInfo = jsonInfo;
    const QJsonArray partUrls = jsonInfo.value(QStringLiteral("partUrl")).toArray();
    const QString filePath = jsonInfo.value(QStringLiteral("filePath")).toString();
    const int sliceLen = jsonInfo.value(QStringLiteral("sliceLen")).toString().toInt(nullptr, 10);

    // The whole file is read before the first part goes out. An empty path, a file that cannot
    // be opened and a slice length below 1 all yield no slice.
    bool tooFewPartUrls = false;
    if (!filePath.isEmpty() && sliceLen > 0) {
        QFile file(filePath);
        file.open(QIODevice::ReadOnly);
        for (int i = 0;; ++i) {
            const QByteArray bytes = file.read(sliceLen);
            if (bytes.isEmpty())
                break;
            if (i >= partUrls.size()) {
                tooFewPartUrls = true;
                break;
            }
            const QString url = partUrls.at(i).toString();
            m_waitSliceMap[url] = bytes;
            m_sliceIndexMap[url] = i;
        }
        file.close();
        m_fileSize = QFileInfo(filePath).size();
    }

    if (tooFewPartUrls || m_waitSliceMap.isEmpty()) {
        // Without a report the owner's job would wait forever. The report is queued so that it
        // reaches the owner after it has registered this object, and a stop can still cancel it.
        m_waitSliceMap.clear();
        m_sliceIndexMap.clear();
        m_iPendingFailure = tooFewPartUrls ? VXResult::TooFewPartUrls : VXResult::NoSliceRead;
        qCWarning(lcSliceUploader).noquote()
            << "VXUploadFileSliceByPut::uploadFileBySlice:" << VXResult::text(m_iPendingFailure)
            << "- file" << filePath << "sliceLen" << sliceLen << "part URLs" << partUrls.size();
        QMetaObject::invokeMethod(
            this, [this]() { reportPendingFailure(); }, Qt::QueuedConnection);
        return;
    }
    uploadNextSlice();
}

void VXUploadFileSliceByPut::stopUploadFileBySlice()
{
    // Everything is forgotten before the aborts go out: a component that reports the abort from
    // inside stopUploadByUrl then finds no part of ours and the report is dropped.
    const QStringList uploadingUrls = m_uploadingSliceMap.keys();
    m_waitSliceMap.clear();
    m_sliceETagMap.clear();
    m_uploadingSliceMap.clear();
    m_sliceProgressMap.clear();
    m_jsonInfo = QJsonObject();
    m_fileSize = 0;
    m_iPendingFailure = 0;
    for (const QString& url : uploadingUrls)
        cloud()->stopUploadByUrl(url);
}

void VXUploadFileSliceByPut::reportPendingFailure()
{
    const int res = m_iPendingFailure;
    if (res == 0)
        return; // stopped before the report was due
    const QJsonObject report = m_jsonInfo;
    stopUploadFileBySlice();
    emit sglUploadFinished(report, res);
}

void VXUploadFileSliceByPut::uploadNextSlice()
{
    // Each part's state is complete before its request goes out: a component that answers from
    // inside uploadDataByPut re-enters slotUploadFinished, which must not see the part waiting.
    while (m_uploadingSliceMap.size() < m_iMaxSliceUploadCount && !m_waitSliceMap.isEmpty()) {
        const QString url = m_waitSliceMap.firstKey();
        const QByteArray bytes = m_waitSliceMap.take(url);
        QJsonObject info = m_jsonInfo;
        info.insert(kSliceMark, url);
        m_sliceProgressMap[url] = 0;
        m_uploadingSliceMap[url] = bytes;
        cloud()->uploadDataByPut(url, bytes, info);
    }
}

bool VXUploadFileSliceByPut::isSentPart(const QJsonObject& report, QString* url) const
{
    if (!report.contains(kSliceMark))
        return false;
    *url = report.value(kSliceMark).toString();
    return m_sliceProgressMap.contains(*url);
}

void VXUploadFileSliceByPut::slotUploadProgress(const QJsonObject& info, int iProgress)
{
    QString url;
    if (!isSentPart(info, &url))
        return;
    m_sliceProgressMap[url] = iProgress;

    // Every part sent counts at the full slice length, the shorter last one included; the
    // percent this gives for the last part can exceed 100 and is then not reported.
    const int sliceLen = info.value(QStringLiteral("sliceLen")).toString().toInt(nullptr, 10);
    qint64 uploaded = 0;
    for (const int percent : qAsConst(m_sliceProgressMap)) {
        const double bytes = static_cast<double>(product32(percent, sliceLen)) * 0.01;
        uploaded = static_cast<qint64>(static_cast<double>(uploaded) + bytes);
    }
    if (m_fileSize <= 0)
        return;
    const double exact = static_cast<double>(uploaded) * 100.0 / static_cast<double>(m_fileSize);
    if (!(exact > -1.0 && exact < 101.0))
        return;
    const int percent = static_cast<int>(exact);
    if (percent < 0 || percent > 100)
        return;
    const QJsonObject report = m_jsonInfo;
    emit sglUploadProgress(report, percent);
}

void VXUploadFileSliceByPut::slotUploadFinished(const QJsonObject& jsonInfo, int res)
{
    QString url;
    if (!isSentPart(jsonInfo, &url))
        return;

    if (res != 0) {
        // The first failed part fails the file: the other parts are aborted, none is retried.
        const QJsonObject report = m_jsonInfo;
        stopUploadFileBySlice();
        emit sglUploadFinished(report, res);
        return;
    }

    QString etag = jsonInfo.value(QStringLiteral("ETag")).toString();
    etag.remove(QLatin1Char('"'));
    m_sliceETagMap[m_sliceIndexMap.value(url)] = etag;
    m_sliceProgressMap[url] = 100;
    m_uploadingSliceMap.remove(url);

    if (!m_waitSliceMap.isEmpty()) {
        uploadNextSlice();
        return;
    }
    if (!m_uploadingSliceMap.isEmpty()) {
        qInfo() << "VXUploadFileSliceByPut::slotUploadFinished" << m_waitSliceMap;
        return;
    }

    QStringList parts;
    for (auto it = m_sliceETagMap.cbegin(); it != m_sliceETagMap.cend(); ++it)
        parts.append(QString::number(it.key() + 1) + QLatin1Char(',') + it.value());
    m_jsonInfo.insert(QStringLiteral("pathinfo"), parts.join(QLatin1Char(';')));
    const QJsonObject report = m_jsonInfo;
    emit sglUploadFinished(report, 0);
}
