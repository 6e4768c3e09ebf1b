// The slice uploader driven through its own (recording) request component: the test plays the
// storage by emitting the component's progress and finished signals for the recorded PUTs.
#include "CloudRecorder.h"
#include "VXCloudCommon.h"
#include "VXResultCodes.h"
#include "VXUploadFileSliceByPut.h"

#include <QJsonArray>
#include <QTemporaryDir>
#include <QtTest>

using IntList = QList<int>;

namespace {
QStringList g_infoLines;
void captureInfo(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type == QtInfoMsg)
        g_infoLines << message;
}
} // namespace

class tst_VXUploadFileSliceByPut : public QObject
{
    Q_OBJECT

private slots:
    void init() { CloudRecorder::instance().reset(); }
    void slicing_data();
    void slicing();
    void progress_data();
    void progress();
    void failedPartFailsTheFileOnce();
    void repeatedPartReportIsLoggedWhileAnotherIsInFlight();
    void stop_data();
    void stop();

private:
    // Starts an uploader on a file of `size` bytes (0, 1, 2, ... modulo 251) with `urls` part
    // URLs "u<i>" (a JSON object instead of "partUrl" may be given in `job`).
    VXUploadFileSliceByPut* start(qint64 size, const QJsonValue& sliceLen, int urls,
                                  QJsonObject job = {});
    QList<CloudCall> puts() const { return CloudRecorder::instance().callsOf("uploadDataByPut"); }
    void succeed(const CloudCall& put, const QString& etag)
    {
        QJsonObject info = put.info;
        info["ETag"] = etag;
        emit put.component->sglUploadFinished(info, 0);
    }

    QTemporaryDir m_dir;
    QJsonObject m_job;
    std::unique_ptr<VXUploadFileSliceByPut> m_uploader;
    std::unique_ptr<QSignalSpy> m_done, m_progress;
};

VXUploadFileSliceByPut* tst_VXUploadFileSliceByPut::start(qint64 size, const QJsonValue& sliceLen,
                                                         int urls, QJsonObject job)
{
    const QString path = m_dir.filePath("f.bin");
    QFile::remove(path);
    if (size >= 0) {
        QFile file(path);
        file.open(QIODevice::WriteOnly);
        QByteArray bytes(int(size), '\0');
        for (int i = 0; i < bytes.size(); ++i)
            bytes[i] = char(i % 251);
        file.write(bytes);
    }
    QJsonArray partUrls;
    for (int i = 0; i < urls; ++i)
        partUrls.append(QStringLiteral("u%1").arg(i + 1));
    if (!job.contains("partUrl"))
        job["partUrl"] = partUrls;
    job["filePath"] = path;
    job["sliceLen"] = sliceLen;
    job["uploadid"] = "U";
    m_job = job;
    m_uploader.reset(new VXUploadFileSliceByPut(nullptr));
    m_done.reset(new QSignalSpy(m_uploader.get(), &VXUploadFileSliceByPut::sglUploadFinished));
    m_progress.reset(new QSignalSpy(m_uploader.get(), &VXUploadFileSliceByPut::sglUploadProgress));
    m_uploader->uploadFileBySlice(job);
    return m_uploader.get();
}

void tst_VXUploadFileSliceByPut::slicing_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QJsonValue>("sliceLen");
    QTest::addColumn<int>("urls");
    QTest::addColumn<IntList>("slices");
    QTest::addColumn<int>("failure");
    QTest::newRow("250/100") << 250ll << QJsonValue("100") << 3 << IntList{100, 100, 50} << 0;
    QTest::newRow("200/100 no empty part") << 200ll << QJsonValue("100") << 2
                                           << IntList{100, 100} << 0;
    QTest::newRow("slice > file") << 50ll << QJsonValue("100") << 1 << IntList{50} << 0;
    QTest::newRow("surplus urls") << 250ll << QJsonValue("100") << 5 << IntList{100, 100, 50} << 0;
    QTest::newRow("u10 sorts before u2") << 1000ll << QJsonValue("100") << 10
                                         << QVector<int>(10, 100).toList() << 0;
    QTest::newRow("too few urls") << 250ll << QJsonValue("100") << 2 << IntList{}
                                  << int(VXResult::TooFewPartUrls);
    QTest::newRow("no urls") << 250ll << QJsonValue("100") << 0 << IntList{}
                             << int(VXResult::TooFewPartUrls);
    const int none = VXResult::NoSliceRead;
    QTest::newRow("empty file") << 0ll << QJsonValue("100") << 1 << IntList{} << none;
    QTest::newRow("missing file") << -1ll << QJsonValue("100") << 1 << IntList{} << none;
    QTest::newRow("sliceLen 0") << 250ll << QJsonValue("0") << 3 << IntList{} << none;
    QTest::newRow("sliceLen -5") << 250ll << QJsonValue("-5") << 3 << IntList{} << none;
    QTest::newRow("sliceLen number") << 250ll << QJsonValue(100) << 3 << IntList{} << none;
}

