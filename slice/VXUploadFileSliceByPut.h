#ifndef VXUPLOADFILESLICEBYPUT_H
#define VXUPLOADFILESLICEBYPUT_H

#include <QByteArray>
#include <QJsonObject>
#include <QMap>
#include <QObject>
#include <QString>

class IVXCloudCommon;
class VXCloudCommon;

// Uploads one file of a multipart upload: reads it into slices of "sliceLen" bytes, PUTs one
// slice at a time to its part URL ("partUrl" element i for part i + 1) through its own request
// component, collects the part ETags and finally reports either the slice job JSON with
// "pathinfo" ("1,etag1;2,etag2;...") and 0, or the first failure's code. Started once; stopped
// or released by its owner with deleteLater().
// A start that reads no slice (empty path, unreadable or empty file, sliceLen below 1) or that
// finds more slices than part URLs reports VXResult::NoSliceRead or VXResult::TooFewPartUrls with
// the JSON as handed in; that report is queued (it never fires inside uploadFileBySlice) and a
// stop before it fires cancels it.
class VXUploadFileSliceByPut : public QObject
{
    Q_OBJECT

public:
    explicit VXUploadFileSliceByPut(QObject* parent);

    void uploadFileBySlice(const QJsonObject& jsonInfo);
    // Aborts every part request in flight and forgets the upload. Emits nothing.
    void stopUploadFileBySlice();

signals:
    void sglUploadFinished(const QJsonObject& jsonInfo, int res);
    void sglUploadProgress(const QJsonObject& info, int iProgress);

private slots:
    void slotUploadProgress(const QJsonObject& info, int iProgress);
    void slotUploadFinished(const QJsonObject& jsonInfo, int res);

private:
    void uploadNextSlice();
    // Emits the failure that uploadFileBySlice queued, unless a stop came first.
    void reportPendingFailure();
    IVXCloudCommon* cloud() const;
    // Whether a report of the request component is about a part this object sent (not a foreign
    // request, nor one after a stop or failure); the part's URL goes to *url.
    bool isSentPart(const QJsonObject& report, QString* url) const;

    QJsonObject m_jsonInfo;
    QMap<QString, int> m_sliceProgressMap;
    qint64 m_fileSize = 0;
    QMap<QString, int> m_sliceIndexMap;
    QMap<QString, QByteArray> m_waitSliceMap;
    QMap<QString, QByteArray> m_uploadingSliceMap;
    int m_iMaxSliceUploadCount = 1;
    QMap<int, QString> m_sliceETagMap;
    VXCloudCommon* m_pCloudCommon = nullptr;
    int m_iPendingFailure = 0; // result code of a queued start failure, 0 when none is due
};

#endif // VXUPLOADFILESLICEBYPUT_H
