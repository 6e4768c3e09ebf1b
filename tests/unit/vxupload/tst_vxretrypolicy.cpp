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
    // One row per class of failure; every code of the class is checked.
    void transient_data()
    {
        QTest::addColumn<QList<int>>("codes");
        QTest::addColumn<int>("report");
        QTest::addColumn<bool>("transient");
        const auto row = [](const char* name, QList<int> codes, Report report, bool transient) {
            QTest::newRow(name) << codes << int(report) << transient;
        };
        using namespace VXResult;
        row("transport: network or server away",
            {ConnectFailed, HostNotFound, ProxyNotResolved, TimedOut, EmptyReply, SendFailed,
             ReceiveFailed, PartialFile, WeirdServerReply},
            Report::Job, true);
        row("HTTP 5xx and 429", {500, 503, 599, 429}, Report::Job, true);
        row("-1: upload-URL request failed", {ManagerFailure}, Report::UploadUrl, true);
        row("-1: completion request failed", {ManagerFailure}, Report::Completion, true);

        row("-1: completion refused", {ManagerFailure}, Report::Job, false);
        row("-1: completion refused, job with an uploadMethod field", {ManagerFailure},
            Report::OwnUploadMethod, false);
        row("-1: local file missing", {ManagerFailure}, Report::MissingFile, false);
        row("other HTTP statuses", {400, 403, 404, 408, 600}, Report::Job, false);
        row("TLS, certificates, other transport codes",
            {TlsConnectFailed, CertificateNotTrusted, CaFileUnusable, fromTransport(3)},
            Report::Job, false);
        row("local and slice failures, success",
            {FileUnreadable, EmptyUrl, InvalidReply, IntegrityMismatch, NoSliceRead, TooFewPartUrls,
             FileChanged, FileTooLarge, Success},
            Report::Completion, false);
    }

    void transient()
    {
        QFETCH(QList<int>, codes);
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
        const VXRetryPolicy policy(3);
        for (int code : codes) {
            QVERIFY2(VXRetryPolicy::isTransient(code, got, job) == transient,
                     qPrintable(QString::number(code)));
            // The limit counts retries: the last one allowed, then none.
            QCOMPARE(policy.shouldRetry(code, got, job, 2), transient);
            QVERIFY(!policy.shouldRetry(code, got, job, 3));
            QVERIFY(!VXRetryPolicy().shouldRetry(code, got, job, 0));
        }
    }

    void pauses_data()
    {
        QTest::addColumn<int>("retry");
        QTest::addColumn<int>("pauseMs");
        QTest::newRow("first") << 1 << 2000;
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
