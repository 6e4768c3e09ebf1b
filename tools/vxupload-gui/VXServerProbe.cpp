#include "VXServerProbe.h"

#include <QList>
#include <QUrl>

#include <utility>

VXServerProbe::VXServerProbe(QObject* parent) : QObject(parent)
{
    m_timer.setSingleShot(true);
    m_timer.setInterval(kTimeoutMs);
    connect(&m_timer, &QTimer::timeout, this,
            [this] { finish(false, QStringLiteral("no connection within 5 s")); });
    connect(&m_socket, &QTcpSocket::connected, this, [this] { finish(true, QString()); });
    connect(&m_socket, &QAbstractSocket::errorOccurred, this,
            [this] { finish(false, m_socket.errorString()); });
}

void VXServerProbe::probe(const QString& hostUrl)
{
    if (!m_hostUrl.isEmpty())
        return;
    const QString text = hostUrl.trimmed();
    const QUrl url(text.contains(QStringLiteral("://")) ? text
                                                        : QStringLiteral("https://") + text);
    const bool https = url.scheme() == QLatin1String("https");
    // curl's proxy variables (http_proxy in lower case only).
    const QList<const char*> proxies =
        https ? QList<const char*>{"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}
              : QList<const char*>{"http_proxy", "all_proxy", "ALL_PROXY"};
    for (const char* proxy : proxies) {
        if (!qEnvironmentVariableIsEmpty(proxy))
            return;
    }
    m_hostUrl = text;
    if (!url.isValid() || url.host().isEmpty()) {
        finish(false, QStringLiteral("not a valid address"));
        return;
    }
    m_timer.start();
    m_socket.connectToHost(url.host(), quint16(url.port(https ? 443 : 80)));
}

void VXServerProbe::finish(bool reachable, const QString& reason)
{
    if (m_hostUrl.isEmpty())
        return;
    const QString hostUrl = std::exchange(m_hostUrl, QString());
    m_timer.stop();
    m_socket.abort();
    if (!reachable)
        emit sglUnreachable(hostUrl, reason);
}
