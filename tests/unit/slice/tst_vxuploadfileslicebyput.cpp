// The slice uploader driven through its own (recording) request component: the test plays the
// storage by emitting the component's progress and finished signals for the recorded PUTs.
#include "CloudRecorder.h"
#include "VXCloudCommon.h"
#include "VXResultCodes.h"
#include "VXUploadFileSliceByPut.h"

#include <QJsonArray>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// What happens to the file while its parts are in flight.
enum class FileChange { Append, Replace, Touch };

} // namespace

Q_DECLARE_METATYPE(FileChange)

class tst_VXUploadFileSliceByPut : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QByteArray m_bytes;
    QJsonObject m_job;
    std::unique_ptr<VXUploadFileSliceByPut> m_uploader;
    std::unique_ptr<QSignalSpy> m_done, m_progress;

    QString path() const { return m_dir.filePath("f.bin"); }
    void writeFile(const QByteArray& bytes)
    {
        QFile file(path());
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    }
    // Starts an uploader on a file of `size` bytes (0, 1, ... modulo 251), part URLs "u1", "u2"...
    void start(int size, const QString& sliceLen, int urls, int inFlight = 1)
    {
        CloudRecorder::instance().reset();
        m_bytes.resize(size);
        for (int i = 0; i < size; ++i)
            m_bytes[i] = char(i % 251);
        writeFile(m_bytes);
        QJsonArray partUrls;
        for (int n = 1; n <= urls; ++n)
            partUrls.append(QStringLiteral("u%1").arg(n));
        m_job = {{"partUrl", partUrls}, {"filePath", path()}, {"sliceLen", sliceLen},
                 {"uploadid", "U"}, {"extra", 7}};
        m_uploader.reset(new VXUploadFileSliceByPut(nullptr));
        m_uploader->setMaxSliceUploadCount(inFlight);
        using U = VXUploadFileSliceByPut;
        m_done.reset(new QSignalSpy(m_uploader.get(), &U::sglUploadFinished));
        m_progress.reset(new QSignalSpy(m_uploader.get(), &U::sglUploadProgress));
        m_uploader->uploadFileBySlice(m_job);
    }
    static QList<CloudCall> puts()
    {
        return CloudRecorder::instance().callsOf("uploadFileRangeByPut");
    }
    static QStringList aborted()
    {
        QStringList urls;
        for (const CloudCall& call : CloudRecorder::instance().callsOf("stopUploadByUrl"))
            urls << call.url;
        return urls;
    }
    static void finish(const CloudCall& put, int res) // part n's ETag: "e"n" (all quotes to go)
    {
        QJsonObject info = put.info;
        info["ETag"] = "\"e\"" + put.url.mid(1) + "\"";
        emit put.component->sglUploadFinished(info, res);
    }
    static void progress(const CloudCall& put, int percent)
    {
        emit put.component->sglUploadProgress(put.info, percent);
    }

