#ifndef VXRESULTCODES_H
#define VXRESULTCODES_H

#include <QString>

// Result codes of the request component and the slice uploader, as they reach the host in
// sglUploadFinished(int res, QJsonObject) and as `code` of a failed API request.
//
//   0                 success
//   -1                the upload manager found the failure itself (no local file, the server
//                     refused the request or its completion)
//   100 .. 599        the HTTP status a server or the storage answered with (not 2xx)
//   -1001 .. -1999    transport failure: -(1000 + libcurl's CURLcode), e.g. -1007 could not
//                     connect, -1028 time-out or stall, -1052 empty reply, -1056 connection reset
//   -2001 .. -2099    local failure before or outside the transfer
//   -3001 .. -3099    slice uploader failure
namespace VXResult {

enum Code : int {
    Success = 0,
    ManagerFailure = -1,
    TransportBase = -1000,
    FileUnreadable = -2001, // the local file cannot be opened or read
    EmptyUrl = -2002,       // no URL was given: nothing was sent
    InvalidReply = -2003,   // the server's reply is not a JSON object
    IntegrityMismatch = -2004, // the storage's MD5 ETag does not match the bytes sent
    NoSliceRead = -3001,    // the slice uploader read no slice (empty/unreadable file, bad length)
    TooFewPartUrls = -3002, // the file has more slices than part URLs
    FileChanged = -3003,    // the file changed (size, time, inode, device) during the upload
};

inline int fromTransport(int curlCode) { return TransportBase - curlCode; }
inline bool isTransport(int code) { return code <= -1001 && code >= -1999; }
inline bool isHttpStatus(int code) { return code >= 100 && code <= 599; }

inline QString text(int code)
{
    switch (code) {
    case Success: return QStringLiteral("success");
    case ManagerFailure: return QStringLiteral("the cloud server refused or failed the request");
    case FileUnreadable: return QStringLiteral("the local file cannot be read");
    case EmptyUrl: return QStringLiteral("no URL to send to");
    case InvalidReply: return QStringLiteral("the server's reply is not a JSON object");
    case IntegrityMismatch:
        return QStringLiteral("the storage's checksum does not match the bytes sent");
    case NoSliceRead: return QStringLiteral("no slice could be read from the file");
    case TooFewPartUrls: return QStringLiteral("the file has more slices than part URLs");
    case FileChanged: return QStringLiteral("the file changed while it was being uploaded");
    default: break;
    }
    if (isHttpStatus(code))
        return QStringLiteral("HTTP status %1").arg(code);
    if (isTransport(code))
        return QStringLiteral("transport error (libcurl code %1)").arg(TransportBase - code);
    return QStringLiteral("error %1").arg(code);
}

} // namespace VXResult

#endif // VXRESULTCODES_H
