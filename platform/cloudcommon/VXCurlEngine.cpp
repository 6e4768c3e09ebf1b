#include "VXCurlEngine.h"

#include "VXCurlMultiDriver.h"
#include "VXReportMailbox.h"
#include "VXResultCodes.h"

#include <QDebug>
#include <QJsonDocument>
#include <QTimer>
#include <QUrl>
#include <QVector>

#include <set>

namespace {

// How often requests in flight are checked for a stall: a stall is noticed within this much
// after the stall time-out.
constexpr int kStallCheckMs = 250;

// For log lines: a pre-signed URL's query string is a credential.
QString redacted(const QString& url)
{
    const QUrl parsed(url, QUrl::TolerantMode);
    return parsed.adjusted(QUrl::RemoveQuery | QUrl::RemoveUserInfo | QUrl::RemoveFragment)
        .toString();
}

// The "reason" of a refusal answered by the cloud server as a JSON object, or an empty string.
QString serverReason(const QByteArray& body)
{
    const QJsonDocument reply = QJsonDocument::fromJson(body);
    return reply.object().value(QStringLiteral("reason")).toString().left(300);
}

// A log line as qDebug() would write it (noquote, parts separated by spaces), made here and
// written on the host's thread.
template <typename... Parts>
QString logText(const Parts&... parts)
{
    QString text;
    {
        QDebug stream(&text);
        stream.noquote();
        ((stream << parts), ...);
    }
    if (text.endsWith(QLatin1Char(' ')))
        text.chop(1);
    return text;
}

void postLog(VXReportMailbox* mailbox, quint64 id, QtMsgType type, const QString& text)
{
    VXCurlReport report;
    report.id = id;
    report.kind = VXCurlReport::Kind::Log;
    report.value = int(type);
    report.message = text;
    mailbox->post(std::move(report));
}

} // namespace

VXCurlEngine::VXCurlEngine(std::atomic<int>* inFlight)
    : m_pInFlight(inFlight),
      m_pDriver(std::make_unique<VXCurlMultiDriver>([this] { onDriverActivity(); },
                                                    [this](const QString& text) {
                                                        logToAll(QtWarningMsg, text);
                                                    })),
      m_pStallTimer(new QTimer(this))
{
    m_pStallTimer->setInterval(kStallCheckMs);
    connect(m_pStallTimer, &QTimer::timeout, this, &VXCurlEngine::failStalledTransfers);
}

VXCurlEngine::~VXCurlEngine()
{
    // Handles leave the multi handle before either is destroyed (the driver goes last, it owns
    // the multi handle); nothing is reported.
    for (auto& entry : m_entryMap) {
        if (entry.second.transfer->inMulti())
            m_pDriver->removeHandle(entry.second.transfer->easy());
    }
    m_pInFlight->fetch_sub(int(m_entryMap.size()));
    m_entryMap.clear();
    m_pDriver.reset();
}

void VXCurlEngine::start(VXCurlRequest request)
{
    const quint64 id = request.id;
    const VXCurlTransfer::Kind kind = request.op == VXCurlRequest::Op::ApiPost
        ? VXCurlTransfer::Kind::Api
        : VXCurlTransfer::Kind::Put;
    Entry& entry = m_entryMap[id];
    entry.transfer = std::make_unique<VXCurlTransfer>(id, kind, request.url);
    entry.request = std::move(request);
    if (!setUp(&entry))
        return;
    startAttempt(&entry);
}