void tst_VXUploadFileSliceByPut::slicing()
{
    QFETCH(qint64, size);
    QFETCH(QJsonValue, sliceLen);
    QFETCH(int, urls);
    QFETCH(IntList, slices);
    QFETCH(int, failure);
    start(size, sliceLen, urls, {{"extra", 7}});

    // Parts go out one at a time in the string order of their URLs; "pathinfo" lists them in
    // part order with the ETags' quotes removed.
    QStringList sent, expectedPathinfo;
    for (int n = 1; n <= slices.size(); ++n) {
        sent << QStringLiteral("u%1").arg(n);
        expectedPathinfo << QStringLiteral("%1,e%1").arg(n);
    }
    sent.sort();
    for (int i = 0; i < slices.size(); ++i) {
        QCOMPARE(puts().size(), i + 1);
        const CloudCall put = puts().at(i);
        const int part = put.url.mid(1).toInt();
        QJsonObject info = m_job;
        info["slice_mark"] = put.url;
        QCOMPARE(put.url, sent.at(i));
        QCOMPARE(put.info, info);
        QCOMPARE(put.data.size(), slices.at(part - 1));
        QCOMPARE(put.data.at(0), char(((part - 1) * 100) % 251)); // the slice's own bytes
        QCOMPARE(m_done->size(), 0);
        succeed(put, QStringLiteral("\"e\"%1\"").arg(part));
    }
    QCOMPARE(puts().size(), slices.size());
    if (failure == 0) {
        QCOMPARE(m_done->size(), 1);
        QJsonObject expected = m_job;
        expected["pathinfo"] = expectedPathinfo.join(';');
        QCOMPARE(m_done->at(0).at(0).toJsonObject(), expected);
        QCOMPARE(m_done->at(0).at(1).toInt(), 0);
        return;
    }
    QCOMPARE(m_done->size(), 0); // queued: never inside the start call
    QTRY_COMPARE(m_done->size(), 1);
    QCOMPARE(m_done->at(0).at(0).toJsonObject(), m_job);
    QCOMPARE(m_done->at(0).at(1).toInt(), failure);
    QCoreApplication::processEvents();
    QCOMPARE(m_done->size(), 1);
}

void tst_VXUploadFileSliceByPut::progress_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QString>("sliceLen");
    QTest::addColumn<int>("partsDone");
    QTest::addColumn<int>("percent");
    QTest::addColumn<int>("expected"); // -1: nothing emitted
    QTest::newRow("33% of 100 bytes") << 100ll << "100" << 0 << 33 << 33;
    QTest::newRow("33% of 99 bytes") << 100ll << "99" << 0 << 33 << 32;
    QTest::newRow("first of three") << 250ll << "100" << 0 << 100 << 40;
    QTest::newRow("last at 40% counts full") << 250ll << "100" << 2 << 40 << 96;
    QTest::newRow("last at 60% over 100") << 250ll << "100" << 2 << 60 << -1;
    QTest::newRow("negative") << 250ll << "100" << 0 << -5 << -1;
}

