#include "VXCloudCommon_p.h"

#include "VXCloudCommon.h"
#include "VXCloudCommonLog.h"
#include "VXCurlWorker.h"
#include "VXCurlWorkerPool.h"
#include "VXReportMailbox.h"
#include "VXResultCodes.h"

#include <QJsonDocument>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>
#include <QUrl>
#include <QVector>

#include <atomic>

namespace {

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

// Ids are unique in the process: the workers' tables hold the requests of every component.
std::atomic<quint64> g_nextId{1};

} // namespace

VXCloudCommonPrivate::VXCloudCommonPrivate(VXCloudCommon* q)
    : m_pQ(q),
      m_pConfig(std::make_shared<const VXCloudCommonConfig>(VXCloudCommonConfig::load())),
      m_pPool(VXCurlWorkerPool::acquire()),
      m_pMailbox(std::make_shared<VXReportMailbox>()),
      m_pMailboxNotifier(new QSocketNotifier(m_pMailbox->wakeFd(), QSocketNotifier::Read, this))
{
    if (!m_pMailbox->isValid())
        qCWarning(lcCloudCommon) << "VXCloudCommon: no eventfd; nothing will be reported";
    connect(m_pMailboxNotifier, &QSocketNotifier::activated, this,
            &VXCloudCommonPrivate::onReports);
}

VXCloudCommonPrivate::~VXCloudCommonPrivate()
{
    // Nothing is reported from now on, not even what is already on its way; the workers end
    // this component's requests. The pool may go with this component (joining its threads).
    m_pMailbox->close();
    std::map<VXCurlWorker*, QVector<quint64>> stops;
    for (const auto& entry : m_liveMap) {
        if (entry.second.worker)
            stops[entry.second.worker].append(entry.first);
    }
    for (const auto& stop : stops)
        stop.first->stop(stop.second);
}

void VXCloudCommonPrivate::sendApi(const QMap<QString, QString>& params, const QString& api,
                                   const QString& host)
{
    const QString base =
        VXCloudCommonConfig::normalizedHost(host.trimmed().isEmpty() ? m_pConfig->apiHost : host);
    const QString url = base.isEmpty() ? QString() : base + QLatin1Char('/') + apiPath(api);
    LiveRequest live;
    live.params = params;
    live.api = api;
    VXCurlRequest request =
        makeRequest(VXCurlRequest::Op::ApiPost, url, std::move(live), "sendApiRequest");
    if (request.id == 0)
        return;
    request.api = api;
    request.body = jsonBody(params);
    request.retryable = m_retryableApis.contains(apiPath(api));
    send(std::move(request));
}

VXCurlRequest VXCloudCommonPrivate::makeRequest(VXCurlRequest::Op op, const QString& url,
                                                LiveRequest live, const char* operation)
{
    const quint64 id = g_nextId.fetch_add(1, std::memory_order_relaxed);
    live.isPut = op != VXCurlRequest::Op::ApiPost;
    live.url = url;
    const QString api = live.api;
    m_liveMap.emplace(id, std::move(live));
    if (!isUsableUrl(url)) {
        if (op == VXCurlRequest::Op::ApiPost)
            qCWarning(lcCloudCommon).noquote() << "VXCloudCommon::sendApiRequest: no usable host for"
                                               << api << ":" << redacted(url);
        else
            qCWarning(lcCloudCommon).noquote()
                << QStringLiteral("VXCloudCommon::%1: no usable URL:").arg(QLatin1String(operation))
                << redacted(url);
        failQueued(id, VXResult::EmptyUrl);
        return VXCurlRequest();
    }
    VXCurlRequest request;
    request.id = id;
    request.op = op;
    request.url = url;
    request.retryable = live.isPut; // PUTs are always idempotent
    request.config = m_pConfig;
    request.mailbox = m_pMailbox;
    return request;
}

void VXCloudCommonPrivate::send(VXCurlRequest request)
{
    VXCurlWorker* worker = m_pPool->leastBusy();
    m_liveMap.at(request.id).worker = worker;
    worker->start(std::move(request));
}

void VXCloudCommonPrivate::putData(const QString& url, const QByteArray& data,
                                   const QJsonObject& info)
{
    LiveRequest live;
    live.info = info;
    VXCurlRequest request =
        makeRequest(VXCurlRequest::Op::PutData, url, std::move(live), "uploadDataByPut");
    if (request.id == 0)
        return;
    request.remotePath = info.value(QStringLiteral("remotePath")).toString();
    request.body = data;
    send(std::move(request));
}

