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
//   -1001 .. -1999    transport failure: -(1000 + libcurl's CURLcode); the ones a host acts on
//                     are named below (HostNotFound, ConnectFailed, TimedOut, ...)
//   -2001 .. -2099    local failure before or outside the transfer
//   -3001 .. -3099    slice uploader failure
namespace VXResult {

enum Code : int {
    Success = 0,
    ManagerFailure = -1,
    TransportBase = -1000,
    // Transport failures by name. The numbers are -1000 - CURLcode, written out so that this
    // header, which hosts include, needs no libcurl header.
    ProxyNotResolved = -1000 - 5,       // CURLE_COULDNT_RESOLVE_PROXY
    HostNotFound = -1000 - 6,           // CURLE_COULDNT_RESOLVE_HOST
    ConnectFailed = -1000 - 7,          // CURLE_COULDNT_CONNECT: refused or unreachable
    WeirdServerReply = -1000 - 8,       // CURLE_WEIRD_SERVER_REPLY: not HTTP
    PartialFile = -1000 - 18,           // CURLE_PARTIAL_FILE: the answer's body was cut short
    TimedOut = -1000 - 28,              // CURLE_OPERATION_TIMEDOUT: no connection, or a stall
    TlsConnectFailed = -1000 - 35,      // CURLE_SSL_CONNECT_ERROR: the TLS handshake failed
    EmptyReply = -1000 - 52,            // CURLE_GOT_NOTHING: closed without an answer
    SendFailed = -1000 - 55,            // CURLE_SEND_ERROR: broke while sending
    ReceiveFailed = -1000 - 56,         // CURLE_RECV_ERROR: broke (or was reset) while receiving
    CertificateNotTrusted = -1000 - 60, // CURLE_PEER_FAILED_VERIFICATION
    CaFileUnusable = -1000 - 77,        // CURLE_SSL_CACERT_BADFILE: caFile cannot be read
    FileUnreadable = -2001, // the local file cannot be opened or read
    EmptyUrl = -2002,       // no URL was given: nothing was sent
    InvalidReply = -2003,   // the server's reply is not a JSON object
    IntegrityMismatch = -2004, // the storage's MD5 ETag does not match the bytes sent
    NoSliceRead = -3001,    // the slice uploader read no slice (empty/unreadable file, bad length)
    TooFewPartUrls = -3002, // the file has more slices than part URLs
    FileChanged = -3003,    // the file changed (size, time, inode, device) during the upload
    FileTooLarge = -3004,   // more than 10,000 parts of 5 GiB: more than S3 takes in one object
};

inline int fromTransport(int curlCode) { return TransportBase - curlCode; }
inline bool isTransport(int code) { return code <= -1001 && code >= -1999; }
inline bool isHttpStatus(int code) { return code >= 100 && code <= 599; }

// The name of a transport failure that a host acts on, or an empty string.
inline QString transportName(int code)
{
    switch (code) {
    case ProxyNotResolved: return QStringLiteral("the proxy's host name is unknown");
    case HostNotFound: return QStringLiteral("the host name is unknown");
    case ConnectFailed: return QStringLiteral("nothing accepts the connection");
    case WeirdServerReply: return QStringLiteral("the answer is not HTTP");
    case PartialFile: return QStringLiteral("the answer was cut short");
    case TimedOut: return QStringLiteral("timed out: no connection, or no byte moved");
    case TlsConnectFailed: return QStringLiteral("the TLS handshake failed");
    case EmptyReply: return QStringLiteral("the connection closed without an answer");
    case SendFailed: return QStringLiteral("the connection broke while sending");
    case ReceiveFailed: return QStringLiteral("the connection broke while receiving (reset)");
    case CertificateNotTrusted: return QStringLiteral("the server's certificate is not trusted");
    case CaFileUnusable: return QStringLiteral("the CA file (caFile) cannot be used");
    default: return QString();
    }
}

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
    case FileTooLarge:
        return QStringLiteral("the file is larger than 10,000 parts of 5 GiB: too large to upload");
    default: break;
    }
    if (isHttpStatus(code))
        return QStringLiteral("HTTP status %1").arg(code);
    if (isTransport(code)) {
        // The libcurl code stays in the text: it is what curl's own documentation is searched by.
        const QString name = transportName(code);
        return (name.isEmpty() ? QStringLiteral("transport error") : name) +
               QStringLiteral(" (libcurl code %1)").arg(TransportBase - code);
    }
    return QStringLiteral("error %1").arg(code);
}

} // namespace VXResult

#endif // VXRESULTCODES_H
