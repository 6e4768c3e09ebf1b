#include "FaultProxy.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

FaultProxy::~FaultProxy()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.closeWriteChannel(); // the proxy exits at the end of its input
    if (!m_process.waitForFinished(3000))
        m_process.kill();
    m_process.waitForFinished(1000);
}

bool FaultProxy::start(const QString& node, const QString& script, const QJsonArray& rules)
{
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    connect(&m_process, &QProcess::readyReadStandardOutput, this, &FaultProxy::readEvents);
    m_clock.start();
    m_process.start(node, {script, QJsonDocument(rules).toJson(QJsonDocument::Compact)});
    const auto listeningOrGone = [this] {
        return m_port > 0 || m_process.state() == QProcess::NotRunning;
    };
    if (!QTest::qWaitFor(listeningOrGone, 10000) || m_port == 0) {
        m_error = QStringLiteral("the fault proxy (%1 %2) did not start: %3")
                      .arg(node, script, m_process.errorString());
        return false;
    }
    return true;
}

QVector<FaultProxy::Event> FaultProxy::eventsOf(const QString& name, const QString& kind,
                                                const QString& remote, int part) const
{
    QVector<Event> found;
    for (const Event& e : m_events) {
        if (e.event == name && e.kind == kind && e.remote == remote && (!part || e.part == part))
            found.append(e);
    }
    return found;
}

void FaultProxy::readEvents()
{
    while (m_process.canReadLine()) {
        const QJsonObject line = QJsonDocument::fromJson(m_process.readLine()).object();
        const QString name = line.value("event").toString();
        if (name == QLatin1String("listening")) {
            m_port = line.value("port").toInt();
        } else {
            QStringList fields;
            for (const QJsonValue& field : line.value("fields").toArray())
                fields.append(field.toString());
            m_events.append({name, line.value("kind").toString(), line.value("remote").toString(),
                             line.value("part").toInt(), fields, m_clock.elapsed()});
            emit eventArrived(m_events.last());
        }
    }
}
