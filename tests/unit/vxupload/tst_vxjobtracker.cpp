// Reports matched to their jobs by key, the jobs left for a stop to reach, and the exit status.
#include "VXJobTracker.h"

#include <QtTest>

class tst_VXJobTracker : public QObject
{
    Q_OBJECT

private slots:
    void reports_data()
    {
        QTest::addColumn<QStringList>("reports"); // "CODE NAME"; jobs a and b are submitted
        QTest::addColumn<QString>("matches");     // per report: F(inal), D(uplicate), U(nknown)
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("pending"); // names of pendingJobs(), in order

        QTest::newRow("all ok") << QStringList{"0 b", "0 a"} << "FF" << 0 << "";
        QTest::newRow("one failed") << QStringList{"0 a", "-1 b"} << "FF" << 1 << "";
        QTest::newRow("one pending") << QStringList{"0 b"} << "F" << 1 << "a";
        QTest::newRow("duplicate counts once") << QStringList{"0 a", "0 a"} << "FD" << 1 << "b";
        QTest::newRow("late failure") << QStringList{"0 a", "-1 a", "0 b"} << "FDF" << 0 << "";
        QTest::newRow("unknown key ignored") << QStringList{"-1 x", "0 b"} << "UF" << 1 << "a";
    }

    void reports()
    {
        QFETCH(QStringList, reports);
        QFETCH(QString, matches);
        QFETCH(int, exitCode);
        QFETCH(QString, pending);
        auto job = [](const QString& name) {
            return QJsonObject{{"localPath", name}, {"remotePath", name}, {"bucketName", "b"}};
        };
        VXJobTracker tracker;
        tracker.addJob(job("a"));
        tracker.addJob(job("b"));
        QString got, waiting;
        for (const QString& report : reports) {
            QJsonObject object = job(report.section(QLatin1Char(' '), 1));
            object.insert("downloadUrl", "http://x/y"); // reports carry more than the job
            const int code = report.section(QLatin1Char(' '), 0, 0).toInt();
            got += QLatin1Char("FDU"[int(tracker.finishJob(code, object))]);
        }
        for (const QJsonObject& unreported : tracker.pendingJobs())
            waiting += unreported.value("remotePath").toString();
        QCOMPARE(got, matches);
        QCOMPARE(tracker.exitCode(), exitCode);
        QCOMPARE(tracker.isDone(), pending.isEmpty());
        QCOMPARE(waiting, pending);
    }
};

QTEST_GUILESS_MAIN(tst_VXJobTracker)
#include "tst_vxjobtracker.moc"