private slots:
    // One part at a time; every part succeeds, except the last one sent when a failure is due.
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
        QTest::newRow("10 parts go in part order") << 1000 << 10 << 10 << 0;
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

        // Part n reads bytes (n - 1) * 100 on, straight from the file; "pathinfo" lists the
        // parts in order with the ETags' quotes removed.
        for (int i = 0; i < parts; ++i) {
            QCOMPARE(puts().size(), i + 1);
            const CloudCall put = puts().at(i);
            QCOMPARE(put.url, QStringLiteral("u%1").arg(i + 1));
            QJsonObject info = put.info;
            QCOMPARE(info.take("slice_mark").toString(), put.url);
            QCOMPARE(info, m_job);
            QCOMPARE(put.localPath, path());
            QCOMPARE(QList<qint64>({put.offset, put.length}),
                     QList<qint64>({i * 100, qMin<qint64>(100, size - i * 100)}));
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

    void progressOfOnePart_data()
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
    void progressOfOnePart()
    {
        QFETCH(QString, sliceLen);
        QFETCH(int, partsDone);
        QFETCH(int, percent);
        QFETCH(int, expected);
        start(250, sliceLen, 3);
        for (int i = 0; i < partsDone; ++i)
            finish(puts().at(i), 0);
        progress(puts().last(), percent);
        QCOMPARE(m_progress->size(), expected < 0 ? 0 : 1);
        if (expected >= 0) // the slice job JSON as handed in, with the whole file's percent
            QCOMPARE(m_progress->at(0), (QVariantList{m_job, expected}));
    }

    // Three parts in flight of seven, answered out of order: never more than three, the next
    // one in part order goes out as one ends, progress only rises and stays within 0..100.
    void partsInFlight()
    {
        start(700, "100", 7, 3);
        QCOMPARE(puts().size(), 3);
        progress(puts().at(2), 50);
        progress(puts().at(0), 30);
        finish(puts().at(1), 0);
        QCOMPARE(puts().size(), 4);
        QCOMPARE(puts().last().url, QString("u4"));
        progress(puts().at(0), 20); // a late, lower report of a part changes nothing
        for (const int i : {3, 2, 0, 4, 5, 6}) {
            progress(puts().at(i), 100);
            finish(puts().at(i), 0);
            QVERIFY(puts().size() - (i == 6 ? 7 : 0) <= 7);
        }
        QCOMPARE(puts().size(), 7);
        QList<int> percents;
        for (const QVariantList& report : *m_progress)
            percents << report.at(1).toInt();
        QVERIFY2(std::is_sorted(percents.begin(), percents.end())
                     && std::adjacent_find(percents.begin(), percents.end()) == percents.end(),
                 qPrintable(QVariant::fromValue(percents).toString()));
        QVERIFY(percents.first() >= 0 && percents.last() == 100);
        QCOMPARE(m_done->size(), 1);
        QCOMPARE(m_done->at(0).at(0).toJsonObject()["pathinfo"].toString(),
                 QString("1,e1;2,e2;3,e3;4,e4;5,e5;6,e6;7,e7"));
    }

    // Part URLs that run out: none is sent with a URL about to expire; fresh ones are asked for
    // once and used, with the authorization that comes with them. A part refused with 403
    // because its URL expired meanwhile is sent once more, with a fresh URL.
    void expiringPartUrls_data()
    {
        QTest::addColumn<int>("signedSecAgo");
        QTest::addColumn<int>("lifetimeSec");
        QTest::newRow("expired before the first part") << 3600 << 900;
        QTest::newRow("expires while part 1 is out, refused 403") << 7 << 12;
    }
    void expiringPartUrls()
    {
        QFETCH(int, signedSecAgo);
        QFETCH(int, lifetimeSec);
        const auto signedUrls = [](const QString& name, qint64 agoSec, int lifetime) {
            const QString date = QDateTime::currentDateTimeUtc().addSecs(-agoSec).toString(
                QStringLiteral("yyyyMMdd'T'HHmmss'Z'"));
            QJsonArray urls;
            for (int n = 1; n <= 2; ++n)
                urls << QStringLiteral("http://s/%1%2?X-Amz-Date=%3&X-Amz-Expires=%4")
                            .arg(name).arg(n).arg(date).arg(lifetime);
            return urls;
        };
        CloudRecorder::instance().reset();
        writeFile(QByteArray(200, 'x'));
        m_job = {{"partUrl", signedUrls("old", signedSecAgo, lifetimeSec)}, {"filePath", path()},
                 {"sliceLen", "100"}, {"uploadid", "U"}, {"authorization", "A1"}};
        m_uploader.reset(new VXUploadFileSliceByPut(nullptr));
        using U = VXUploadFileSliceByPut;
        m_done.reset(new QSignalSpy(m_uploader.get(), &U::sglUploadFinished));
        QSignalSpy asked(m_uploader.get(), &U::sglPartUrlsNeeded);
        m_uploader->uploadFileBySlice(m_job);
        if (signedSecAgo < lifetimeSec) { // sent in time, refused once its URL ran out
            QCOMPARE(puts().size(), 1);
            QTest::qWait(1500);
            finish(puts().last(), 403);
        }
        QCOMPARE(asked.size(), 1);
        const int sentBefore = puts().size();
        m_uploader->setPartUrls(signedUrls("new", 0, 3600), "A2");
        QCOMPARE(puts().size(), sentBefore + 1);
        finish(puts().last(), 0);
        finish(puts().last(), 0);
        QCOMPARE(asked.size(), 1);
        QCOMPARE(m_done->size(), 1);
        QCOMPARE(m_done->at(0).at(1).toInt(), 0);
        QCOMPARE(m_done->at(0).at(0).toJsonObject()["authorization"].toString(), QString("A2"));
        for (const CloudCall& put : puts().mid(sentBefore))
            QVERIFY2(put.url.startsWith("http://s/new"), qPrintable(put.url));
    }

    // The first failed part aborts the others in flight, sends nothing more and fails the file
    // once; a stop aborts every part in flight and reports nothing.
    void failureOrStopWithPartsInFlight_data()
    {
        QTest::addColumn<bool>("stop");
        QTest::newRow("part 2 fails") << false;
        QTest::newRow("stop") << true;
    }
    void failureOrStopWithPartsInFlight()
    {
        QFETCH(bool, stop);
        start(800, "100", 8, 4);
        finish(puts().at(0), 0); // u5 goes out
        if (stop)
            m_uploader->stopUploadFileBySlice();
        else
            finish(puts().at(1), 503);
        QCOMPARE(aborted(), QStringList({"u2", "u3", "u4", "u5"}));
        for (const int i : {2, 3, 4}) // late answers of aborted parts are ignored
            finish(puts().at(i), 0);
        QCOMPARE(puts().size(), 5);
        QCOMPARE(m_done->size(), stop ? 0 : 1);
        if (!stop)
            QCOMPARE(m_done->at(0), (QVariantList{m_job, 503}));
    }

    // A file that changes under the upload fails it with FileChanged: noticed before the next
    // part goes out, or after the last part; no success is ever reported for it.
    void fileChangedDuringUpload_data()
    {
        QTest::addColumn<FileChange>("change");
        QTest::addColumn<bool>("afterLastPartSent");
        QTest::newRow("replaced, same size") << FileChange::Replace << false;
        QTest::newRow("rewritten in place") << FileChange::Touch << false;
        QTest::newRow("grows during the last part") << FileChange::Append << true;
    }
    void fileChangedDuringUpload()
    {
        QFETCH(FileChange, change);
        QFETCH(bool, afterLastPartSent);
        start(300, "100", 3);
        if (afterLastPartSent) {
            finish(puts().at(0), 0);
            finish(puts().at(1), 0);
        }
        QFile file(path());
        switch (change) {
        case FileChange::Append:
            QVERIFY(file.open(QIODevice::Append) && file.write("x") == 1);
            break;
        case FileChange::Replace: // a new file renamed over the old one: another inode
            QVERIFY(QFile::remove(path()));
            writeFile(m_bytes);
            break;
        case FileChange::Touch:
            QVERIFY(file.open(QIODevice::ReadWrite)
                    && file.setFileTime(QDateTime::currentDateTime().addSecs(-5),
                                        QFileDevice::FileModificationTime));
            break;
        }
        file.close();
        finish(puts().last(), 0);
        QCOMPARE(puts().size(), afterLastPartSent ? 3 : 1);
        QCOMPARE(m_done->size(), 1);
        QCOMPARE(m_done->at(0), (QVariantList{m_job, int(VXResult::FileChanged)}));
    }
};

QTEST_GUILESS_MAIN(tst_VXUploadFileSliceByPut)
#include "tst_vxuploadfileslicebyput.moc"
