// End to end: the plugin against the stack's server and storage, the local storage and the Ceph
// gateway alike. The gateway's own cases are in tst_e2egateway.cpp; failures, stops, odd answers
// and two jobs at once in the fault matrix (tests/faults), which runs against this stack too;
// which job waits for a place in the manager's unit tests.
#include "e2ehost.h"

using e2e::kMiB;

class tst_E2EUpload : public E2EHost
{
    Q_OBJECT

private slots:
    void initTestCase() { setUpHost(); }
    void cleanupTestCase() { tearDownHost(); }

    // Every job here carries bc_bcode: the file's size against the slice length decides.
    void uploadReachesStorage_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<qint64>("sliceLen");
        QTest::addColumn<QStringList>("requests");
        QTest::newRow("single") << 3 * kMiB << 8 * kMiB << QStringList{"fileuploadurl 200"};
        // Parts as small as the storage takes: on S3 exactly its minimum of 5 MiB (all parts
        // but the last).
        const qint64 partLen = qMax(kMiB, m_stack.value("MIN_PART_SIZE").toLongLong());
        QTest::newRow("multipart, last part of 7 bytes")
            << 3 * partLen + 7 << partLen
            << QStringList{"initmultipart 200", "completemultipart 200"};
    }

    void uploadReachesStorage()
    {
        QFETCH(qint64, size);
        QFETCH(qint64, sliceLen);
        QFETCH(QStringList, requests);
        QVERIFY(startPlugin(m_stack.value("TOKEN"), sliceLen));
        const QString local = makeFile(size);
        checkStored(submit(local, true), local, true);
        QTRY_COMPARE_WITH_TIMEOUT(serverRequests(), requests, 5000);
    }
};

QTEST_GUILESS_MAIN(tst_E2EUpload)
#include "tst_e2eupload.moc"
