#include "ScriptedHttpServer.h"

#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

ScriptedHttpServer::ScriptedHttpServer(QObject* parent) : QObject(parent)
{
    connect(&m_server, &QTcpServer::newConnection, this, &ScriptedHttpServer::onNewConnection);
}

bool ScriptedHttpServer::listen()
{
    return m_server.listen(QHostAddress::LocalHost, 0);
}

QString ScriptedHttpServer::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(m_server.serverPort());
}

void ScriptedHttpServer::onNewConnection()
{
    while (QTcpSocket* socket = m_server.nextPendingConnection()) {
        socket->setParent(this);
        ++m_iConnections;
        m_connectionMap.insert(socket, Connection());
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            m_connectionMap.remove(socket);
            socket->deleteLater();
        });
    }
}

bool ScriptedHttpServer::parseHeader(Connection& connection)
{
    const int end = connection.buffer.indexOf("\r\n\r\n");
    if (end < 0)
        return false;
    const QList<QByteArray> lines = connection.buffer.left(end).split('\n');
    connection.buffer.remove(0, end + 4);
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    connection.request = RecordedRequest();
    connection.request.method = requestLine.value(0);
    connection.request.path = requestLine.value(1);
    for (int i = 1; i < lines.size(); ++i) {
        const int colon = lines.at(i).indexOf(':');
        if (colon > 0)
            connection.request.headers.insert(lines.at(i).left(colon).trimmed().toLower(),
                                              lines.at(i).mid(colon + 1).trimmed());
    }
    connection.contentLength =
        connection.request.headers.value("content-length", "0").toLongLong();
    connection.headerDone = true;
    return true;
}

void ScriptedHttpServer::onReadyRead(QTcpSocket* socket)
{
    if (!m_connectionMap.contains(socket))
        return;
    Connection& connection = m_connectionMap[socket];
    connection.buffer.append(socket->readAll());
    for (;;) {
        if (!connection.headerDone && !parseHeader(connection))
            return;
        const qint64 missing = connection.contentLength - connection.request.body.size();
        connection.request.body.append(connection.buffer.left(int(missing)));
        connection.buffer.remove(0, int(qMin<qint64>(missing, connection.buffer.size())));
        if (connection.request.body.size() < connection.contentLength) {
            m_partialBodyBytes = connection.request.body.size();
            return;
        }
        m_partialBodyBytes = 0;
        connection.headerDone = false;
        m_requestList.append(connection.request);
        const ScriptedReply reply =
            m_replyList.isEmpty() ? m_defaultReply : m_replyList.takeFirst();
        QPointer<QTcpSocket> guard(socket);
        if (reply.delayMs > 0)
            QTimer::singleShot(reply.delayMs, socket, [this, socket, reply] {
                respond(socket, reply);
            });
        else
            respond(socket, reply);
        emit requestReceived();
        if (!guard || !m_connectionMap.contains(socket))
            return;
    }
}

void ScriptedHttpServer::respond(QTcpSocket* socket, const ScriptedReply& reply)
{
    switch (reply.action) {
    case ScriptedReply::NeverAnswer:
        return;
    case ScriptedReply::CloseWithoutAnswer:
        socket->abort();
        return;
    case ScriptedReply::Answer:
        break;
    }
    QByteArray answer = "HTTP/1.1 " + QByteArray::number(reply.status) + " Scripted\r\n";
    answer += "Content-Length: " + QByteArray::number(reply.body.size()) + "\r\n";
    for (const auto& header : reply.headers)
        answer += header.first + ": " + header.second + "\r\n";
    answer += "\r\n" + reply.body;
    socket->write(answer);
}
