#ifndef VXCURLREPORT_H
#define VXCURLREPORT_H

#include <QByteArray>
#include <QJsonObject>
#include <QString>

// What a worker thread tells a component's facade about one request: a progress step, its end,
// or a log line. The facade adds the request's own context (parameters, info) that never left its
// thread, and writes the log lines itself: a host's message handler runs on the host's thread
// only.
struct VXCurlReport
{
    enum class Kind { Progress, Finished, Log };

    quint64 id = 0;
    Kind kind = Kind::Finished;
    int value = 0;       // Progress: the whole percentage; Finished: the result code (0: success);
                         // Log: the QtMsgType
    QByteArray etag;     // a PUT's success: the storage's ETag
    QJsonObject reply;   // an API request's success: the answer
    QString message;     // an API request's failure: a short readable reason; Log: the line
};

#endif // VXCURLREPORT_H
