// The slice uploader driven through its own (recording) request component: the test plays the
// storage by emitting the component's progress and finished signals for the recorded PUTs.
#include "CloudRecorder.h"
#include "VXCloudCommon.h"
#include "VXResultCodes.h"
#include "VXUploadFileSliceByPut.h"

#include <QJsonArray>
#include <QTemporaryDir>
#include <QtTest>

class tst_VXUploadFileSliceByPut : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QByteArray m_bytes;
    QJsonObject m_job;
    std::unique_ptr<VXUploadFileSliceByPut> m_uploader;
    std::unique_ptr<QSignalSpy> m_done, m_progress;

    // Starts an uploader on a file of `size` bytes (0, 1, ... modulo 251), part URLs "u1", "u2"...
    void start(int size, const QString& sliceLen, int urls)
    {
        CloudRecorder::instance().reset();
        m_bytes.resize(size);
        for (int i = 0; i < size; ++i)
            m_bytes[i] = char(i % 251);
        QFile file(m_dir.filePath("f.bin"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(m_bytes) == size);
        file.close();
        QJsonArray partUrls;
        for (int n = 1; n <= urls; ++n)
            partUrls.append(QStringLiteral("u%1").arg(n));
        m_job = {{"partUrl", partUrls}, {"filePath", file.fileName()}, {"sliceLen", sliceLen},
                 {"uploadid", "U"}, {"extra", 7}};
        m_uploader.reset(new VXUploadFileSliceByPut(nullptr));
        using U = VXUploadFileSliceByPut;
        m_done.reset(new QSignalSpy(m_uploader.get(), &U::sglUploadFinished));
        m_progress.reset(new QSignalSpy(m_uploader.get(), &U::sglUploadProgress));
        m_uploader->uploadFileBySlice(m_job);
    }
    QList<CloudCall> puts() const { return CloudRecorder::instance().callsOf("uploadDataByPut"); }
    void finish(const CloudCall& put, int res) // part n's ETag: "e"n" (all quotes to go)
    {
        QJsonObject info = put.info;
        info["ETag"] = "\"e\"" + put.url.mid(1) + "\"";
        emit put.component->sglUploadFinished(info, res);
    }

private slots:
    // Every part succeeds, except the last one sent when a failure is expected.
    void slicing_data()
    {
        QTest::addColumn<int>("size"); // sliced by 100 bytes
        QTest::addColumn<int>("urls");
        QTest::addColumn<int>("parts");
        QTest::addColumn<int>("failure");
        QTest::newRow("250: 100, 100, 50") << 250 << 3 << 3 << 0;
        QTest::newRow("200: no empty part") << 200 << 2 << 2 << 0;
        QTest::newRow("slice > file") << 50 << 1 << 1 << 0;
        QTest::newRow("surplus urls") << 250 << 5 << 3 << 0;
        QTest::newRow("u10 sorts before u2") << 1000 << 10 << 10 << 0;
        QTest::newRow("part 2 of 3 fails") << 250 << 3 << 2 << 503;
        QTest::newRow("too few urls") << 250 << 2 << 0 << int(VXResult::TooFewPartUrls);
        QTest::newRow("empty file") << 0 << 1 << 0 << int(VXResult::NoSliceRead);
    }
    void slicing()
    {
        QFETCH(int, size);
        QFETCH(int, urls);
        QFETCH(int, parts);
        QFETCH(int, failure);
        start(size, "100", urls);

        // Parts go out one at a time in the string order of their URLs; "pathinfo" lists them in
        // part order with the ETags' quotes removed.
        for (int i = 0; i < parts; ++i) {
            QCOMPARE(puts().size(), i + 1);
            const CloudCall put = puts().at(i);
            QVERIFY(i == 0 || put.url > puts().at(i - 1).url);
            QJsonObject info = put.info;
            QCOMPARE(info.take("slice_mark").toString(), put.url);
            QCOMPARE(info, m_job);
            QCOMPARE(put.data, m_bytes.mid((put.url.mid(1).toInt() - 1) * 100, 100));
            finish(put, i == parts - 1 ? failure : 0);
        }
        QCOMPARE(puts().size(), parts); // nothing after the last part or a failed one
        QCOMPARE(m_done->size(), parts ? 1 : 0); // a start failure is queued, never inside
        QTRY_COMPARE(m_done->size(), 1);
        QStringList pathinfo;
        for (int n = 1; n <= parts; ++n)
            pathinfo << QStringLiteral("%1,e%1").arg(n);
        QJsonObject expected = m_job;
        if (failure == 0)
            expected["pathinfo"] = pathinfo.join(';');
        QCOMPARE(m_done->at(0), (QList<QVariant>{expected, failure}));
    }

    void progress_data()
    {
        QTest::addColumn<QString>("sliceLen"); // of a file of 250 bytes
        QTest::addColumn<int>("partsDone");
        QTest::addColumn<int>("percent");
        QTest::addColumn<int>("expected"); // -1: nothing emitted
        QTest::newRow("33% of 100: 33 bytes") << "100" << 0 << 33 << 13;
        QTest::newRow("33% of 99: 32 bytes") << "99" << 0 << 33 << 12;
        QTest::newRow("last at 40% counts full: 96") << "100" << 2 << 40 << 96;
        QTest::newRow("last at 60%: 104 dropped") << "100" << 2 << 60 << -1;
    }
    void progress()
    {
        QFETCH(QString, sliceLen);
        QFETCH(int, partsDone);
        QFETCH(int, percent);
        QFETCH(int, expected);
        start(250, sliceLen, 3);
        for (int i = 0; i < partsDone; ++i)
            finish(puts().at(i), 0);
        emit puts().last().component->sglUploadProgress(puts().last().info, percent);
        QCOMPARE(m_progress->size(), expected < 0 ? 0 : 1);
        if (expected >= 0) // the slice job JSON as handed in, with the whole file's percent
            QCOMPARE(m_progress->at(0), (QVariantList{m_job, expected}));
    }
};

QTEST_GUILESS_MAIN(tst_VXUploadFileSliceByPut)
#include "tst_vxuploadfileslicebyput.moc"
