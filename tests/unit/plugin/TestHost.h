#ifndef TESTHOST_H
#define TESTHOST_H

#include <QJsonObject>
#include <QObject>

// A host object as an application hands it to initUploadManager: it only declares the two
// signals the plugin relays its reports into.
class TestHost : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

signals:
    void sglUploadFinished(int res, const QJsonObject& jsonInfo);
    void sglUploadProgress(const QJsonObject& jsonInfo, int progress);
};

#endif // TESTHOST_H