bool VXCurlEngine::setUp(Entry* entry)
{
    VXCurlRequest& request = entry->request;
    VXCurlTransfer* transfer = entry->transfer.get();
    const VXCloudCommonConfig& config = *request.config;
    switch (request.op) {
    case VXCurlRequest::Op::ApiPost:
        transfer->setupApiPost(config, request.body, config.token);
        return true;
    case VXCurlRequest::Op::PutData:
        transfer->setupDataPut(config, request.body);
        return true;
    case VXCurlRequest::Op::PutFile:
        if (transfer->setupFilePut(config, request.path, request.offset, request.length))
            return true;
        log(*entry, QtWarningMsg,
            logText(QStringLiteral("VXCloudCommon::%1: cannot read")
                        .arg(request.length < 0 ? QLatin1String("uploadFileByPut")
                                                : QLatin1String("uploadFileRangeByPut")),
                    request.path, "from byte", request.offset, "length", request.length));
        reportFailure(entry, VXResult::FileUnreadable);
        return false;
    }
    return false;
}

void VXCurlEngine::stop(quint64 id)
{
    const auto it = m_entryMap.find(id);
    if (it == m_entryMap.end())
        return;
    if (it->second.transfer->inMulti())
        m_pDriver->removeHandle(it->second.transfer->easy());
    erase(id);
}

void VXCurlEngine::startAttempt(Entry* entry)
{
    VXCurlTransfer* transfer = entry->transfer.get();
    transfer->countAttempt();
    transfer->setWireAttemptLimit(entry->request.retryable ? entry->request.config->retries + 1
                                                           : 1);
    if (!m_pStallTimer->isActive())
        m_pStallTimer->start();
    if (!m_pDriver->addHandle(transfer->easy())) {
        reportFailure(entry, VXResult::fromTransport(CURLE_FAILED_INIT));
        return;
    }
    transfer->setInMulti(true);
}

void VXCurlEngine::reportFailure(Entry* entry, int code)
{
    VXCurlReport report;
    report.id = entry->request.id;
    report.value = code;
    report.message = VXResult::text(code);
    entry->request.mailbox->post(std::move(report));
    erase(entry->request.id);
}

void VXCurlEngine::onDriverActivity()
{
    reportProgress();
    CURL* easy = nullptr;
    CURLcode result = CURLE_OK;
    while (m_pDriver->takeFinished(&easy, &result)) {
        VXCurlTransfer* transfer = nullptr;
        curl_easy_getinfo(easy, CURLINFO_PRIVATE, &transfer);
        const auto it = transfer ? m_entryMap.find(transfer->id()) : m_entryMap.end();
        if (it != m_entryMap.end())
            finishTransfer(&it->second, result);
    }
}

void VXCurlEngine::reportProgress()
{
    for (auto& entry : m_entryMap) {
        VXCurlTransfer* transfer = entry.second.transfer.get();
        if (transfer->kind() != VXCurlTransfer::Kind::Put || !transfer->inMulti())
            continue;
        const int percent = transfer->takeProgress();
        if (percent < 0)
            continue;
        VXCurlReport report;
        report.id = entry.first;
        report.kind = VXCurlReport::Kind::Progress;
        report.value = percent;
        entry.second.request.mailbox->post(std::move(report));
    }
}

void VXCurlEngine::finishTransfer(Entry* entry, CURLcode result)
{
    VXCurlTransfer* transfer = entry->transfer.get();
    m_pDriver->removeHandle(transfer->easy());
    transfer->setInMulti(false);
    if (entry->request.retryable && transfer->attempts() <= entry->request.config->retries
        && transfer->outcome(result).transient && scheduleRetry(entry))
        return;
    reportOutcome(transfer->id(), result);
}

void VXCurlEngine::failStalledTransfers()
{
    QVector<quint64> stalled;
    bool anyInMulti = false;
    for (const auto& entry : m_entryMap) {
        if (!entry.second.transfer->inMulti())
            continue;
        anyInMulti = true;
        const qint64 limitMs = qint64(entry.second.request.config->stallTimeoutSec) * 1000;
        if (entry.second.transfer->msSinceActivity() >= limitMs)
            stalled.append(entry.first);
    }
    if (!anyInMulti) {
        m_pStallTimer->stop();
        return;
    }
    for (quint64 id : stalled) {
        const auto it = m_entryMap.find(id);
        if (it == m_entryMap.end() || !it->second.transfer->inMulti())
            continue;
        log(it->second, QtWarningMsg,
            logText("VXCloudCommon: no byte moved for",
                    it->second.request.config->stallTimeoutSec, "s; request",
                    it->second.request.api.isEmpty() ? QStringLiteral("PUT")
                                                     : it->second.request.api,
                    "ends"));
        it->second.transfer->setStalled();
        finishTransfer(&it->second, CURLE_OPERATION_TIMEDOUT);
    }
}

