// Which failures vxupload --resubmit submits again (the plugin's reports as they come for each
// kind of failure), how often, and after which pauses.
#include "VXResultCodes.h"
#include "VXRetryPolicy.h"

#include <QtTest>

class tst_VXRetryPolicy : public QObject
{
    Q_OBJECT

    enum class Report {
        Job,            // the submitted job itself: what a refused completion reports
        UploadUrl,      // the upload-URL request's fields (also after a failed multipart start)
        Completion,     // the completion request's fields: the slice job's
        MissingFile,    // the upload-URL fields of a local file that does not exist
        OwnUploadMethod // a job with an "uploadMethod" field of its own, reported as it is
    };

private slots:
    void transient_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("report");
        QTest::addColumn<bool>("transient");
        const auto row = [](const char* name, int code, Report report, bool transient) {
            QTest::newRow(name) << code << int(report) << transient;
        };
        row("connection refused", VXResult::ConnectFailed, Report::Job, true);
        row("host not found", VXResult::HostNotFound, Report::Job, true);
        row("proxy not found", VXResult::ProxyNotResolved, Report::Job, true);
        row("timed out", VXResult::TimedOut, Report::Completion, true);
        row("closed without an answer", VXResult::EmptyReply, Report::Job, true);
        row("broke while sending", VXResult::SendFailed, Report::Completion, true);
        row("broke while receiving", VXResult::ReceiveFailed, Report::Job, true);
        row("answer cut short", VXResult::PartialFile, Report::Job, true);
        row("answer not HTTP", VXResult::WeirdServerReply, Report::Job, true);
        row("HTTP 500", 500, Report::Job, true);
        row("HTTP 503", 503, Report::Completion, true);
        row("HTTP 599", 599, Report::Job, true);
        row("HTTP 429", 429, Report::Job, true);
        row("-1: upload-URL request failed", VXResult::ManagerFailure, Report::UploadUrl, true);
        row("-1: completion request failed", VXResult::ManagerFailure, Report::Completion, true);

        row("-1: completion refused", VXResult::ManagerFailure, Report::Job, false);
        row("-1: completion refused, job with an uploadMethod field", VXResult::ManagerFailure,
            Report::OwnUploadMethod, false);
        row("-1: local file missing", VXResult::ManagerFailure, Report::MissingFile, false);
        row("HTTP 400", 400, Report::Job, false);
        row("HTTP 403", 403, Report::Completion, false);
        row("HTTP 404", 404, Report::Job, false);
        row("HTTP 408", 408, Report::Job, false);
        row("HTTP 600", 600, Report::Job, false);
        row("TLS handshake failed", VXResult::TlsConnectFailed, Report::Job, false);
        row("certificate not trusted", VXResult::CertificateNotTrusted, Report::Job, false);
        row("CA file unusable", VXResult::CaFileUnusable, Report::Job, false);
        row("unnamed transport code", VXResult::fromTransport(3), Report::Job, false);
        row("file unreadable", VXResult::FileUnreadable, Report::Job, false);
        row("empty URL", VXResult::EmptyUrl, Report::UploadUrl, false);
        row("reply not JSON", VXResult::InvalidReply, Report::UploadUrl, false);
        row("checksum mismatch", VXResult::IntegrityMismatch, Report::Completion, false);
        row("no slice read", VXResult::NoSliceRead, Report::Completion, false);
        row("too few part URLs", VXResult::TooFewPartUrls, Report::Completion, false);
        row("file changed", VXResult::FileChanged, Report::Completion, false);
        row("file too large", VXResult::FileTooLarge, Report::UploadUrl, false);
        row("success", VXResult::Success, Report::Job, false);
    }

    void transient()
    {
        QFETCH(int, code);
        QFETCH(int, report);
        QFETCH(bool, transient);
        const QString self = QCoreApplication::applicationFilePath();
        QJsonObject job{{"localPath", self},
                        {"remotePath", "r/a.bin"},
                        {"bucketName", "b"},
                        {"bc_bcode", "X1"}};
        QJsonObject got = job;
        switch (Report(report)) {
        case Report::Job:
            break;
        case Report::MissingFile:
            job["localPath"] = "/nonexistent/a.bin";
            got = job;
            Q_FALLTHROUGH();
        case Report::UploadUrl:
            got.insert("bucket", "b");
            got.insert("path", "r/a.bin");
            got.insert("uploadMethod", "upload");
            break;
        case Report::Completion:
            got.insert("uploadid", "u-1");
            got.insert("filePath", self);
            got.insert("sliceLen", "5242880");
            break;
        case Report::OwnUploadMethod:
            job.insert("uploadMethod", "mine");
            got = job;
            break;
        }
        QCOMPARE(VXRetryPolicy::isTransient(code, got, job), transient);
        // The limit counts retries: the last one allowed, then none.
        const VXRetryPolicy policy(3);
        QCOMPARE(policy.shouldRetry(code, got, job, 2), transient);
        QVERIFY(!policy.shouldRetry(code, got, job, 3));
        QVERIFY(!VXRetryPolicy().shouldRetry(code, got, job, 0));
    }

    void pauses_data()
    {
        QTest::addColumn<int>("retry");
        QTest::addColumn<int>("pauseMs");
        QTest::newRow("first") << 1 << 2000;
        QTest::newRow("second") << 2 << 4000;
        QTest::newRow("third") << 3 << 8000;
        QTest::newRow("fifth") << 5 << 32000;
        QTest::newRow("sixth: capped") << 6 << 60000;
        QTest::newRow("thousandth: capped") << 1000 << 60000;
    }

    void pauses()
    {
        QFETCH(int, retry);
        QTEST(VXRetryPolicy::pauseMs(retry), "pauseMs");
    }
};

QTEST_GUILESS_MAIN(tst_VXRetryPolicy)
#include "tst_vxretrypolicy.moc"
