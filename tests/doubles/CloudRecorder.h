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

// One call made on a recording VXCloudCommon double; only the fields of its operation are set.
struct VXCLOUDDOUBLES_EXPORT CloudCall
{
    VXCloudCommon* component = nullptr;
    QString op; // the operation's name: "sendApiRequest", "stopUploadByUrl", "reservedSlot7"...
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

// What the code under test asked of the VXCloudCommon and VXCloudUtils doubles, and what they
// answer. Tests answer a request by emitting the component's signals, e.g.
//   emit call.component->sglHttpRequestFinishWithInfo(call.params, call.api, reply, url);
class VXCLOUDDOUBLES_EXPORT CloudRecorder
{
public:
    static CloudRecorder& instance();

    void reset(); // forgets everything below

    QList<CloudCall> callsOf(const QString& op) const;

    QList<CloudCall> calls; // in order
    // Components alive, in creation order (a destroyed one leaves the list).
    QList<VXCloudCommon*> components;
    // Called after each call is recorded; may emit signals or call back into the code under test.
    std::function<void(const CloudCall&)> onCall;

    // VXCloudUtils::getConfigFromIni answers from here: key as given ("/Group/key") -> value.
    QMap<QString, QString> iniValues;
    // VXCloudUtils::loadLib answers from here: library name -> root object (null if absent).
    QMap<QString, QObject*> libraries;
};

#endif // CLOUDRECORDER_H