void VXCloudCommonPrivate::putFile(const QString& url, const QString& localPath,
                                   const QJsonObject& info)
{
    putFileRange(url, localPath, 0, -1, info);
}

void VXCloudCommonPrivate::putFileRange(const QString& url, const QString& localPath,
                                        qint64 offset, qint64 length, const QJsonObject& info)
{
    LiveRequest live;
    live.info = info;
    VXCurlRequest request =
        makeRequest(VXCurlRequest::Op::PutFile, url, std::move(live),
                    length < 0 ? "uploadFileByPut" : "uploadFileRangeByPut");
    if (request.id == 0)
        return;
    request.remotePath = info.value(QStringLiteral("remotePath")).toString();
    // The file is opened, checked and read on the worker: a slow disk never holds this thread.
    request.path = localPath;
    request.offset = offset;
    request.length = length;
    send(std::move(request));
}

void VXCloudCommonPrivate::setRetryableApis(const QStringList& apis)
{
    m_retryableApis.clear();
    for (const QString& api : apis)
        m_retryableApis.append(apiPath(api));
}

void VXCloudCommonPrivate::stopByUrl(const QString& url)
{
    std::map<VXCurlWorker*, QVector<quint64>> stops;
    for (auto it = m_liveMap.begin(); it != m_liveMap.end();) {
        if (it->second.url != url) {
            ++it;
            continue;
        }
        if (it->second.worker)
            stops[it->second.worker].append(it->first);
        qCDebug(lcCloudCommon).noquote() << "VXCloudCommon::stopUploadByUrl:" << redacted(url);
        it = m_liveMap.erase(it);
    }
    for (const auto& stop : stops)
        stop.first->stop(stop.second);
}

void VXCloudCommonPrivate::failQueued(quint64 id, int code)
{
    VXCurlReport report;
    report.id = id;
    report.value = code;
    report.message = VXResult::text(code);
    m_pMailbox->post(std::move(report));
}

void VXCloudCommonPrivate::onReports()
{
    m_pMailbox->drainWakeups();
    // A slot may stop requests (their reports still queued are then dropped) or destroy this
    // component: stop as soon as that happens; the rest of the queue goes with the mailbox.
    QPointer<VXCloudCommonPrivate> alive(this);
    VXCurlReport report;
    while (alive && m_pMailbox->take(&report))
        deliver(report);
}

// A worker's log line, written here: the host's message handler runs on the host's thread only.
void VXCloudCommonPrivate::writeLog(QtMsgType type, const QString& text)
{
    switch (type) {
    case QtDebugMsg:
        qCDebug(lcCloudCommon).noquote() << text;
        break;
    case QtInfoMsg:
        qCInfo(lcCloudCommon).noquote() << text;
        break;
    default:
        qCWarning(lcCloudCommon).noquote() << text;
        break;
    }
}

void VXCloudCommonPrivate::deliver(const VXCurlReport& report)
{
    const auto it = m_liveMap.find(report.id);
    if (report.kind == VXCurlReport::Kind::Log) {
        if (report.id == 0 || it != m_liveMap.end())
            writeLog(QtMsgType(report.value), report.message);
        return;
    }
    if (it == m_liveMap.end()) // stopped
        return;
    if (report.kind == VXCurlReport::Kind::Progress) {
        const QJsonObject info = it->second.info;
        emit m_pQ->sglUploadProgress(info, report.value);
        return;
    }
    // Out of the table before the signal: a slot that stops this URL or starts a new request
    // sees a consistent state.
    const LiveRequest live = std::move(it->second);
    m_liveMap.erase(it);
    if (live.isPut) {
        QJsonObject info = live.info;
        if (report.value == VXResult::Success && !report.etag.isEmpty())
            info.insert(QStringLiteral("ETag"), QString::fromUtf8(report.etag));
        emit m_pQ->sglUploadFinished(info, report.value);
    } else if (report.value == VXResult::Success) {
        emit m_pQ->sglHttpRequestFinishWithInfo(live.params, live.api, report.reply, live.url);
    } else {
        emit m_pQ->sglHttpRequestErrorWithInfo(live.params, live.api, report.value,
                                               report.message);
    }
}
