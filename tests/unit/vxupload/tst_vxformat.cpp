// What the hosts print of a report: no pre-signed part URL, no completion credential, no other
// signed URL, but the download address of a success; and the transport codes by their names.
#include "VXFormat.h"
#include "VXResultCodes.h"

#include <QJsonArray>
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

QString signedUrl(const QString& query = QString())
{
    return kObject + QStringLiteral("?") + query +
           QStringLiteral("X-Amz-Algorithm=AWS4-HMAC-SHA256&X-Amz-Credential=AKIAKEY%2F20260101"
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
    void printableReport_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<QJsonObject>("report");
        QTest::addColumn<QJsonObject>("printable");

        const QJsonArray partUrls{signedUrl("partNumber=1&uploadId=u&"),
                                  signedUrl("partNumber=2&uploadId=u&")};
        QJsonObject sliceJob =
            json("{'uploadid':'u','remotePath':'dir/big.bin','localPath':'/d/big.bin',"
                 "'bucketName':'b','authorization':'v1.2.9.MAC','k':'v'}");
        sliceJob.insert("partUrl", partUrls);
        QTest::newRow("slice job: part URLs and authorization left out")
            << int(VXResult::FileChanged) << sliceJob
            << json("{'uploadid':'u','remotePath':'dir/big.bin','localPath':'/d/big.bin',"
                    "'bucketName':'b','k':'v'}");
        QTest::newRow("failed completion: its parameters as text")
            << int(VXResult::ManagerFailure)
            << json("{'remotePath':'r','authorization':'v1.2.9.MAC','partUrl':'',"
                    "'pathinfo':'1,e1;2,e2'}")
            << json("{'remotePath':'r','pathinfo':'1,e1;2,e2'}");
        QTest::newRow("success: the signed download address is kept")
            << 0 << json("{'remotePath':'r','downloadUrl':'@SIGNED@'}")
            << json("{'remotePath':'r','downloadUrl':'@SIGNED@'}");
        QTest::newRow("failure: nothing to download, its address loses the signature")
            << 403 << json("{'remotePath':'r','downloadUrl':'@SIGNED@'}")
            << json("{'remotePath':'r','downloadUrl':'@OBJECT@?<redacted>'}");
        QTest::newRow("signed URLs in other fields, at any depth")
            << 0
            << json("{'uploadUrl':'@SIGNED@','note':'sent to @SIGNED@ twice',"
                    "'v2':'http://h/k?AWSAccessKeyId=A&Signature=abc%3D',"
                    "'nested':[{'url':'@SIGNED@','authorization':'x'}],"
                    "'plain':'http://h/k?versionId=3','downloadUrl':'@OBJECT@'}")
            << json("{'uploadUrl':'@OBJECT@?<redacted>',"
                    "'note':'sent to @OBJECT@?<redacted> twice','v2':'http://h/k?<redacted>',"
                    "'nested':[{'url':'@OBJECT@?<redacted>'}],"
                    "'plain':'http://h/k?versionId=3','downloadUrl':'@OBJECT@'}");
    }

    void printableReport()
    {
        QFETCH(int, code);
        QFETCH(QJsonObject, report);
        QFETCH(QJsonObject, printable);
        QCOMPARE(VXFormat::printableReport(code, report), printable);
        // What vxupload prints and stores is made from the printable report only.
        QCOMPARE(VXFormat::jsonLine(code, report),
                 "{\"result\":" + QByteArray::number(code) + ",\"job\":" +
                     QJsonDocument(printable).toJson(QJsonDocument::Compact) + "}\n");
    }
};

QTEST_GUILESS_MAIN(tst_VXFormat)
#include "tst_vxformat.moc"
