#include "VXCurlTransfer.h"

#include "VXCloudCommonConfig.h"
#include "VXResultCodes.h"


VXCurlTransfer::VXCurlTransfer(quint64 id, Kind kind, const QString& url)
    : m_id(id), m_kind(kind), m_url(url), m_urlBytes(url.toUtf8()), m_pEasy(curl_easy_init())
{
}

VXCurlTransfer::~VXCurlTransfer()
{
    curl_easy_cleanup(m_pEasy);
    curl_slist_free_all(m_pHeaders);
}

void VXCurlTransfer::setApiContext(const QMap<QString, QString>& params, const QString& api)
{
    m_params = params;
    m_api = api;
}

void VXCurlTransfer::setupCommon(const VXCloudCommonConfig& config)
{
    CURL* e = m_pEasy;
    curl_easy_setopt(e, CURLOPT_URL, m_urlBytes.constData());
    curl_easy_setopt(e, CURLOPT_PRIVATE, this);
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    // HTTP/1.1 everywhere: one request per connection at a time is what object stores and the
    // cloud API expect, and it keeps a large PUT off HTTP/2's per-stream flow-control window.
    curl_easy_setopt(e, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(e, CURLOPT_TCP_NODELAY, 1L);
    curl_easy_setopt(e, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!config.caFile.isEmpty())
        curl_easy_setopt(e, CURLOPT_CAINFO, config.caFile.constData());
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT, config.connectTimeoutSec);
    // The stall time-out is the component's own (msSinceActivity): libcurl's low-speed limit
    // averages over several seconds and so ends a stalled request seconds late.
    curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, &VXCurlTransfer::progressCallback);
    curl_easy_setopt(e, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(e, CURLOPT_PREREQFUNCTION, &VXCurlTransfer::prereqCallback);
    curl_easy_setopt(e, CURLOPT_PREREQDATA, this);
    curl_easy_setopt(e, CURLOPT_USERAGENT, "VXCloudCommon/1.0");
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, m_errorBuffer);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &VXCurlTransfer::writeCallback);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &VXCurlTransfer::headerCallback);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, this);
    // Without this, curl holds the body back for up to a second waiting for "100 Continue".
    m_pHeaders = curl_slist_append(m_pHeaders, "Expect:");
}

void VXCurlTransfer::setupApiPost(const VXCloudCommonConfig& config, const QByteArray& jsonBody,
                                  const QByteArray& token)
{
    setupCommon(config);
    m_body.setBuffer(jsonBody);
    m_pHeaders = curl_slist_append(m_pHeaders, "Content-Type: application/json");
    m_pHeaders = curl_slist_append(m_pHeaders, "Accept: application/json");
    if (!token.isEmpty()) {
        const QByteArray header = QByteArrayLiteral("Authorization: Bearer ") + token;
        m_pHeaders = curl_slist_append(m_pHeaders, header.constData());
    }
    curl_easy_setopt(m_pEasy, CURLOPT_HTTPHEADER, m_pHeaders);
    curl_easy_setopt(m_pEasy, CURLOPT_POST, 1L);
    // curl sends the body straight from this buffer, which lives as long as the transfer.
    curl_easy_setopt(m_pEasy, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(m_body.size()));
    curl_easy_setopt(m_pEasy, CURLOPT_POSTFIELDS, m_body.buffer().constData());
}

void VXCurlTransfer::setupPutCommon(const VXCloudCommonConfig& config, qint64 size)
{
    setupCommon(config);
    m_body.setHashing(config.verifyIntegrity);
    CURL* e = m_pEasy;
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, m_pHeaders);
    curl_easy_setopt(e, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(e, CURLOPT_INFILESIZE_LARGE, curl_off_t(size));
    curl_easy_setopt(e, CURLOPT_UPLOAD_BUFFERSIZE, config.uploadBufferSize);
    curl_easy_setopt(e, CURLOPT_READFUNCTION, &VXCurlTransfer::readCallback);
    curl_easy_setopt(e, CURLOPT_READDATA, this);
    // curl rewinds by itself when a reused connection turns out to be dead.
    curl_easy_setopt(e, CURLOPT_SEEKFUNCTION, &VXCurlTransfer::seekCallback);
    curl_easy_setopt(e, CURLOPT_SEEKDATA, this);
}

void VXCurlTransfer::setupDataPut(const VXCloudCommonConfig& config, const QByteArray& data)
{
    m_body.setBuffer(data);
    // The bytes are known before they go out: the storage itself refuses them if damaged.
    if (config.verifyIntegrity) {
        const QByteArray header = "Content-MD5: "
            + QCryptographicHash::hash(data, QCryptographicHash::Md5).toBase64();
        m_pHeaders = curl_slist_append(m_pHeaders, header.constData());
    }
    setupPutCommon(config, data.size());
}

bool VXCurlTransfer::setupFilePut(const VXCloudCommonConfig& config, const QString& path,
                                  qint64 offset, qint64 length)
{
    if (!m_body.openFile(path, offset, length))
        return false;
    m_etagRequired = length >= 0;
    setupPutCommon(config, m_body.size());
    return true;
}

bool VXCurlTransfer::rewindForRetry()
{
    m_responseBody.clear();
    m_etag.clear();
    m_errorBuffer[0] = '\0';
    m_stalled = false;
    return m_body.rewind();
}

void VXCurlTransfer::countAttempt()
{
    ++m_iAttempts;
    m_bytesMoved = -1;
    m_sinceActivity.start();
}

