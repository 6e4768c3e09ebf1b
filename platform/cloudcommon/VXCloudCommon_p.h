#ifndef VXCLOUDCOMMON_P_H
#define VXCLOUDCOMMON_P_H

#include "VXCloudCommonConfig.h"
#include "VXCurlTransfer.h"

#include <QJsonObject>
#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>

#include <curl/curl.h>

#include <map>
#include <memory>

class QTimer;
class VXCloudCommon;
class VXCurlMultiDriver;

// The working part of VXCloudCommon: the table of requests in flight and the multi driver that
// runs them. Owned by the public object alone (not a QObject child of it); like it, it lives on
// the thread that created it. Every signal of the public object is emitted from here, always from the event loop:
// from a socket or timer event of the driver after curl has returned, or from a queued call for
// failures found before sending. A slot connected to those signals may call any operation of the
// component again, and may deleteLater it.
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
    VXCurlTransfer* createTransfer(VXCurlTransfer::Kind kind, const QString& url);
    // A PUT transfer for url, or null when the URL is unusable (its failure is then queued).
    VXCurlTransfer* createPut(const QString& url, const QJsonObject& info, const char* operation);
    bool isRetryable(const VXCurlTransfer* transfer) const;
    void start(VXCurlTransfer* transfer);
    // Ends every request that has moved no byte for the stall time-out, as a time-out.
    void failStalledTransfers();
    void failQueued(VXCurlTransfer* transfer, int code);
    void reportLocalFailure(quint64 id);
    void onDriverActivity();
    void emitProgress();
    void finishTransfer(VXCurlTransfer* transfer, CURLcode result);
    bool scheduleRetry(VXCurlTransfer* transfer);
    void retryNow(quint64 id);
    void emitOutcome(VXCurlTransfer* transfer, CURLcode result);
    std::unique_ptr<VXCurlTransfer> takeTransfer(quint64 id);

    VXCloudCommon* m_pQ;
    VXCloudCommonConfig m_config;
    std::unique_ptr<VXCurlMultiDriver> m_pDriver;
    QTimer* m_pStallTimer; // runs while requests are in flight
    QStringList m_retryableApis; // API paths without leading "/", as apiPath() gives them
    std::map<quint64, std::unique_ptr<VXCurlTransfer>> m_transferMap;
    quint64 m_iNextId = 1;
};

#endif // VXCLOUDCOMMON_P_H
