#include "VXCloudCommon_p.h"

#include "VXCloudCommon.h"
#include "VXCloudCommonLog.h"
#include "VXCurlMultiDriver.h"
#include "VXCurlTransfer.h"
#include "VXResultCodes.h"

#include <QJsonDocument>
#include <QPointer>
#include <QTimer>
#include <QUrl>
#include <QVector>

namespace {

// How often requests in flight are checked for a stall: a stall is noticed within this much
// after the stall time-out.
constexpr int kStallCheckMs = 250;

QString apiPath(const QString& api)
{
    QString path = api.trimmed();
    while (path.startsWith(QLatin1Char('/')))
        path.remove(0, 1);
    return path;
}

bool isUsableUrl(const QString& url)
{
    if (url.isEmpty())
        return false;
    const QUrl parsed(url, QUrl::TolerantMode);
    const QString scheme = parsed.scheme().toLower();
    return parsed.isValid() && !parsed.host().isEmpty()
        && (scheme == QLatin1String("http") || scheme == QLatin1String("https"));
}

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

// The parameters as the server receives them: the caller's local ones stay here.
QByteArray jsonBody(const QMap<QString, QString>& params)
{
    QJsonObject object;
    for (auto it = params.cbegin(); it != params.cend(); ++it) {
        if (!it.key().startsWith(QLatin1String(IVXCloudCommon_localParamPrefix)))
            object.insert(it.key(), it.value());
    }
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

} // namespace

VXCloudCommonPrivate::VXCloudCommonPrivate(VXCloudCommon* q)
    : m_pQ(q),
      m_config(VXCloudCommonConfig::load()),
      m_pDriver(std::make_unique<VXCurlMultiDriver>([this] { onDriverActivity(); })),
      m_pStallTimer(new QTimer(this))
{
    m_pStallTimer->setInterval(kStallCheckMs);
    connect(m_pStallTimer, &QTimer::timeout, this, &VXCloudCommonPrivate::failStalledTransfers);
}

VXCloudCommonPrivate::~VXCloudCommonPrivate()
{
    // Handles leave the multi handle before either is destroyed (the driver goes last, it owns
    // the multi handle); nothing is reported.
    for (auto& entry : m_transferMap) {
        if (entry.second->inMulti())
            m_pDriver->removeHandle(entry.second->easy());
    }
    m_transferMap.clear();
    m_pDriver.reset();
}

void VXCloudCommonPrivate::sendApi(const QMap<QString, QString>& params, const QString& api,
                                   const QString& host)
{
    const QString base =
        VXCloudCommonConfig::normalizedHost(host.trimmed().isEmpty() ? m_config.apiHost : host);
    const QString url = base.isEmpty() ? QString() : base + QLatin1Char('/') + apiPath(api);
    VXCurlTransfer* transfer = createTransfer(VXCurlTransfer::Kind::Api, url);
    transfer->setApiContext(params, api);
    if (!isUsableUrl(url)) {
        qCWarning(lcCloudCommon).noquote()
            << "VXCloudCommon::sendApiRequest: no usable host for" << api << ":" << redacted(url);
        failQueued(transfer, VXResult::EmptyUrl);
        return;
    }
    transfer->setupApiPost(m_config, jsonBody(params), m_config.token);
    start(transfer);
}

VXCurlTransfer* VXCloudCommonPrivate::createPut(const QString& url, const QJsonObject& info,
                                                const char* operation)
{
    VXCurlTransfer* transfer = createTransfer(VXCurlTransfer::Kind::Put, url);
    transfer->setPutInfo(info);
    if (isUsableUrl(url))
        return transfer;
    qCWarning(lcCloudCommon).noquote()
        << QStringLiteral("VXCloudCommon::%1: no usable URL:").arg(QLatin1String(operation))
        << redacted(url);
    failQueued(transfer, VXResult::EmptyUrl);
    return nullptr;
}

void VXCloudCommonPrivate::putData(const QString& url, const QByteArray& data,
                                   const QJsonObject& info)
{
    if (VXCurlTransfer* transfer = createPut(url, info, "uploadDataByPut")) {
        transfer->setupDataPut(m_config, data);
        start(transfer);
    }
}

void VXCloudCommonPrivate::putFile(const QString& url, const QString& localPath,
                                   const QJsonObject& info)
{
    putFileRange(url, localPath, 0, -1, info);
}

void VXCloudCommonPrivate::putFileRange(const QString& url, const QString& localPath,
                                        qint64 offset, qint64 length, const QJsonObject& info)
{
    const char* operation = length < 0 ? "uploadFileByPut" : "uploadFileRangeByPut";
    VXCurlTransfer* transfer = createPut(url, info, operation);
    if (!transfer)
        return;
    if (!transfer->setupFilePut(m_config, localPath, offset, length)) {
        qCWarning(lcCloudCommon).noquote()
            << QStringLiteral("VXCloudCommon::%1: cannot read").arg(QLatin1String(operation))
            << localPath << "from byte" << offset << "length" << length;
        failQueued(transfer, VXResult::FileUnreadable);
        return;
    }
    start(transfer);
}

void VXCloudCommonPrivate::setRetryableApis(const QStringList& apis)
{
    m_retryableApis.clear();
    for (const QString& api : apis)
        m_retryableApis.append(apiPath(api));
}

void VXCloudCommonPrivate::stopByUrl(const QString& url)
{
    QVector<quint64> ids;
    for (const auto& entry : m_transferMap) {
        if (entry.second->url() == url)
            ids.append(entry.first);
    }
    for (quint64 id : ids) {
        std::unique_ptr<VXCurlTransfer> transfer = takeTransfer(id);
        if (transfer->inMulti())
            m_pDriver->removeHandle(transfer->easy());
        qCDebug(lcCloudCommon).noquote() << "VXCloudCommon::stopUploadByUrl:" << redacted(url);
    }
}

VXCurlTransfer* VXCloudCommonPrivate::createTransfer(VXCurlTransfer::Kind kind,
                                                     const QString& url)
{
    const quint64 id = m_iNextId++;
    auto transfer = std::make_unique<VXCurlTransfer>(id, kind, url);
    VXCurlTransfer* raw = transfer.get();
    m_transferMap.emplace(id, std::move(transfer));
    return raw;
}

bool VXCloudCommonPrivate::isRetryable(const VXCurlTransfer* transfer) const
{
    return transfer->kind() == VXCurlTransfer::Kind::Put
        || m_retryableApis.contains(apiPath(transfer->api()));
}

void VXCloudCommonPrivate::start(VXCurlTransfer* transfer)
{
    transfer->countAttempt();
    transfer->setWireAttemptLimit(isRetryable(transfer) ? m_config.retries + 1 : 1);
    if (!m_pStallTimer->isActive())
        m_pStallTimer->start();
    if (!m_pDriver->addHandle(transfer->easy())) {
        failQueued(transfer, VXResult::fromTransport(CURLE_FAILED_INIT));
        return;
    }
    transfer->setInMulti(true);
}

void VXCloudCommonPrivate::failQueued(VXCurlTransfer* transfer, int code)
{
    transfer->setLocalFailure(code);
    const quint64 id = transfer->id();
    QTimer::singleShot(0, this, [this, id] { reportLocalFailure(id); });
}

void VXCloudCommonPrivate::reportLocalFailure(quint64 id)
{
    const std::unique_ptr<VXCurlTransfer> transfer = takeTransfer(id);
    if (!transfer) // stopped in the meantime
        return;
    const int code = transfer->localFailure();
    if (transfer->kind() == VXCurlTransfer::Kind::Put)
        emit m_pQ->sglUploadFinished(transfer->info(), code);
    else
        emit m_pQ->sglHttpRequestErrorWithInfo(transfer->params(), transfer->api(), code,
                                               VXResult::text(code));
}

void VXCloudCommonPrivate::onDriverActivity()
{
    // Any signal below may lead to this object's destruction (the owner deleting the component
    // from a slot): stop touching members as soon as that happens.
    QPointer<VXCloudCommonPrivate> alive(this);
    emitProgress();
    CURL* easy = nullptr;
    CURLcode result = CURLE_OK;
    while (alive && m_pDriver->takeFinished(&easy, &result)) {
        VXCurlTransfer* transfer = nullptr;
        curl_easy_getinfo(easy, CURLINFO_PRIVATE, &transfer);
        if (transfer)
            finishTransfer(transfer, result);
    }
}

void VXCloudCommonPrivate::emitProgress()
{
    QVector<quint64> ids;
    for (const auto& entry : m_transferMap) {
        if (entry.second->kind() == VXCurlTransfer::Kind::Put && entry.second->inMulti())
            ids.append(entry.first);
    }
    QPointer<VXCloudCommonPrivate> alive(this);
    for (quint64 id : ids) {
        if (!alive)
            return;
        const auto it = m_transferMap.find(id);
        if (it == m_transferMap.end()) // stopped by a slot of an earlier emission
            continue;
        const int percent = it->second->takeProgress();
        if (percent < 0)
            continue;
        const QJsonObject info = it->second->info();
        emit m_pQ->sglUploadProgress(info, percent);
    }
}

void VXCloudCommonPrivate::finishTransfer(VXCurlTransfer* transfer, CURLcode result)
{
    m_pDriver->removeHandle(transfer->easy());
    transfer->setInMulti(false);
    if (isRetryable(transfer) && transfer->attempts() <= m_config.retries
        && transfer->outcome(result).transient && scheduleRetry(transfer))
        return;
    emitOutcome(transfer, result);
}

void VXCloudCommonPrivate::failStalledTransfers()
{
    const qint64 limitMs = qint64(m_config.stallTimeoutSec) * 1000;
    QVector<quint64> stalled;
    bool anyInMulti = false;
    for (const auto& entry : m_transferMap) {
        if (!entry.second->inMulti())
            continue;
        anyInMulti = true;
        if (entry.second->msSinceActivity() >= limitMs)
            stalled.append(entry.first);
    }
    if (!anyInMulti) {
        m_pStallTimer->stop();
        return;
    }
    // A slot of an earlier report may stop other requests or destroy this component.
    QPointer<VXCloudCommonPrivate> alive(this);
    for (quint64 id : stalled) {
        if (!alive)
            return;
        const auto it = m_transferMap.find(id);
        if (it == m_transferMap.end() || !it->second->inMulti())
            continue;
        qCWarning(lcCloudCommon).noquote()
            << "VXCloudCommon: no byte moved for" << m_config.stallTimeoutSec << "s; request"
            << (it->second->api().isEmpty() ? QStringLiteral("PUT") : it->second->api())
            << "ends";
        it->second->setStalled();
        finishTransfer(it->second.get(), CURLE_OPERATION_TIMEDOUT);
    }
}

bool VXCloudCommonPrivate::scheduleRetry(VXCurlTransfer* transfer)
{
    if (!transfer->rewindForRetry())
        return false;
    const int shift = qMin(transfer->attempts() - 1, 16);
    const qint64 delay = qMin<qint64>(qint64(m_config.retryDelayMs) << shift,
                                      m_config.retryDelayCapMs);
    qCInfo(lcCloudCommon).noquote()
        << "VXCloudCommon: retrying" << redacted(transfer->url()) << "in" << delay << "ms"
        << "after attempt" << transfer->attempts();
    const quint64 id = transfer->id();
    QTimer::singleShot(int(delay), this, [this, id] { retryNow(id); });
    return true;
}

void VXCloudCommonPrivate::retryNow(quint64 id)
{
    const auto it = m_transferMap.find(id);
    if (it != m_transferMap.end() && !it->second->inMulti())
        start(it->second.get());
}

void VXCloudCommonPrivate::emitOutcome(VXCurlTransfer* finished, CURLcode result)
{
    // Out of the table before the signal: a slot that stops this URL or starts a new request sees
    // a consistent state. The local owner keeps the transfer alive while the signal runs.
    const std::unique_ptr<VXCurlTransfer> transfer = takeTransfer(finished->id());
    int code = transfer->outcome(result).code;
    if (transfer->kind() == VXCurlTransfer::Kind::Put) {
        QJsonObject info = transfer->info();
        if (code == VXResult::Success && !transfer->etag().isEmpty())
            info.insert(QStringLiteral("ETag"), QString::fromUtf8(transfer->etag()));
        // No URL in the line: a pre-signed URL is a credential, and its path adds nothing
        // that the job's remote path does not say.
        if (code != VXResult::Success) {
            qCWarning(lcCloudCommon).noquote()
                << "VXCloudCommon: PUT of" << info.value(QStringLiteral("remotePath")).toString()
                << "failed:" << transfer->failureText(result);
        }
        emit m_pQ->sglUploadFinished(info, code);
        return;
    }

    QString message;
    if (code == VXResult::Success) {
        QJsonParseError parseError;
        const QJsonDocument reply = QJsonDocument::fromJson(transfer->responseBody(), &parseError);
        if (parseError.error == QJsonParseError::NoError && reply.isObject()) {
            emit m_pQ->sglHttpRequestFinishWithInfo(transfer->params(), transfer->api(),
                                                    reply.object(), transfer->url());
            return;
        }
        code = VXResult::InvalidReply;
        message = VXResult::text(code);
    } else {
        message = transfer->failureText(result);
        const QString reason = serverReason(transfer->responseBody());
        if (!reason.isEmpty())
            message += QStringLiteral(": ") + reason;
    }
    qCWarning(lcCloudCommon).noquote()
        << "VXCloudCommon: request" << transfer->api() << "failed:" << message;
    emit m_pQ->sglHttpRequestErrorWithInfo(transfer->params(), transfer->api(), code, message);
}

std::unique_ptr<VXCurlTransfer> VXCloudCommonPrivate::takeTransfer(quint64 id)
{
    const auto it = m_transferMap.find(id);
    if (it == m_transferMap.end())
        return nullptr;
    std::unique_ptr<VXCurlTransfer> transfer = std::move(it->second);
    m_transferMap.erase(it);
    return transfer;
}