VXOutcomeClassifier::Outcome VXCurlTransfer::outcome(CURLcode result) const
{
    VXOutcomeClassifier::Attempt attempt;
    attempt.curlResult = result;
    attempt.httpStatus = httpStatus();
    attempt.etag = m_etag;
    attempt.bodyMd5Hex = m_kind == Kind::Put ? m_body.md5Hex() : QByteArray();
    attempt.etagRequired = m_etagRequired;
    attempt.readFailed = m_body.readFailed();
    attempt.stalled = m_stalled;
    attempt.wireLimitHit = m_wireLimitHit;
    return VXOutcomeClassifier::classify(attempt);
}

long VXCurlTransfer::httpStatus() const
{
    long status = 0;
    curl_easy_getinfo(m_pEasy, CURLINFO_RESPONSE_CODE, &status);
    return status;
}

QString VXCurlTransfer::failureText(CURLcode result) const
{
    const VXOutcomeClassifier::Outcome classified = outcome(result);
    QString text = VXResult::text(classified.code);
    if (result != CURLE_OK && !m_body.readFailed()) {
        const char* detail = m_errorBuffer[0] ? m_errorBuffer : curl_easy_strerror(result);
        text += QStringLiteral(": ") + QString::fromUtf8(detail);
    }
    if (classified.etagMissing)
        text += QStringLiteral(" (the storage answered without an ETag)");
    const QString storageCode = storageErrorCode();
    if (!storageCode.isEmpty())
        text += QStringLiteral(" (storage: %1)").arg(storageCode);
    return text;
}

QString VXCurlTransfer::storageErrorCode() const
{
    const int start = m_responseBody.indexOf("<Code>");
    const int end = m_responseBody.indexOf("</Code>", start);
    if (start < 0 || end < 0)
        return QString();
    const QByteArray code = m_responseBody.mid(start + 6, end - start - 6).trimmed();
    // An error code is a short identifier; anything else is not echoed into a log line.
    for (const char c : code) {
        if (!QChar::isLetterOrNumber(uchar(c)) && c != '.' && c != '_' && c != '-')
            return QString();
    }
    return code.size() <= 64 ? QString::fromLatin1(code) : QString();
}

int VXCurlTransfer::takeProgress()
{
    if (m_percentSeen <= m_percentEmitted)
        return -1;
    m_percentEmitted = m_percentSeen;
    return m_percentEmitted;
}

size_t VXCurlTransfer::readCallback(char* buffer, size_t size, size_t count, void* userp)
{
    auto* self = static_cast<VXCurlTransfer*>(userp);
    const qint64 got = self->m_body.read(buffer, qint64(size * count));
    return got < 0 ? size_t(CURL_READFUNC_ABORT) : size_t(got);
}

int VXCurlTransfer::seekCallback(void* userp, curl_off_t offset, int origin)
{
    auto* self = static_cast<VXCurlTransfer*>(userp);
    if (origin != SEEK_SET || offset < 0 || offset > self->m_body.size())
        return CURL_SEEKFUNC_CANTSEEK;
    return self->m_body.seek(offset) ? CURL_SEEKFUNC_OK : CURL_SEEKFUNC_FAIL;
}

size_t VXCurlTransfer::writeCallback(char* data, size_t size, size_t count, void* userp)
{
    auto* self = static_cast<VXCurlTransfer*>(userp);
    const size_t n = size * count;
    // A PUT's answer is only kept for diagnostics; an API answer is kept whole but bounded.
    const int limit = self->m_kind == Kind::Put ? 64 * 1024 : 64 * 1024 * 1024;
    const int room = limit - self->m_responseBody.size();
    if (room > 0)
        self->m_responseBody.append(data, int(qMin<size_t>(n, size_t(room))));
    return n;
}

size_t VXCurlTransfer::headerCallback(char* data, size_t size, size_t count, void* userp)
{
    auto* self = static_cast<VXCurlTransfer*>(userp);
    const size_t n = size * count;
    const QByteArray line = QByteArray::fromRawData(data, int(n));
    // Headers of an interim answer (100 Continue) or of an earlier attempt do not count.
    if (line.startsWith("HTTP/")) {
        self->m_etag.clear();
    } else {
        const int colon = line.indexOf(':');
        if (colon == 4 && qstrnicmp(line.constData(), "etag", 4) == 0)
            self->m_etag = line.mid(colon + 1).trimmed();
    }
    return n;
}

int VXCurlTransfer::progressCallback(void* userp, curl_off_t, curl_off_t dlNow, curl_off_t,
                                     curl_off_t ulNow)
{
    auto* self = static_cast<VXCurlTransfer*>(userp);
    if (qint64(dlNow + ulNow) != self->m_bytesMoved) {
        self->m_bytesMoved = qint64(dlNow + ulNow);
        self->m_sinceActivity.start();
    }
    if (self->m_kind != Kind::Put || self->m_body.size() <= 0)
        return 0;
    const qint64 sent = qBound<qint64>(0, qint64(ulNow), self->m_body.size());
    const int percent = int(sent * 100 / self->m_body.size());
    if (percent > self->m_percentSeen)
        self->m_percentSeen = percent;
    return 0;
}

int VXCurlTransfer::prereqCallback(void* userp, char*, char*, int, int)
{
    auto* self = static_cast<VXCurlTransfer*>(userp);
    if (++self->m_iWireAttempts <= self->m_iWireAttemptLimit)
        return CURL_PREREQFUNC_OK;
    self->m_wireLimitHit = true;
    return CURL_PREREQFUNC_ABORT;
}
