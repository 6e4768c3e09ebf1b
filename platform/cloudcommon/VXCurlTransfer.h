#ifndef VXCURLTRANSFER_H
#define VXCURLTRANSFER_H

#include "VXOutcomeClassifier.h"
#include "VXRequestBody.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QMap>
#include <QString>

#include <curl/curl.h>

class VXCloudCommonConfig;

// One HTTP request of the request component and its libcurl easy handle: either an API POST with
// a JSON body or a PUT that streams a file or a shared QByteArray. The transfer owns its easy
// handle and everything curl reads from or writes into while the handle runs; the owner adds the
// handle to a multi handle and must remove it from there before destroying the transfer.
//
// The curl callbacks only copy bytes and record state (progress, response headers): they never
// call back into curl or into Qt's signal machinery. The bytes sent and their hash are the
// body's (VXRequestBody); what an attempt amounts to is VXOutcomeClassifier's.
class VXCurlTransfer
{
public:
    enum class Kind { Api, Put };

    VXCurlTransfer(quint64 id, Kind kind, const QString& url);
    ~VXCurlTransfer();

    // Prepares a POST of `jsonBody` with "Content-Type: application/json" and, when `token` is
    // not empty, "Authorization: Bearer <token>".
    void setupApiPost(const VXCloudCommonConfig& config, const QByteArray& jsonBody,
                      const QByteArray& token);
    // Prepares a PUT that reads `data` in place; the implicitly shared copy keeps it alive.
    void setupDataPut(const VXCloudCommonConfig& config, const QByteArray& data);
    // Prepares a PUT that streams `length` bytes of the file at `path` from byte `offset` (the
    // whole file when `length` is negative). Returns false when the file cannot be opened or
    // does not hold that range. Only plain files are opened: a FIFO or device could block.
    bool setupFilePut(const VXCloudCommonConfig& config, const QString& path, qint64 offset,
                      qint64 length);

    // Makes the handle ready to be sent again after a failed attempt: the body is read from its
    // start and the previous answer is forgotten. Returns false when the body cannot be rewound.
    bool rewindForRetry();

    quint64 id() const { return m_id; }
    Kind kind() const { return m_kind; }
    const QString& url() const { return m_url; }
    CURL* easy() const { return m_pEasy; }

    // The request context handed back in the component's signals.
    void setApiContext(const QMap<QString, QString>& params, const QString& api);
    void setPutInfo(const QJsonObject& info) { m_info = info; }
    const QMap<QString, QString>& params() const { return m_params; }
    const QString& api() const { return m_api; }
    const QJsonObject& info() const { return m_info; }

    // Attempts used so far: the times this transfer was started, or the requests that went on
    // the wire if more (libcurl resends a request by itself when a reused connection dies).
    int attempts() const { return qMax(m_iAttempts, m_iWireAttempts); }
    // Called each time the transfer is (re)started; its stall clock starts again.
    void countAttempt();
    // The most requests this transfer may put on the wire; a further one is cut off before it
    // is sent and the transfer fails as a connection that closed without an answer.
    void setWireAttemptLimit(int limit) { m_iWireAttemptLimit = limit; }
    // Milliseconds since a byte last moved in either direction (or since the start).
    qint64 msSinceActivity() const { return m_sinceActivity.elapsed(); }
    // Marks the transfer as ended by the stall time-out (reported as a time-out).
    void setStalled() { m_stalled = true; }
    // Whether the easy handle is currently added to the multi handle.
    bool inMulti() const { return m_inMulti; }
    void setInMulti(bool inMulti) { m_inMulti = inMulti; }
    // Non-zero: nothing is sent, this code is reported instead (queued).
    int localFailure() const { return m_localFailure; }
    void setLocalFailure(int code) { m_localFailure = code; }

    // What a finished attempt amounts to: its code (0, an HTTP status that is not 2xx, a
    // transport or local code) and whether it is worth repeating.
    VXOutcomeClassifier::Outcome outcome(CURLcode result) const;
    long httpStatus() const;
    const QByteArray& responseBody() const { return m_responseBody; }
    const QByteArray& etag() const { return m_etag; }
    // A short readable reason of a failed attempt (no URL, no token), with the storage's own
    // error code when its answer names one.
    QString failureText(CURLcode result) const;
    // The <Code> of an S3 error answer ("EntityTooSmall", "SignatureDoesNotMatch", ...), or an
    // empty string.
    QString storageErrorCode() const;

    // The new whole percentage of this request's bytes sent, or -1 when it has not risen since
    // the last call. Never goes down, not even across retries.
    int takeProgress();

private:
    void setupCommon(const VXCloudCommonConfig& config);
    void setupPutCommon(const VXCloudCommonConfig& config, qint64 size);

    static size_t readCallback(char* buffer, size_t size, size_t count, void* userp);
    static int seekCallback(void* userp, curl_off_t offset, int origin);
    static size_t writeCallback(char* data, size_t size, size_t count, void* userp);
    static size_t headerCallback(char* data, size_t size, size_t count, void* userp);
    static int progressCallback(void* userp, curl_off_t dlTotal, curl_off_t dlNow,
                                curl_off_t ulTotal, curl_off_t ulNow);
    static int prereqCallback(void* userp, char* connIp, char* localIp, int connPort,
                              int localPort);

    quint64 m_id;
    Kind m_kind;
    QString m_url;
    QByteArray m_urlBytes;
    CURL* m_pEasy = nullptr;
    curl_slist* m_pHeaders = nullptr;
    char m_errorBuffer[CURL_ERROR_SIZE] = {};

    VXRequestBody m_body; // POST body or PUT data or file range
    bool m_etagRequired = false; // a part of a file: its answer must carry an ETag

    QByteArray m_responseBody;
    QByteArray m_etag;
    int m_percentSeen = -1;
    int m_percentEmitted = -1;

    QMap<QString, QString> m_params;
    QString m_api;
    QJsonObject m_info;
    int m_iAttempts = 0;
    int m_iWireAttempts = 0;
    int m_iWireAttemptLimit = 1;
    bool m_wireLimitHit = false;
    bool m_stalled = false;
    QElapsedTimer m_sinceActivity;
    qint64 m_bytesMoved = -1; // download + upload bytes at the last activity
    bool m_inMulti = false;
    int m_localFailure = 0;
};

#endif // VXCURLTRANSFER_H
