// vxupload's session on the plugin's recording doubles.
#include "CloudRecorder.h"
#include "VXCloudCommon.h"
#include "VXCommandLine.h"
#include "VXRetryPolicy.h"
#include "VXUploadExitCodes.h"
#include "VXUploadSession.h"

#include <QBuffer>
#include <QSignalSpy>
#include <QTemporaryFile>
#include <QtTest>

#include <csignal>

class tst_VXUploadSession : public QObject
{
    Q_OBJECT

private slots:
    void init() { CloudRecorder::instance().reset(); }

    // Success after a retry: tests/e2e/vxupload_resume_e2e.sh's --resubmit phase.
    void resubmitsTransientFailures_data()
    {
        QTest::addColumn<QString>("file");   // @SELF@: this program
        QTest::addColumn<bool>("interrupt"); // SIGINT at the first retry's announcement
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("out");  // standard output (JSON lines), a prefix
        QTest::addColumn<int>("retryLines");  // "retrying" lines on standard error
        QTest::addColumn<int>("urlRequests"); // upload-URL requests sent, each answered 503

        const QByteArray failed = "{\"result\":-1,";
        QTest::newRow("failing server request: one retry, then its report")
            << "@SELF@" << false << int(VXExit::JobFailed) << failed << 1 << 2;
        QTest::newRow("Ctrl-C during the pause: stopped, never submitted again")
            << "@SELF@" << true << int(VXExit::Interrupted) << QByteArray() << 1 << 1;
        QTest::newRow("missing local file: not retried")
            << "/nonexistent/a" << false << int(VXExit::JobFailed) << failed << 0 << 0;
    }

    void resubmitsTransientFailures()
    {
        QFETCH(QString, file);
        QFETCH(bool, interrupt);
        QFETCH(QByteArray, out);
        CloudRecorder& recorder = CloudRecorder::instance();
        int urlRequests = 0;
        recorder.onCall = [&](const CloudCall& call) {
            // Answered from the event loop, as the request component does.
            VXCloudCommon* component = call.component;
            if (call.op == "sendApiRequest") {
                ++urlRequests;
                QTimer::singleShot(0, component, [component, call] {
                    emit component->sglHttpRequestErrorWithInfo(call.params, call.api, 503,
                                                                "HTTP status 503");
                });
            }
        };
        file.replace("@SELF@", QCoreApplication::applicationFilePath());
        VXCommandLine commandLine;
        QVERIFY(
            commandLine.parse({"vxupload", "--json", "--resubmit", "1", "--bucket", "b", "--plugin",
                               qEnvironmentVariable("VXUPLOAD_TEST_PLUGIN_DIR"), file + ":a"},
                              nullptr));
        QTemporaryFile stdOut;
        QBuffer err;
        QVERIFY(stdOut.open() && err.open(QIODevice::WriteOnly));
        VXUploadSession session;
        QString reason;
        QVERIFY2(session.prepare(commandLine, &stdOut, &err, &reason), qPrintable(reason));
        QSignalSpy finished(&session, &VXUploadSession::sglFinished);
        if (interrupt) {
            connect(&err, &QIODevice::bytesWritten, this, [&err] {
                if (err.data().contains("retrying"))
                    ::raise(SIGINT);
            });
        }

        session.start(commandLine.jobs(), 0, commandLine.resubmitCount());
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 3 * VXRetryPolicy::kFirstPauseMs);
        if (interrupt) // no submission once the pause is over
            QTest::qWait(VXRetryPolicy::kFirstPauseMs + 500);
        QTEST(finished.at(0).at(0).toInt(), "exitCode");
        QVERIFY(stdOut.seek(0));
        const QByteArray lines = stdOut.readAll();
        QVERIFY2(lines.startsWith(out) && lines.count('\n') == (out.isEmpty() ? 0 : 1), lines);
        QTEST(int(err.data().count("vxupload: retrying 'a' in 2 s after: the cloud server "
                                   "refused or failed the request (1 of 1)\n")),
              "retryLines");
        QTEST(int(err.data().count("retrying")), "retryLines");
        QTEST(urlRequests, "urlRequests");
    }

    void interruptStopsEveryUnfinishedJob()
    {
        // Every upload-URL request is answered at once, so each job in flight holds a PUT URL that
        // its stop aborts. The plugin keeps two jobs in flight: c waits, takes a's place when a
        // is stopped, and must be stopped in turn.
        CloudRecorder& recorder = CloudRecorder::instance();
        recorder.onCall = [](const CloudCall& call) {
            const QJsonObject data{{"uploadUrl", "http://s/" + call.params.value("remotePath")}};
            if (call.op == "sendApiRequest")
                emit call.component->sglHttpRequestFinishWithInfo(call.params, call.api,
                                                                  {{"data", data}}, QString());
        };
        // Three jobs of one existing file (the test itself), told apart by their remote paths.
        const QString self = QCoreApplication::applicationFilePath();
        VXCommandLine commandLine;
        QVERIFY(commandLine.parse({"vxupload", "--json", "--bucket", "b", "--plugin",
                                   qEnvironmentVariable("VXUPLOAD_TEST_PLUGIN_DIR"), self + ":a",
                                   self + ":b", self + ":c"},
                                  nullptr));
        QFile out("/dev/null");
        QBuffer err;
        QVERIFY(out.open(QIODevice::WriteOnly) && err.open(QIODevice::WriteOnly));
        VXUploadSession session;
        QString reason;
        QVERIFY2(session.prepare(commandLine, &out, &err, &reason), qPrintable(reason));
        QSignalSpy finished(&session, &VXUploadSession::sglFinished);

        session.start(commandLine.jobs());
        ::raise(SIGINT);
        QTRY_COMPARE(finished.count(), 1);
        QCOMPARE(finished.at(0).at(0).toInt(), int(VXExit::Interrupted));
        QVERIFY2(err.data().contains(": stopping every unfinished job\n"), err.data());
        QStringList aborted;
        for (const CloudCall& call : recorder.callsOf("stopUploadByUrl"))
            aborted.append(call.url);
        QCOMPARE(aborted, (QStringList{"http://s/a", "http://s/b", "http://s/c"}));
    }

    void logLinesCarryNoSignature()
    {
        // The plugin's log lines reach standard error through the session, and standard error
        // ends up in CI logs: a signed URL in one loses its query there.
        VXCommandLine commandLine;
        QVERIFY(commandLine.parse({"vxupload", "--plain", "--bucket", "b", "--plugin",
                                   qEnvironmentVariable("VXUPLOAD_TEST_PLUGIN_DIR"), "a"},
                                  nullptr));
        QFile out("/dev/null");
        QBuffer err;
        QVERIFY(out.open(QIODevice::WriteOnly) && err.open(QIODevice::WriteOnly));
        VXUploadSession session;
        QString reason;
        QVERIFY2(session.prepare(commandLine, &out, &err, &reason), qPrintable(reason));
        qWarning("PUT of http://s/b/k?partNumber=2&X-Amz-Signature=0123abcd failed");
        QVERIFY2(err.data().contains("PUT of http://s/b/k?<redacted> failed\n"), err.data());
    }
};

QTEST_GUILESS_MAIN(tst_VXUploadSession)
#include "tst_vxuploadsession.moc"
