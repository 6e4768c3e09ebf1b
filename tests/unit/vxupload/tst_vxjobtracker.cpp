// The report bookkeeping of a run: matching final reports to submitted jobs by job key, and the
// exit status that follows.
#include "VXJobTracker.h"
#include "VXUploadExitCodes.h"

#include <QtTest>

Q_DECLARE_METATYPE(VXJobTracker::Match)

namespace {

// "l|r|b" -> a job object with those identifying values; extra keys are what reports add.
QJsonObject job(const QString& key, const QJsonObject& extra = QJsonObject())
{
    const QStringList parts = key.split(QLatin1Char('|'));
    QJsonObject object = extra;
    object.insert(QStringLiteral("localPath"), parts.value(0));
    object.insert(QStringLiteral("remotePath"), parts.value(1));
    object.insert(QStringLiteral("bucketName"), parts.value(2));
    return object;
}

struct Report
{
    int code;
    QString key;
};

} // namespace

Q_DECLARE_METATYPE(QList<Report>)
Q_DECLARE_METATYPE(QList<VXJobTracker::Match>)

class tst_VXJobTracker : public QObject
{
    Q_OBJECT

private slots:
    void reports_data();
    void reports();
    void pendingJobsAreTheUnreportedSubmissions();
};

void tst_VXJobTracker::reports_data()
{
    QTest::addColumn<QStringList>("submitted");
    QTest::addColumn<QList<Report>>("reports");
    QTest::addColumn<QList<VXJobTracker::Match>>("matches");
    QTest::addColumn<bool>("done");
    QTest::addColumn<int>("exitCode");

    using M = VXJobTracker::Match;
    const QStringList ab{"/a|a|b", "/b|b|b"};
    QTest::newRow("all ok") << ab << QList<Report>{{0, "/a|a|b"}, {0, "/b|b|b"}}
                            << QList<M>{M::Final, M::Final} << true << int(VXExit::Success);
    QTest::newRow("one failed") << ab << QList<Report>{{0, "/a|a|b"}, {-1, "/b|b|b"}}
                                << QList<M>{M::Final, M::Final} << true << int(VXExit::JobFailed);
    QTest::newRow("one still pending") << ab << QList<Report>{{0, "/a|a|b"}} << QList<M>{M::Final}
                                       << false << int(VXExit::JobFailed);
    QTest::newRow("duplicate success counts once")
        << ab << QList<Report>{{0, "/a|a|b"}, {0, "/a|a|b"}} << QList<M>{M::Final, M::Duplicate}
        << false << int(VXExit::JobFailed);
    QTest::newRow("failure after success is ignored")
        << QStringList{"/a|a|b"} << QList<Report>{{0, "/a|a|b"}, {-1, "/a|a|b"}}
        << QList<M>{M::Final, M::Duplicate} << true << int(VXExit::Success);
    QTest::newRow("unknown key") << QStringList{"/a|a|b"}
                                 << QList<Report>{{-1, "||"}, {0, "/a|a|other"}}
                                 << QList<M>{M::Unknown, M::Unknown} << false
                                 << int(VXExit::JobFailed);
    QTest::newRow("key submitted twice expects two reports")
        << QStringList{"/a|a|b", "/a|a|b"} << QList<Report>{{0, "/a|a|b"}, {0, "/a|a|b"}}
        << QList<M>{M::Final, M::Final} << true << int(VXExit::Success);
}

void tst_VXJobTracker::reports()
{
    QFETCH(QStringList, submitted);
    QFETCH(QList<Report>, reports);
    QFETCH(QList<VXJobTracker::Match>, matches);
    QFETCH(bool, done);
    QFETCH(int, exitCode);

    VXJobTracker tracker;
    for (const QString& key : submitted)
        tracker.addJob(job(key));
    QVERIFY(!tracker.isDone());
    QList<VXJobTracker::Match> got;
    // Reports carry more than the job: the download address, the request's parameters.
    for (const Report& report : reports)
        got.append(tracker.finishJob(
            report.code, job(report.key, {{"downloadUrl", "http://x/y"}, {"path", "y"}})));
    QCOMPARE(got, matches);
    QCOMPARE(tracker.isDone(), done);
    QCOMPARE(tracker.exitCode(), exitCode);
    QCOMPARE(tracker.submittedCount(), submitted.size());
    QCOMPARE(tracker.succeededCount() + tracker.failedCount() + tracker.pendingCount(),
             submitted.size());
}

void tst_VXJobTracker::pendingJobsAreTheUnreportedSubmissions()
{
    VXJobTracker tracker;
    tracker.addJob(job("/a|a|b", {{"n", 1}}));
    tracker.addJob(job("/b|b|b"));
    tracker.addJob(job("/a|a|b", {{"n", 2}}));
    tracker.addJob(job("/c|c|b"));
    QCOMPARE(tracker.finishJob(0, job("/a|a|b")), VXJobTracker::Match::Final);
    QCOMPARE(tracker.finishJob(5, job("/c|c|b")), VXJobTracker::Match::Final);

    const QList<QJsonObject> pending = tracker.pendingJobs();
    QCOMPARE(pending.size(), 2);
    QCOMPARE(pending.at(0), job("/b|b|b"));
    QCOMPARE(pending.at(1), job("/a|a|b", {{"n", 2}}));
    QVERIFY(tracker.isPending("/a|a|b"));
    QVERIFY(!tracker.isPending("/c|c|b"));
    QVERIFY(!tracker.isPending("/d|d|b"));
}

QTEST_GUILESS_MAIN(tst_VXJobTracker)
#include "tst_vxjobtracker.moc"
