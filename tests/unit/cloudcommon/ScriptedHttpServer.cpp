#include "ScriptedHttpServer.h"

#include <QRegularExpression>
#include <QTcpSocket>

ScriptedHttpServer::ScriptedHttpServer()
{
    listen(QHostAddress::LocalHost);
    connect(this, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* socket = nextPendingConnection()) { // a child of the server
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
}

void ScriptedHttpServer::onReadyRead(QTcpSocket* socket)
{
    static const QRegularExpression lengthRe("(?i)\r\ncontent-length: *(\\d+)\r\n");
    // The socket buffers what has arrived; a request is taken from it only once it is complete.
    for (;;) {
        const QByteArray peeked = socket->peek(64 * 1024);
        const int end = peeked.indexOf("\r\n\r\n");
        if (end < 0)
            return;
        const QByteArray head = peeked.left(end + 2);
        const qint64 length = lengthRe.match(QString::fromLatin1(head)).captured(1).toLongLong();
        if (socket->bytesAvailable() < end + 4 + length)
            return;
        socket->read(end + 4);
        m_requestList.append({head, socket->read(length)});

        const ScriptedReply reply =
            m_replyList.isEmpty() ? ScriptedReply() : m_replyList.takeFirst();
        if (reply.action == ScriptedReply::CloseWithoutAnswer) {
            socket->abort();
            return;
        }
        QByteArray answer = "HTTP/1.1 " + QByteArray::number(reply.status) + " Scripted\r\n";
        answer += "Content-Length: " + QByteArray::number(reply.body.size()) + "\r\n";
        if (!reply.etag.isEmpty())
            answer += "ETag: " + reply.etag + "\r\n";
        socket->write(answer + "\r\n" + reply.body);
    }
}
