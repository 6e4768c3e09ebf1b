// The fault-injecting forward proxy (faultproxy.js, run by node) as the fault tests drive it: the
// rules go on its command line, its events come back from its standard output. The plugin's
// libcurl reaches it through http_proxy; the proxy ends when this object closes its input.
#pragma once

#include <QElapsedTimer>
#include <QJsonArray>
#include <QProcess>
#include <QStringList>
#include <QVector>

class FaultProxy : public QObject
{
    Q_OBJECT

public:
    // One line of the proxy's output: "request", "held", "answered" or "aborted".
    struct Event
    {
        QString event;
        QString kind;   // "fileuploadurl", "initmultipart", "completemultipart", "put", "part"
        QString remote; // the job's remote path
        int part = 0;
        QStringList fields; // of an API request: the names in its JSON body
        qint64 seenMs = 0; // when this process read it, on now()'s clock
    };

    ~FaultProxy() override;

    // Starts `node script` with the rules (faultproxy.js describes them) and waits until the
    // proxy listens; false (see errorString) otherwise.
    bool start(const QString& node, const QString& script, const QJsonArray& rules);
    QString errorString() const { return m_error; }
    int port() const { return m_port; }
    // Milliseconds since start(): the clock of Event::seenMs.
    qint64 now() const { return m_clock.elapsed(); }

    const QVector<Event>& events() const { return m_events; }
    // The events called `name` ("request", ...) of requests of `kind` (and part, unless 0) for
    // the job `remote`.
    QVector<Event> eventsOf(const QString& name, const QString& kind, const QString& remote,
                            int part = 0) const;

signals:
    void eventArrived(const FaultProxy::Event& event);

private:
    void readEvents();

    QProcess m_process;
    QElapsedTimer m_clock;
    QVector<Event> m_events;
    QString m_error;
    int m_port = 0;
};
