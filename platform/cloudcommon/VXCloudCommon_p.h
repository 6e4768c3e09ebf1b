#ifndef VXCLOUDCOMMON_P_H
#define VXCLOUDCOMMON_P_H

#include "VXCloudCommonConfig.h"
#include "VXCurlReport.h"
#include "VXCurlRequest.h"

#include <QJsonObject>
#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>

#include <map>
#include <memory>

class QSocketNotifier;
class VXCloudCommon;
class VXCurlWorker;
class VXCurlWorkerPool;
class VXReportMailbox;

// The working part of VXCloudCommon, on the component's own thread (the host's): it only routes.
// Each request gets an id, is handed to the least busy worker thread of the process-wide pool
// (VXCurlWorkerPool), which opens, reads and hashes its body and runs its transfer, and comes back
// as reports through this component's mailbox. The table of live requests (id -> what the
// caller gave: parameters, info, URL) never leaves this thread; a report whose id is not in it
// (stopped meanwhile, even while the report was on its way) is dropped. The workers' log lines
// come as reports too and are written here, so that the host's message handler is only ever
// called on the host's thread.
//
// Every signal of the public object is emitted from here, from the event loop (the mailbox's
// wake-up), never from inside a call. A slot connected to those signals may call any operation
// of the component again, and may delete it. Owned by the public object alone; all functions on
// the component's thread.
class VXCloudCommonPrivate : public QObject
{
    Q_OBJECT

public:
    explicit VXCloudCommonPrivate(VXCloudCommon* q);
    ~VXCloudCommonPrivate() override;

    void sendApi(const QMap<QString, QString>& params, const QString& api, const QString& host);
    void putData(const QString& url, const QByteArray& data, const QJsonObject& info);
    void putFile(const QString& url, const QString& localPath, const QJsonObject& info);
    void putFileRange(const QString& url, const QString& localPath, qint64 offset, qint64 length,
                      const QJsonObject& info);
    void stopByUrl(const QString& url);
    void setRetryableApis(const QStringList& apis);

private:
    struct LiveRequest
    {
        bool isPut = false;
        QString url;
        QMap<QString, QString> params; // of an API request
        QString api;                   // of an API request
        QJsonObject info;              // of a PUT
        VXCurlWorker* worker = nullptr; // null: failed before it was sent
    };

    // A request for `url` with a fresh id, its live record made; null when the URL is unusable
    // (its failure is then queued).
    VXCurlRequest makeRequest(VXCurlRequest::Op op, const QString& url, LiveRequest live,
                              const char* operation);
    void send(VXCurlRequest request);
    void failQueued(quint64 id, int code);
    void onReports();
    void deliver(const VXCurlReport& report);
    static void writeLog(QtMsgType type, const QString& text);

    VXCloudCommon* m_pQ;
    std::shared_ptr<const VXCloudCommonConfig> m_pConfig;
    std::shared_ptr<VXCurlWorkerPool> m_pPool;
    std::shared_ptr<VXReportMailbox> m_pMailbox;
    QSocketNotifier* m_pMailboxNotifier;
    QStringList m_retryableApis; // API paths without leading "/", as apiPath() gives them
    std::map<quint64, LiveRequest> m_liveMap;
};

#endif // VXCLOUDCOMMON_P_H
