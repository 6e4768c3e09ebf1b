#ifndef VXRETRYPOLICY_H
#define VXRETRYPOLICY_H

#include <QJsonObject>

// When vxupload submits a failed job again (--resubmit N), and after what pause. A job is
// submitted again only after a failure that may go away by itself (isTransient), at most
// maxRetries() times, after pauses of 2 s, 4 s, 8 s, ... up to 60 s. A multipart job submitted
// again resumes its upload in the plugin: an outage costs the parts that were in flight.
// No state beyond the limit and no I/O beyond asking whether a local file exists.
class VXRetryPolicy
{
public:
    static constexpr int kFirstPauseMs = 2000;
    static constexpr int kMaxPauseMs = 60000;
    static constexpr int kMaxRetries = 1000; // --resubmit's upper bound

    explicit VXRetryPolicy(int maxRetries = 0) : m_iMaxRetries(maxRetries) {}

    // Whether a failure with this code and final report may pass by itself, so that the same
    // job submitted later can succeed. job is the job as it was submitted.
    //   transient: the transport failures of a network or server away for a while
    //     (ProxyNotResolved, HostNotFound, ConnectFailed, TimedOut, WeirdServerReply,
    //     PartialFile, EmptyReply, SendFailed, ReceiveFailed); HTTP 5xx and 429; and -1 when
    //     a request to the cloud server failed (the upload-URL request, the multipart start
    //     or a refresh of its part URLs, the completion). The plugin reports those with the
    //     fields of the failed request, which the submitted job lacks ("uploadMethod",
    //     "uploadid").
    //   not transient: -1 for a local file that does not exist, and -1 with the submitted job
    //     alone, the cloud server's refusal to complete the upload (the storage refused to
    //     assemble it: "EntityTooSmall", a missing part; the plugin has dropped its resume
    //     record, so a retry would send the whole file again to be refused again); any other
    //     4xx; TLS and certificate failures (TlsConnectFailed, CertificateNotTrusted,
    //     CaFileUnusable) and other transport codes, which name a configuration problem; the
    //     local and slice failures (FileUnreadable, EmptyUrl, InvalidReply, NoSliceRead,
    //     TooFewPartUrls, FileChanged, FileTooLarge); and IntegrityMismatch: the request
    //     component already sent every damaged body again ([Network] retries), so damage left
    //     after that points at a broken path that a later attempt crosses again.
    // A -1 whose request failed for a refusal (a wrong token, an unknown bucket) cannot be
    // told from one that failed for an outage: the plugin reports both as -1 without the
    // server's status. Such a job is submitted again and fails again, maxRetries() times.
    static bool isTransient(int code, const QJsonObject& report, const QJsonObject& job);
    // The pause before the retry-th submission again (1: the first), in milliseconds:
    // kFirstPauseMs doubled per retry, at most kMaxPauseMs.
    static int pauseMs(int retry);

    int maxRetries() const { return m_iMaxRetries; }
    // Whether a job that failed with code after `retriesDone` retries is submitted again.
    bool shouldRetry(int code, const QJsonObject& report, const QJsonObject& job,
                     int retriesDone) const
    {
        return retriesDone < m_iMaxRetries && isTransient(code, report, job);
    }

private:
    int m_iMaxRetries;
};

#endif // VXRETRYPOLICY_H