bool VXCurlEngine::scheduleRetry(Entry* entry)
{
    VXCurlTransfer* transfer = entry->transfer.get();
    if (!transfer->rewindForRetry())
        return false;
    const VXCloudCommonConfig& config = *entry->request.config;
    const int shift = qMin(transfer->attempts() - 1, 16);
    const qint64 delay =
        qMin<qint64>(qint64(config.retryDelayMs) << shift, config.retryDelayCapMs);
    log(*entry, QtInfoMsg,
        logText("VXCloudCommon: retrying", redacted(transfer->url()), "in", delay, "ms",
                "after attempt", transfer->attempts()));
    const quint64 id = transfer->id();
    QTimer::singleShot(int(delay), this, [this, id] { retryNow(id); });
    return true;
}

void VXCurlEngine::retryNow(quint64 id)
{
    const auto it = m_entryMap.find(id);
    if (it != m_entryMap.end() && !it->second.transfer->inMulti())
        startAttempt(&it->second);
}

void VXCurlEngine::reportOutcome(quint64 id, CURLcode result)
{
    Entry& entry = m_entryMap.at(id);
    const VXCurlTransfer* transfer = entry.transfer.get();
    VXCurlReport report;
    report.id = id;
    report.value = transfer->outcome(result).code;
    if (transfer->kind() == VXCurlTransfer::Kind::Put) {
        if (report.value == VXResult::Success)
            report.etag = transfer->etag();
        // No URL in the line: a pre-signed URL is a credential, and its path adds nothing
        // that the job's remote path does not say.
        else
            log(entry, QtWarningMsg,
                logText("VXCloudCommon: PUT of", entry.request.remotePath, "failed:",
                        transfer->failureText(result)));
    } else if (report.value == VXResult::Success) {
        // The answer is parsed here, off the host's thread.
        QJsonParseError parseError;
        const QJsonDocument reply = QJsonDocument::fromJson(transfer->responseBody(), &parseError);
        if (parseError.error == QJsonParseError::NoError && reply.isObject()) {
            report.reply = reply.object();
        } else {
            report.value = VXResult::InvalidReply;
            report.message = VXResult::text(report.value);
        }
    } else {
        report.message = transfer->failureText(result);
        const QString reason = serverReason(transfer->responseBody());
        if (!reason.isEmpty())
            report.message += QStringLiteral(": ") + reason;
    }
    if (transfer->kind() == VXCurlTransfer::Kind::Api && report.value != VXResult::Success)
        log(entry, QtWarningMsg,
            logText("VXCloudCommon: request", entry.request.api, "failed:", report.message));
    entry.request.mailbox->post(std::move(report));
    erase(id);
}

void VXCurlEngine::log(const Entry& entry, QtMsgType type, const QString& text)
{
    postLog(entry.request.mailbox.get(), entry.request.id, type, text);
}

void VXCurlEngine::logToAll(QtMsgType type, const QString& text)
{
    // A line of the multi handle concerns every request in it: once to each component, with id
    // 0 (of no request: written even when the request it came with was stopped meanwhile).
    std::set<VXReportMailbox*> mailboxes;
    for (const auto& entry : m_entryMap) {
        if (mailboxes.insert(entry.second.request.mailbox.get()).second)
            postLog(entry.second.request.mailbox.get(), 0, type, text);
    }
}

void VXCurlEngine::erase(quint64 id)
{
    if (m_entryMap.erase(id))
        m_pInFlight->fetch_sub(1);
}
