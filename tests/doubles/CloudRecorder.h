#ifndef CLOUDRECORDER_H
#define CLOUDRECORDER_H

#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>

class VXCloudCommon;

#if defined(VXCLOUDDOUBLES_LIBRARY)
#define VXCLOUDDOUBLES_EXPORT Q_DECL_EXPORT
#else
#define VXCLOUDDOUBLES_EXPORT Q_DECL_IMPORT
#endif

// One call made on a recording VXCloudCommon double, fields in this order (the doubles build it
// as an aggregate). Only the fields of the operation are set.
struct VXCLOUDDOUBLES_EXPORT CloudCall
{
    VXCloudCommon* component = nullptr;
    QString op; // "sendCosCenterRequest", "sendApiRequest", "uploadDataByPut",
                // "uploadFileByPut", "uploadFileRangeByPut", "stopUploadByUrl" or "reservedSlotN"
    QMap<QString, QString> params;
    QString api;
    QString host;
    int flag = 0;
    QString url;
    QString localPath;
    qint64 offset = 0; // uploadFileRangeByPut's file range
    qint64 length = 0;
    QJsonObject info;
};

// Process-wide record of everything the code under test asked of the outside components
// (VXCloudCommon and VXCloudUtils doubles), and the answers the test wants them to give.
// Tests answer a request by emitting the component's signals directly, e.g.
//   emit call.component->sglHttpRequestFinishWithInfo(call.params, call.api, reply, url);
class VXCLOUDDOUBLES_EXPORT CloudRecorder
{
public:
    static CloudRecorder& instance();

    // Forgets all calls, components, settings, INI values, libraries and the hook.
    void reset();

    QList<CloudCall> callsOf(const QString& op) const;

    // Every call, in order.
    QList<CloudCall> calls;
    // Components alive, in creation order (a destroyed one leaves the list).
    QList<VXCloudCommon*> components;
    // Called after a call has been recorded; may emit signals or call back into the code under
    // test, as a real component reporting synchronously would.
    std::function<void(const CloudCall&)> onCall;

    // The API paths last declared retryable through setRetryableApis.
    QStringList retryableApis;
    // VXCloudUtils::getConfigFromIni answers from here: key as given ("/Group/key") -> value.
    QMap<QString, QString> iniValues;
    // VXCloudUtils::loadLib answers from here: library name -> root object (null if absent).
    QMap<QString, QObject*> libraries;
};

#endif // CLOUDRECORDER_H
