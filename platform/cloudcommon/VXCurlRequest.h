#ifndef VXCURLREQUEST_H
#define VXCURLREQUEST_H

#include "VXCloudCommonConfig.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <memory>

class VXReportMailbox;

// One request as the component's facade hands it to a worker thread: everything the worker
// needs, copied (implicitly shared data is copied on the facade's thread before it crosses), so
// that nothing of it is shared with the facade afterwards.
struct VXCurlRequest
{
    enum class Op { ApiPost, PutData, PutFile };

    quint64 id = 0;
    Op op = Op::ApiPost;
    QString url;
    QString api;        // of an API request, for log lines
    QString remotePath; // of a PUT, for log lines
    QByteArray body;    // the JSON body of a POST, or the data of a PUT (shared, not copied)
    QString path;       // the file of a file PUT
    qint64 offset = 0;
    qint64 length = -1; // -1: the whole file
    bool retryable = false;
    std::shared_ptr<const VXCloudCommonConfig> config;
    std::shared_ptr<VXReportMailbox> mailbox; // where its reports go
};

#endif // VXCURLREQUEST_H
