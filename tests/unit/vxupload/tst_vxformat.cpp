// What the hosts print of a report: no pre-signed part URL, no completion credential, no other
// signed URL, but the download address of a success; and the transport codes by their names.
#include "VXFormat.h"
#include "VXResultCodes.h"

#include <QJsonDocument>
#include <QtTest>

#include <curl/curl.h>

// The names stand for -(1000 + CURLcode); the header spells the numbers out to stay free of
// libcurl, so they are checked against libcurl's own here.
static_assert(VXResult::ProxyNotResolved == -1000 - CURLE_COULDNT_RESOLVE_PROXY, "");
static_assert(VXResult::HostNotFound == -1000 - CURLE_COULDNT_RESOLVE_HOST, "");
static_assert(VXResult::ConnectFailed == -1000 - CURLE_COULDNT_CONNECT, "");
static_assert(VXResult::WeirdServerReply == -1000 - CURLE_WEIRD_SERVER_REPLY, "");
static_assert(VXResult::PartialFile == -1000 - CURLE_PARTIAL_FILE, "");
static_assert(VXResult::TimedOut == -1000 - CURLE_OPERATION_TIMEDOUT, "");
static_assert(VXResult::TlsConnectFailed == -1000 - CURLE_SSL_CONNECT_ERROR, "");
static_assert(VXResult::EmptyReply == -1000 - CURLE_GOT_NOTHING, "");
static_assert(VXResult::SendFailed == -1000 - CURLE_SEND_ERROR, "");
static_assert(VXResult::ReceiveFailed == -1000 - CURLE_RECV_ERROR, "");
static_assert(VXResult::CertificateNotTrusted == -1000 - CURLE_PEER_FAILED_VERIFICATION, "");
static_assert(VXResult::CaFileUnusable == -1000 - CURLE_SSL_CACERT_BADFILE, "");

namespace {

const QString kObject = QStringLiteral("http://127.0.0.1:9000/b/dir/big.bin");

QString signedUrl()
{
    return kObject +
           QStringLiteral("?X-Amz-Algorithm=AWS4-HMAC-SHA256&X-Amz-Credential=AKIAKEY%2F20260101"
                          "&X-Amz-Expires=3600&X-Amz-Signature=0123abcd");
}

// A JSON object written with ' for " (@SIGNED@: a signed URL of @OBJECT@).
QJsonObject json(const char* text)
{
    return QJsonDocument::fromJson(QByteArray(text)
                                       .replace('\'', '"')
                                       .replace("@SIGNED@", signedUrl().toUtf8())
                                       .replace("@OBJECT@", kObject.toUtf8()))
        .object();
}

} // namespace

class tst_VXFormat : public QObject
{
    Q_OBJECT

private slots:
    // Signed URLs in any field at any depth lose their query (SigV4 and SigV2); a URL whose
    // query signs nothing is kept; so is a success's download address. (Part URLs, the
    // completion's authorization and a failure's download address, as vxupload prints them:
    // e2e_vxupload_credentials and the fault matrix's credential check.)
    void printableReport()
    {
        const QJsonObject report =
            json("{'uploadUrl':'@SIGNED@','note':'sent to @SIGNED@ twice',"
                 "'v2':'http://h/k?AWSAccessKeyId=A&Signature=abc%3D',"
                 "'nested':[{'url':'@SIGNED@','authorization':'x'}],"
                 "'plain':'http://h/k?versionId=3','downloadUrl':'@SIGNED@'}");
        QJsonObject printable =
            json("{'uploadUrl':'@OBJECT@?<redacted>','note':'sent to @OBJECT@?<redacted> twice',"
                 "'v2':'http://h/k?<redacted>','nested':[{'url':'@OBJECT@?<redacted>'}],"
                 "'plain':'http://h/k?versionId=3','downloadUrl':'@SIGNED@'}");
        QCOMPARE(VXFormat::printableReport(0, report), printable);
        // What vxupload prints and stores is made from the printable report only.
        QCOMPARE(VXFormat::jsonLine(0, report),
                 "{\"result\":0,\"job\":" +
                     QJsonDocument(printable).toJson(QJsonDocument::Compact) + "}\n");
    }
};

QTEST_GUILESS_MAIN(tst_VXFormat)
#include "tst_vxformat.moc"