void tst_VXUploadFileSliceByPut::progress()
{
    QFETCH(qint64, size);
    QFETCH(QString, sliceLen);
    QFETCH(int, partsDone);
    QFETCH(int, percent);
    QFETCH(int, expected);
    start(size, sliceLen, 3);
    for (int i = 0; i < partsDone; ++i)
        succeed(puts().at(i), "e");
    const CloudCall put = puts().last();
    emit put.component->sglUploadProgress(put.info, percent);
    QJsonObject foreign = put.info;
    foreign["slice_mark"] = "elsewhere";
    emit put.component->sglUploadProgress(foreign, 50);
    foreign.remove("slice_mark");
    emit put.component->sglUploadProgress(foreign, 50);

    QCOMPARE(m_progress->size(), expected < 0 ? 0 : 1);
    if (expected >= 0) {
        QCOMPARE(m_progress->at(0).at(0).toJsonObject(), m_job);
        QCOMPARE(m_progress->at(0).at(1).toInt(), expected);
    }
}

void tst_VXUploadFileSliceByPut::failedPartFailsTheFileOnce()
{
    start(250, "100", 3);
    succeed(puts().at(0), "e1");
    const CloudCall second = puts().at(1);
    emit second.component->sglUploadFinished(second.info, 503);

    QCOMPARE(puts().size(), 2); // part 3 never goes out
    const auto stops = CloudRecorder::instance().callsOf("stopUploadByUrl");
    QCOMPARE(stops.size(), 1);
    QCOMPARE(stops.at(0).url, QString("u2"));
    QCOMPARE(m_done->size(), 1);
    QCOMPARE(m_done->at(0).at(0).toJsonObject(), m_job); // as handed in, without "pathinfo"
    QCOMPARE(m_done->at(0).at(1).toInt(), 503);
    succeed(second, "late"); // reports after a failure are dropped
    emit second.component->sglUploadProgress(second.info, 10);
    QCOMPARE(m_done->size(), 1);
    QCOMPARE(m_progress->size(), 0);
}

void tst_VXUploadFileSliceByPut::repeatedPartReportIsLoggedWhileAnotherIsInFlight()
{
    start(200, "100", 2);
    succeed(puts().at(0), "e1");
    g_infoLines.clear();
    const QtMessageHandler previous = qInstallMessageHandler(captureInfo);
    succeed(puts().at(0), "e1"); // u1 again while u2 is in flight and nothing waits
    qInstallMessageHandler(previous);
    QCOMPARE(g_infoLines, QStringList{"VXUploadFileSliceByPut::slotUploadFinished QMap()"});
    QCOMPARE(puts().size(), 2);
    QCOMPARE(m_done->size(), 0);
}

void tst_VXUploadFileSliceByPut::stop_data()
{
    QTest::addColumn<int>("urls");
    QTest::addColumn<bool>("abortReportedInsideStop");
    QTest::addColumn<QStringList>("aborted");
    QTest::newRow("part in flight") << 3 << false << QStringList{"u1"};
    QTest::newRow("abort reported from inside stopUploadByUrl") << 3 << true << QStringList{"u1"};
    QTest::newRow("before the queued failure") << 0 << false << QStringList{};
}

void tst_VXUploadFileSliceByPut::stop()
{
    QFETCH(int, urls);
    QFETCH(bool, abortReportedInsideStop);
    QFETCH(QStringList, aborted);
    start(250, "100", urls);
    CloudRecorder& recorder = CloudRecorder::instance();
    if (abortReportedInsideStop) {
        const CloudCall put = puts().at(0);
        recorder.onCall = [put](const CloudCall& call) {
            if (call.op == "stopUploadByUrl")
                emit put.component->sglUploadFinished(put.info, -1042);
        };
    }
    m_uploader->stopUploadFileBySlice();
    recorder.onCall = nullptr;

    QStringList stopped;
    for (const CloudCall& call : recorder.callsOf("stopUploadByUrl"))
        stopped << call.url;
    QCOMPARE(stopped, aborted);
    if (!puts().isEmpty())
        succeed(puts().at(0), "late");
    QCoreApplication::processEvents();
    QCOMPARE(m_done->size(), 0);
    QCOMPARE(puts().size(), urls > 0 ? 1 : 0);
}

QTEST_GUILESS_MAIN(tst_VXUploadFileSliceByPut)
#include "tst_vxuploadfileslicebyput.moc"
