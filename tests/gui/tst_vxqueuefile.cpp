// vxupload-gui's queue file: the unfinished rows of one model come back in another as stopped
// rows that can be retried, a damaged file is ignored (and replaced by the next save), and only
// a change of state schedules a write, never progress alone.
#include "VXQueueFile.h"
#include "VXResultCodes.h"
#include "VXUploadQueueModel.h"

#include <QTemporaryDir>
#include <QtTest>

using State = VXUploadQueueModel::State;

class tst_VXQueueFile : public QObject
{
    Q_OBJECT

    static QJsonObject job(const QString& name)
    {
        return {{"localPath", "/nonexistent/" + name},
                {"remotePath", "r/" + name},
                {"bucketName", "b"},
                {"bc_bcode", "X1"},
                {"k", "v"}};
    }

    QTemporaryDir m_dir;
    QString path() const { return m_dir.filePath("queue.json"); }

private slots:
    void init() { QFile::remove(path()); }

    void unfinishedRowsComeBackStopped()
    {
        VXUploadQueueModel before;
        const QList<QJsonObject> jobs{job("done"), job("failed"), job("stopped"), job("waiting"),
                                      job("uploading")};
        QCOMPARE(before.addJobs(jobs).size(), 5);
        QVERIFY(before.applyFinished(0, jobs[0]));
        QVERIFY(before.applyFinished(VXResult::ConnectFailed, jobs[1]));
        QVERIFY(before.stop(2));
        QVERIFY(before.applyProgress(jobs[4], 40));
        QString error;
        QVERIFY(VXQueueFile(&before, path()).save(&error));

        VXUploadQueueModel after;
        VXQueueFile file(&after, path());
        QCOMPARE(file.load(&error), 4);
        QCOMPARE(after.rowCount(), 4);
        const QStringList results{
            "failed before the restart: -1007: nothing accepts the connection (libcurl code 7)",
            "unfinished when the window closed (stopped)",
            "unfinished when the window closed (waiting)",
            "unfinished when the window closed (uploading)"};
        for (int row = 0; row < 4; ++row) {
            QCOMPARE(after.job(row), jobs.at(row + 1));
            QCOMPARE(after.state(row), State::Stopped);
            QCOMPARE(after.index(row, VXUploadQueueModel::ResultColumn).data().toString(),
                     results.at(row));
        }
        QCOMPARE(after.count(State::Stopped), 4);
        // Loaded twice, nothing is added twice.
        QCOMPARE(file.load(&error), 0);
    }

    void damagedFileIgnored_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("expected"); // the start of the reason
        const QByteArray row = R"({"job":{"localPath":"/a","remotePath":"r","bucketName":"b"},)";
        QTest::newRow("an array") << QByteArray("[]") << "not a queue of version 1";
        QTest::newRow("another version")
            << QByteArray(R"({"version":2,"rows":[]})") << "not a queue of version 1";
        QTest::newRow("a row without a bucket")
            << QByteArray(R"({"version":1,"rows":[{"job":{"localPath":"/a","remotePath":"r"},)"
                          R"("state":"failed"}]})")
            << "row 1 is not an unfinished job";
        QTest::newRow("a done row")
            << QByteArray(R"({"version":1,"rows":[)" + row + R"("state":"waiting"},)" + row +
                          R"("state":"done"}]})")
            << "row 2 is not an unfinished job";
    }

    void damagedFileIgnored()
    {
        QFETCH(QByteArray, content);
        QFile damaged(path());
        QVERIFY(damaged.open(QIODevice::WriteOnly) && damaged.write(content) == content.size());
        damaged.close();
        VXUploadQueueModel model;
        VXQueueFile file(&model, path());
        QString error;
        QCOMPARE(file.load(&error), -1);
        QFETCH(QString, expected);
        QVERIFY2(error.startsWith(expected), qPrintable(error));
        QCOMPARE(model.rowCount(), 0);
        // The next save replaces it.
        QVERIFY(file.save(&error));
        QCOMPARE(file.load(&error), 0);
    }

    void stateChangesScheduleSaves()
    {
        VXUploadQueueModel model;
        VXQueueFile file(&model, path());
        QVERIFY(!file.isSavePending());
        model.addJobs({job("a")});
        QVERIFY(file.isSavePending());
        file.flush();
        QVERIFY(!file.isSavePending() && QFile::exists(path()));
        QVERIFY(model.applyProgress(job("a"), 10)); // waiting -> uploading
        QVERIFY(file.isSavePending());
        file.flush();
        QVERIFY(model.applyProgress(job("a"), 20));
        QVERIFY(!file.isSavePending());
        QVERIFY(model.applyFinished(0, job("a")));
        QVERIFY(file.isSavePending());
        file.flush();
        QVERIFY(!file.isSavePending());
        // A done row is not kept.
        VXUploadQueueModel after;
        QString error;
        QCOMPARE(VXQueueFile(&after, path()).load(&error), 0);
    }
};

QTEST_MAIN(tst_VXQueueFile)
#include "tst_vxqueuefile.moc"
