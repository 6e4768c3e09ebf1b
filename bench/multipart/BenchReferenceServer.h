#ifndef BENCHREFERENCESERVER_H
#define BENCHREFERENCESERVER_H

#include "BenchChild.h"

#include <QMap>
#include <QProcess>
#include <QString>

// The reference cloud server (node server/src/main.js) in front of an S3-compatible gateway,
// run as a child process for as long as this object lives. The gateway is described by the
// KEY=VALUE lines of DIR/rgw.env as scripts/rgw.sh writes them (RGW_ENDPOINT, RGW_REGION,
// RGW_ACCESS_KEY_ID, RGW_SECRET_ACCESS_KEY); they reach the server as S3_ENDPOINT, ... S3_*
// lines are taken as they are (S3_BUCKETS, default "bench-uploads", created when missing).
class BenchReferenceServer
{
public:
    ~BenchReferenceServer();

    // The node the project runs the server on (scripts/node.sh: Node 22 or later, the machine's
    // or the project's runtime); empty with the reason in `error` when there is none.
    static QString nodeProgram(QString* error = nullptr);

    // False with a reason in `error` when the settings are unusable or the server did not come up.
    bool start(const QString& gatewayDir, const QString& serverMain, QString* error);

    QString url() const { return m_url; }
    QString token() const { return m_token; }
    QString bucket() const { return m_bucket; }
    qint64 processId() const { return m_process.processId(); }
    // The gateway as the server reaches it: S3_ENDPOINT, S3_REGION, S3_ACCESS_KEY_ID, ...
    QString setting(const QString& name) const { return m_settings.value(name); }

    // Removes a stored object straight from the gateway (curl signs the request), so that
    // repeated rounds do not fill it. False when the gateway refused. A Ceph gateway frees the
    // space of removed objects only in its garbage collection, hours later by default: with
    // DIR/ceph.conf there (rgw.sh) and radosgw-admin installed, it is run at once.
    bool removeObject(const QString& curlProgram, const QString& key) const;

    // The size of a stored object (a signed HEAD request to the gateway); -1 when there is none
    // or the gateway did not answer.
    qint64 storedSize(const QString& curlProgram, const QString& key) const;

    // Keys and sizes of the stored objects under `prefix`, page by page; false when the gateway
    // did not answer.
    bool listObjects(const QString& curlProgram, const QString& prefix,
                     QMap<QString, qint64>* sizes) const;

private:
    // curl with `arguments`, signed for the gateway, to `pathAndQuery` in the bucket ("/key",
    // "?list-type=2...": a query already in canonical order and percent-encoded).
    BenchChildRun signedRequest(const QString& curlProgram, const QStringList& arguments,
                                const QString& pathAndQuery) const;

    QProcess m_process;
    QMap<QString, QString> m_settings;
    QString m_url;
    QString m_token;
    QString m_bucket;
    QString m_cephConf;
};

#endif // BENCHREFERENCESERVER_H
