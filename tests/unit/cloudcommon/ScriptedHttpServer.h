#ifndef SCRIPTEDHTTPSERVER_H
#define SCRIPTEDHTTPSERVER_H

#include <QTcpServer>

class QTcpSocket;

// What the server does with one complete request.
struct ScriptedReply
{
    enum Action { Answer, CloseWithoutAnswer };

    ScriptedReply(int s = 200, QByteArray b = {}, QByteArray e = {}, Action a = Answer)
        : status(s), body(b), etag(e), action(a) {}

    int status;
    QByteArray body;
    QByteArray etag; // sent as an "ETag" header when not empty
    Action action;
};

// One request as the server received it.
struct RecordedRequest
{
    QByteArray head; // request line and header lines, each ending in "\r\n"
    QByteArray body;
};

// A small HTTP/1.1 server for tests, listening on 127.0.0.1 (port chosen by the system) from
// construction on. It records every complete request and answers them in order with the queued
// replies, then with a plain 200. Connections are kept alive. Runs on the test's event loop.
class ScriptedHttpServer : public QTcpServer
{
public:
    ScriptedHttpServer();

    QString baseUrl() const { return QStringLiteral("http://127.0.0.1:%1").arg(serverPort()); }
    void enqueue(const ScriptedReply& reply) { m_replyList.append(reply); }
    const QList<RecordedRequest>& requests() const { return m_requestList; }

private:
    void onReadyRead(QTcpSocket* socket);

    QList<ScriptedReply> m_replyList;
    QList<RecordedRequest> m_requestList;
};

#endif // SCRIPTEDHTTPSERVER_H
