#ifndef VXSERVERPROBE_H
#define VXSERVERPROBE_H

#include <QObject>
#include <QString>
#include <QTcpSocket>
#include <QTimer>

// Tells whether the cloud server's address accepts connections: one TCP connection to the host
// and port of its URL ("http://host:port"; no scheme means https), given up after kTimeoutMs.
// The plugin reports a failed upload-URL request as -1 whatever the reason, so the window asks
// here when such a failure comes, and when the settings change. The probe connects directly:
// where a proxy variable of curl's applies to the URL it does not probe and reports nothing.
class VXServerProbe : public QObject
{
    Q_OBJECT

public:
    static constexpr int kTimeoutMs = 5000;

    explicit VXServerProbe(QObject* parent = nullptr);

    // Starts a probe of hostUrl unless one is running.
    void probe(const QString& hostUrl);

signals:
    // The probe found no server at hostUrl; a server that answers is not reported.
    void sglUnreachable(const QString& hostUrl, const QString& reason);

private:
    void finish(bool reachable, const QString& reason);

    QTcpSocket m_socket;
    QTimer m_timer;
    QString m_hostUrl; // empty when no probe runs
};

#endif // VXSERVERPROBE_H
