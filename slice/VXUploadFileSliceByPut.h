#ifndef VXUPLOADFILESLICEBYPUT_H
#define VXUPLOADFILESLICEBYPUT_H

#include "VXFileIdentity.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QMap>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>

class IVXCloudCommon;
class VXCloudCommon;

// Uploads one file of a multipart upload: PUTs slice i of "sliceLen" bytes to element i of
// "partUrl" (part number i + 1) through its own request component, in part-number order, with
// at most setMaxSliceUploadCount() parts in flight; collects the part ETags and finally reports
// either the slice job JSON with "pathinfo" ("1,etag1;2,etag2;...") and 0, or the first
// failure's code with the JSON as handed in. Started once; stopped or released by its owner with
// deleteLater().
//
// Slices are never held in memory: each part's request reads its file range from disk as it
// sends it, so memory does not grow with the file. Because bytes are read late, the file's
// identity (size, modification time, inode, device) is taken at the start and compared before
// each part goes out and after the last part; a change fails the upload with
// VXResult::FileChanged, and no success is reported for a file that changed.
//
// Resuming: parts already stored (setStoredParts) are not sent again; their ETags go into the
// part list and their share into the progress from the first report on. Each part confirmed by
// the storage is announced with sglPartStored, so that the owner can remember it.
//
// Part URLs that run out: before a part goes out whose URL expires soon (SigV4 "X-Amz-Date" +
// "X-Amz-Expires"; margin min(5 min, a quarter of the lifetime)), and after a part is refused
// with 403 because its URL expired, the uploader asks its owner for fresh URLs
// (sglPartUrlsNeeded) and sends nothing new until setPartUrls() hands them over; the refused
// part is sent once more with its fresh URL.
//
// Failures found while starting (no slice to send: empty path, missing, empty or non-plain file,
// sliceLen below 1; more slices than part URLs) are reported with VXResult::NoSliceRead or
// VXResult::TooFewPartUrls. Such a report is queued, never emitted inside uploadFileBySlice, and
// a stop before it fires cancels it.
class VXUploadFileSliceByPut : public QObject
{
    Q_OBJECT

public:
    explicit VXUploadFileSliceByPut(QObject* parent);

    // Parts sent at once, 1 (the default) to 16; set before the start.
    void setMaxSliceUploadCount(int count);
    // Part number -> ETag of the parts the storage holds already; set before the start.
    void setStoredParts(const QMap<int, QString>& etags);
    // Fresh part URLs, one per part as "partUrl" holds them, after sglPartUrlsNeeded.
    // The authorization comes with them and replaces the one handed in.
    void setPartUrls(const QJsonArray& partUrls, const QString& authorization);
    void uploadFileBySlice(const QJsonObject& jsonInfo);
    // Aborts every part request in flight and forgets the upload. Emits nothing.
    void stopUploadFileBySlice();

signals:
    void sglUploadFinished(const QJsonObject& jsonInfo, int res);
    void sglUploadProgress(const QJsonObject& info, int iProgress);
    // Part `partNumber` is stored under `etag` (without quotes).
    void sglPartStored(const QJsonObject& jsonInfo, int partNumber, const QString& etag);
    // The part URLs run out: setPartUrls() is awaited. Emitted once until it comes.
    void sglPartUrlsNeeded(const QJsonObject& jsonInfo);

private slots:
    void slotUploadProgress(const QJsonObject& info, int iProgress);
    void slotUploadFinished(const QJsonObject& jsonInfo, int res);

private:
    // Sends the next slices in part order while fewer than the limit are in flight.
    void uploadNextSlice();
    void sendSlice(int index);
    // Stops everything and reports `res` with the slice job JSON as handed in: at once, or
    // queued while the start is still running.
    void failUpload(int res);
    // Emits the failure that failUpload queued, unless a stop came first.
    void reportPendingFailure();
    void reportSuccess();
    void reportProgress();
    // Reports success when every part is stored and none is in flight (queued when all parts
    // were stored before the start).
    void finishIfDone();
    void askForPartUrls();
    bool fileUnchanged() const;
    IVXCloudCommon* cloud() const;
    // Whether a report of the request component is about a part in flight (not a foreign
    // request, a finished part, nor one after a stop or failure); its URL goes to *url.
    bool isPartInFlight(const QJsonObject& report, QString* url) const;

    QJsonObject m_jsonInfo;
    QMap<QString, int> m_sliceProgressMap;   // part URL -> percent, for the parts in flight
    qint64 m_fileSize = 0;
    QMap<QString, int> m_uploadingSliceMap;  // part URL -> slice index, for the parts in flight
    int m_iMaxSliceUploadCount = 1;
    QMap<int, QString> m_sliceETagMap;       // slice index -> ETag without quotes
    VXCloudCommon* m_pCloudCommon = nullptr;

    QString m_filePath;
    QJsonArray m_partUrls;
    qint64 m_sliceLen = 0;
    QList<int> m_resendList;           // slices refused for an expired URL, sent again first
    QSet<int> m_refreshedSet;          // slices sent once with a fresh URL already
    bool m_waitingForUrls = false;     // fresh part URLs asked for, not yet here
    int m_iRefreshesInARow = 0;        // URL refreshes since a part was last sent
    bool m_reported = false;           // success reported: nothing more to do
    int m_iSliceCount = 0;
    int m_iNextSlice = 0;              // index of the next slice to send
    qint64 m_iFinishedBytes = 0;       // progress of the finished parts, each at full sliceLen
    int m_iLastPercent = -1;           // last percent reported
    VXFileIdentity m_fileIdentity;     // the file as it was at the start
    bool m_starting = false;           // inside uploadFileBySlice: failures are queued
    int m_iPendingFailure = 0;         // result code of a queued failure, 0 when none is due
    QJsonObject m_pendingReport;
};

#endif // VXUPLOADFILESLICEBYPUT_H
