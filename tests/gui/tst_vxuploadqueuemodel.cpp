// The queue model of vxupload-gui: which reports and actions change a row and which it refuses,
// that progress reaches the views at most once per refresh period, and that a job already in the
// queue (same localPath, remotePath and bucketName) is not added again, nor another file aimed at
// its remote object.
#include "VXResultCodes.h"
#include "VXUploadQueueModel.h"

#include <QtTest>

struct Step
{
    enum Kind { Progress, Finish, Stop, Retry, OtherJobProgress, OtherJobFinish } kind;
    int value;     // percent of a progress report, result code of a final report
    bool accepted; // what the model answers (1 or 0)
};
Q_DECLARE_METATYPE(QVector<Step>)

class tst_VXUploadQueueModel : public QObject
{
    Q_OBJECT

    static QJsonObject job(const QString& bucket = "b")
    {
        return {{"localPath", "/nonexistent/a.bin"},
                {"remotePath", "r/a.bin"},
                {"bucketName", bucket}};
    }

private slots:
    void rowFollowsReportsAndActions_data()
    {
        QTest::addColumn<QVector<Step>>("steps");
        QTest::addColumn<QString>("state");
        QTest::addColumn<int>("percent");
        QTest::addColumn<QString>("result");
        const auto P = Step::Progress, F = Step::Finish, S = Step::Stop, R = Step::Retry;
        using Steps = QVector<Step>;
        QTest::newRow("uploads, then done") << Steps{{P, 10, 1}, {F, 0, 1}} << "done" << 100 << "";
        QTest::newRow("progress never goes backwards")
            << Steps{{P, 50, 1}, {P, 20, 1}} << "uploading" << 50 << "";
        QTest::newRow("fails with code and text")
            << Steps{{P, 30, 1}, {F, VXResult::ConnectFailed, 1}} << "failed" << 30
            << "-1007: nothing accepts the connection (libcurl code 7)";
        QTest::newRow("stopped: later reports ignored")
            << Steps{{P, 30, 1}, {S, 0, 1}, {P, 60, 0}, {F, 0, 0}} << "stopped" << 30 << "";
        QTest::newRow("stopped while waiting") << Steps{{S, 0, 1}} << "stopped" << 0 << "";
        QTest::newRow("retried after a stop: from 0 again")
            << Steps{{P, 40, 1}, {S, 0, 1}, {R, 0, 1}, {P, 10, 1}} << "uploading" << 10 << "";
        QTest::newRow("retried after a failure, then done")
            << Steps{{F, VXResult::ConnectFailed, 1}, {R, 0, 1}, {F, 0, 1}} << "done" << 100 << "";
        QTest::newRow("done: no stop, retry or second report")
            << Steps{{F, 0, 1}, {S, 0, 0}, {R, 0, 0}, {F, -1, 0}} << "done" << 100 << "";
        QTest::newRow("waiting: no retry") << Steps{{R, 0, 0}} << "waiting" << 0 << "";
        QTest::newRow("reports for an unknown job ignored")
            << Steps{{Step::OtherJobProgress, 50, 0}, {Step::OtherJobFinish, 0, 0}} << "waiting"
            << 0 << "";
    }

    void rowFollowsReportsAndActions()
    {
        QFETCH(QVector<Step>, steps);
        VXUploadQueueModel model;
        QCOMPARE(model.addJobs({job()}), QList<int>{0});
        const QJsonObject other = job("other-bucket");
        for (const Step& step : steps) {
            QJsonObject report = job();
            report.insert("downloadUrl", "http://storage/b/r/a.bin");
            bool accepted = false;
            switch (step.kind) {
            case Step::Progress:
                accepted = model.applyProgress(report, step.value);
                break;
            case Step::Finish:
                accepted = model.applyFinished(step.value, report);
                break;
            case Step::Stop:
                accepted = model.stop(0);
                break;
            case Step::Retry:
                accepted = model.retry(0);
                break;
            case Step::OtherJobProgress:
                accepted = model.applyProgress(other, step.value);
                break;
            case Step::OtherJobFinish:
                accepted = model.applyFinished(step.value, other);
                break;
            }
            QCOMPARE(accepted, step.accepted);
        }
        QTEST(VXUploadQueueModel::stateName(model.state(0)), "state");
        QTEST(model.percent(0), "percent");
        QTEST(model.index(0, VXUploadQueueModel::ResultColumn).data().toString(), "result");
        QCOMPARE(model.downloadUrl(0).isEmpty(),
                 model.state(0) != VXUploadQueueModel::State::Done);
        QCOMPARE(model.rowCount(), 1);
    }

    void progressReachesViewsAtMostOncePerPeriod()
    {
        VXUploadQueueModel model;
        model.addJobs({job()});
        QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
        for (int percent = 1; percent <= 50; ++percent)
            QVERIFY(model.applyProgress(job(), percent));
        QCOMPARE(changed.count(), 0);
        QTRY_COMPARE(changed.count(), 1);
        QTest::qWait(2 * VXUploadQueueModel::kRefreshMs);
        QCOMPARE(changed.count(), 1);
        QCOMPARE(model.index(0, VXUploadQueueModel::ProgressColumn).data().toString(), "50%");
    }

    void jobInQueueNotAddedAgain()
    {
        VXUploadQueueModel model;
        QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
        QCOMPARE(model.addJobs({job(), job(), job("b2")}), (QList<int>{0, 1}));
        QJsonObject otherFile = job();
        otherFile["localPath"] = "/nonexistent/b.bin"; // the remote object of a.bin: refused
        QCOMPARE(model.addJobs({job("b2"), job(), otherFile}), QList<int>());
        QCOMPARE(model.rowCount(), 2);
        // One insertion per batch, however many rows it holds.
        QCOMPARE(inserted.count(), 1);
        QCOMPARE(inserted.at(0).at(2).toInt(), 1);
    }
};

QTEST_MAIN(tst_VXUploadQueueModel)
#include "tst_vxuploadqueuemodel.moc"
