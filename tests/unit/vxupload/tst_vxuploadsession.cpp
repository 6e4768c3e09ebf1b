// A run against the plugin as the unit tests build it (the real facade and manager, linked to
// recording doubles of the request component, which never answer): loading and casting, reports
// that arrive inside the submission call, and the stop. (The time-out: vxupload_timeout.)
#include "VXUploadExitCodes.h"
#include "VXUploadSession.h"

#include <QSignalSpy>
#include <QTemporaryFile>
#include <QtTest>

namespace {

QString testPlugin()
{
    return qEnvironmentVariable("VXUPLOAD_TEST_PLUGIN_DIR") + "/libVXFileUpload.so";
}

QJsonObject job(const QString& localPath, const QString& remotePath)
{
    return {{"localPath", localPath}, {"remotePath", remotePath}, {"bucketName", "b"}};
}

} // namespace

class tst_VXUploadSession : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void loadFailures_data();
    void loadFailures();
    void missingFilesEndTheRunInsideStart();
    void stopEndsTheRunOnce();

private:
    QTemporaryFile m_file; // a file that exists: its job stays in flight with the doubles
};

void tst_VXUploadSession::initTestCase()
{
    QVERIFY(QFileInfo::exists(testPlugin()));
    QVERIFY(m_file.open());
    m_file.write("content");
    m_file.flush();
}

void tst_VXUploadSession::loadFailures_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("error");

    QTest::newRow("no such file") << "/nonexistent/libVXFileUpload.so"
                                  << "not found";
    QTest::newRow("not an upload plugin")
        << qEnvironmentVariable("VXUPLOAD_TEST_SDK_DIR") + "/libVXFileUploadBySdk.so"
        << "does not implement IVXFileUpload (com.zel.tessel.transferdepot.IVXFileUpload/1.0)";
}

void tst_VXUploadSession::loadFailures()
{
    QFETCH(QString, path);
    QFETCH(QString, error);
    VXUploadSession session;
    QString reason;
    QVERIFY(!session.loadPlugin(path, &reason));
    QVERIFY2(reason.contains(error), qPrintable(reason));
}

void tst_VXUploadSession::missingFilesEndTheRunInsideStart()
{
    VXUploadSession session;
    QString reason;
    QVERIFY2(session.loadPlugin(testPlugin(), &reason), qPrintable(reason));
    QSignalSpy finished(&session, &VXUploadSession::sglFinished);
    QSignalSpy reports(&session, &VXUploadSession::sglJobFinished);
    QSignalSpy notices(&session, &VXUploadSession::sglNotice);

    session.start({job("/nonexistent/1", "r1"), job("/nonexistent/2", "r2")});
    // The plugin reported both during submission; the run ends once, after both.
    QCOMPARE(reports.count(), 2);
    QCOMPARE(reports.at(0).at(0).toInt(), -1);
    QCOMPARE(reports.at(0).at(2).toString(), QString("/nonexistent/1|r1|b"));
    QCOMPARE(reports.at(1).at(2).toString(), QString("/nonexistent/2|r2|b"));
    QCOMPARE(finished.count(), 1);
    QCOMPARE(finished.at(0).at(0).toInt(), int(VXExit::JobFailed));
    QCOMPARE(notices.count(), 0);
}

void tst_VXUploadSession::stopEndsTheRunOnce()
{
    VXUploadSession session;
    QString reason;
    QVERIFY2(session.loadPlugin(testPlugin(), &reason), qPrintable(reason));
    QSignalSpy finished(&session, &VXUploadSession::sglFinished);
    QSignalSpy reports(&session, &VXUploadSession::sglJobFinished);

    session.start({job(m_file.fileName(), "kept"), job("/nonexistent/1", "r1")});
    QCOMPARE(reports.count(), 1);
    QCOMPARE(finished.count(), 0);
    QCOMPARE(session.tracker().pendingJobs(), QList<QJsonObject>{job(m_file.fileName(), "kept")});

    session.slotStop(VXExit::Interrupted);
    session.slotStop(VXExit::JobFailed);
    QCOMPARE(finished.count(), 1);
    QCOMPARE(finished.at(0).at(0).toInt(), int(VXExit::Interrupted));
}

QTEST_GUILESS_MAIN(tst_VXUploadSession)
#include "tst_vxuploadsession.moc"
