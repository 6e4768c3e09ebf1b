#ifndef SCRIPTEDHTTPSERVER_H
#define SCRIPTEDHTTPSERVER_H

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPair>
#include <QTcpServer>

class QTcpSocket;

// What the server does with one complete request.
struct ScriptedReply
{
    enum Action { Answer, CloseWithoutAnswer, NeverAnswer };

    int status = 200;
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;
    Action action = Answer;
    int delayMs = 0;
};

// One request as the server received it; header names are lower-case.
struct RecordedRequest
{
    QByteArray method;
    QByteArray path;
    QMap<QByteArray, QByteArray> headers;
    QByteArray body;
};

// A small HTTP/1.1 server on 127.0.0.1 (port chosen by the system) for tests: it records every
// request and answers them in order with the queued replies, then with the default reply.
// Connections are kept alive. Runs on the test's event loop.
class ScriptedHttpServer : public QObject
{
    Q_OBJECT

public:
    explicit ScriptedHttpServer(QObject* parent = nullptr);

    bool listen();
    QString baseUrl() const;
    void enqueue(const ScriptedReply& reply) { m_replyList.append(reply); }
    void setDefaultReply(const ScriptedReply& reply) { m_defaultReply = reply; }
    const QList<RecordedRequest>& requests() const { return m_requestList; }
    int connectionCount() const { return m_iConnections; }
    // Body bytes received so far by the request that is still arriving, over all connections.
    qint64 partialBodyBytes() const { return m_partialBodyBytes; }

signals:
    void requestReceived();

private:
    struct Connection
    {
        QByteArray buffer;
        bool headerDone = false;
        qint64 contentLength = 0;
        RecordedRequest request;
    };

    void onNewConnection();
    void onReadyRead(QTcpSocket* socket);
    bool parseHeader(Connection& connection);
    void respond(QTcpSocket* socket, const ScriptedReply& reply);

    QTcpServer m_server;
    QHash<QTcpSocket*, Connection> m_connectionMap;
    QList<ScriptedReply> m_replyList;
    ScriptedReply m_defaultReply;
    QList<RecordedRequest> m_requestList;
    qint64 m_partialBodyBytes = 0;
    int m_iConnections = 0;
};

#endif // SCRIPTEDHTTPSERVER_H
