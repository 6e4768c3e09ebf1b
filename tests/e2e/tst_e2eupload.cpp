// End to end: the plugin against the stack's server and storage, as E2EHost runs it (the local
// storage and the Ceph gateway run the same cases; the gateway's own ones are in
// tst_e2egateway.cpp).
#include "e2ehost.h"

using e2e::kMiB;
using e2e::kTimeoutMs;

class tst_E2EUpload : public E2EHost
{
    Q_OBJECT

private slots:
    void initTestCase() { setUpHost(); }
    void cleanupTestCase() { tearDownHost(); }

    void uploadReachesStorage_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<qint64>("sliceLen");
        QTest::addColumn<QStringList>("requests");
        // Every job here carries bc_bcode: the file's size against the slice length decides.
        QTest::newRow("single") << 200000LL << kMiB << QStringList{"fileuploadurl 200"};
        // Parts as small as the storage takes (S3 refuses parts under 5 MiB but the last).
        const qint64 partLen = qMax(kMiB, m_stack.value("MIN_PART_SIZE").toLongLong());
        QTest::newRow("multipart, short last part")
            << 3 * partLen + partLen / 2 << partLen
            << QStringList{"initmultipart 200", "completemultipart 200"};
        // 12000 parts of one byte: more than the server starts (400), so the job goes single.
        QTest::newRow("multipart start refused, single instead")
            << 12000LL << 1LL << QStringList{"initmultipart 400", "fileuploadurl 200"};
    }

    void uploadReachesStorage()
    {
        QFETCH(qint64, size);
        QFETCH(qint64, sliceLen);
        QFETCH(QStringList, requests);
        QVERIFY(startPlugin(m_stack.value("TOKEN"), sliceLen));
        const QString local = makeFile(size);
        checkStored(submit(local, true), local, size >= kMiB);
        QTRY_COMPARE_WITH_TIMEOUT(serverRequests(), requests, 5000);
    }

    void twoJobsInFlightThirdWaits()
    {
        QVERIFY(startPlugin(m_stack.value("TOKEN"), kMiB));
        QStringList locals;
        QStringList remotes;
        for (int i = 0; i < 3; ++i) {
            locals.append(makeFile(8 * kMiB));
            remotes.append(submit(locals.last()));
        }
        for (int i = 0; i < 3; ++i)
            checkStored(remotes.at(i), locals.at(i), true);

        // Before the first final report, the first two jobs had reported and the third not.
        QSet<QString> before;
        for (int i = 0; i < m_reports.size() && !m_reports.at(i).isFinal; ++i)
            before.insert(m_reports.at(i).job.value("remotePath").toString());
        QVERIFY2(before == (QSet<QString>{remotes.at(0), remotes.at(1)}),
                 qPrintable(before.values().join(' ')));
        const QString single = "fileuploadurl 200";
        QTRY_COMPARE_WITH_TIMEOUT(serverRequests(), (QStringList{single, single, single}), 5000);
    }

    void stopDuringPut()
    {
        QVERIFY(startPlugin(m_stack.value("TOKEN"), kMiB));
        const QString remote = m_stopRemotePath = submit(makeFile(128 * kMiB, false));
        QTRY_VERIFY_WITH_TIMEOUT(m_stopRemotePath.isEmpty(), kTimeoutMs);
        QSignalSpy finals(this, &tst_E2EUpload::sglUploadFinished);
        QVERIFY2(!finals.wait(2000) && reportsOf(remote, true).isEmpty(),
                 "a stopped job was reported");
        // Real S3 stores nothing of an aborted PUT; the local storage keeps the bytes that
        // arrived as an object. What must never be there is the whole file.
        const QString stored = m_dir.filePath("stored.bin");
        const int status = storageGet(remote, stored);
        QVERIFY2(status == 404 || (status == 200 && QFileInfo(stored).size() < 128 * kMiB),
                 qPrintable(QString::number(status)));
        QCOMPARE(serverRequests(), QStringList{"fileuploadurl 200"});

        const QString next = makeFile(100000); // the plugin goes on working after the stop
        checkStored(submit(next), next, false);
    }

    void failureReachesHost_data()
    {
        QTest::addColumn<bool>("fileExists");
        QTest::addColumn<QString>("token");
        QTest::addColumn<QStringList>("requests");
        QTest::newRow("missing local file") << false << m_stack.value("TOKEN") << QStringList();
        QTest::newRow("wrong token")
            << true << QStringLiteral("wrong-token") << QStringList{"fileuploadurl 401"};
    }

    void failureReachesHost()
    {
        QFETCH(bool, fileExists);
        QFETCH(QString, token);
        QFETCH(QStringList, requests);
        QVERIFY(startPlugin(token, kMiB));
        const QString local = fileExists ? makeFile(100000) : m_dir.filePath("missing.bin");
        const QString remote = submit(local);
        QTRY_VERIFY_WITH_TIMEOUT(!reportsOf(remote, true).isEmpty(), kTimeoutMs);
        QCOMPARE(reportsOf(remote, true).first().value, -1);
        QCOMPARE(reportsOf(remote, true).first().job.value("localPath").toString(), local);
        QTRY_COMPARE_WITH_TIMEOUT(serverRequests(), requests, 5000);
        QCOMPARE(storageGet(remote, "/dev/null"), 404);
        QCOMPARE(reportsOf(remote, true).size(), 1);
    }
};

QTEST_GUILESS_MAIN(tst_E2EUpload)
#include "tst_e2eupload.moc"
