#ifndef VXUPLOADJOB_H
#define VXUPLOADJOB_H

#include "VXFileIdentity.h"

#include <QJsonObject>
#include <QMap>
#include <QString>
#include <memory>

class VXResumeRecord;
class VXUploadFileSliceByPut;

// Everything the upload manager knows of one job, from its submission until it is closed or
// stopped: the manager's job table holds one of these per job key, and every handler looks the
// record up once and acts on it.
//
// A job waits until it is dispatched; each dispatch is a new attempt with a serial of its own,
// which travels with the attempt's server requests (VXUploadJob::kAttemptParam) and comes back
// with their answers and failures. An answer is acted on only by the record whose attempt sent
// it and only in the phase that expects it, so an answer for an attempt that was stopped never
// acts on a later submission of the same job.
struct VXUploadJob
{
    enum class Phase {
        Waiting,           // in the waiting list, holding no place
        RequestingUrl,     // the upload-URL request is out
        Putting,           // the whole file is being PUT
        StartingMultipart, // the multipart start request is out
        SendingParts,      // the slice uploader sends the parts
        Completing,        // the completion request is out
    };

    // The request parameter that carries the attempt's serial: handed back with the answer but
    // never sent (its name begins with IVXCloudCommon_localParamPrefix).
    static const QString kAttemptParam;
    // Marks a multipart start request sent for fresh part URLs of the upload in flight.
    static const QString kRefreshParam;

    explicit VXUploadJob(const QJsonObject& job = {}) : json(job) {}

    bool inFlight() const { return phase != Phase::Waiting; }
    QString attemptText() const { return QString::number(attempt); }
    // Whether an answer with these request parameters belongs to this attempt in `expected`.
    bool expects(const QString& attemptParam, Phase expected) const
    {
        return phase == expected && attemptParam == attemptText();
    }

    QJsonObject json; // the job as the host submitted it
    Phase phase = Phase::Waiting;
    quint64 attempt = 0;         // serial of the dispatch in flight
    VXFileIdentity fileIdentity; // of a whole-file PUT: the file as the PUT was set up
    QString uploadId;            // of the multipart upload in flight
    VXUploadFileSliceByPut* uploader = nullptr; // owned by the manager, released by it
    qint64 sliceLen = 0;                        // of a multipart upload: the slice length it uses
    QMap<QString, QString> startParams; // its multipart start request, sent again for fresh URLs
    // Its resume record, when resuming is on and no other process holds it; shared only so
    // that the record can be copied, it is this job's alone.
    std::shared_ptr<VXResumeRecord> resume;
    // The same job submitted again while this attempt is in flight: it waits for this one to end.
    bool resubmitted = false;
    QJsonObject resubmission;
};

#endif // VXUPLOADJOB_H
