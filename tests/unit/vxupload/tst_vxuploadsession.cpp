// SIGINT during a run of the plugin on recording doubles: every unfinished job must be stopped;
// and what the session writes to standard error.
#include "CloudRecorder.h"
#include "VXCloudCommon.h"
#include "VXCommandLine.h"
#include "VXUploadExitCodes.h"
#include "VXUploadSession.h"

#include <QBuffer>
#include <QSignalSpy>
#include <QtTest>

#include <csignal>

class tst_VXUploadSession : public QObject
{
    Q_OBJECT

private slots:
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
                                   qEnvironmentVariable("VXUPLOAD_TEST_PLUGIN_DIR"),
                                   self + ":a", self + ":b", self + ":c"},
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
