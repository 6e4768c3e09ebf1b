// What vxupload prints: the plain and JSON report lines that scripts parse, the number formats,
// and the terminal block that is redrawn in place.
#include "VXProgressView.h"
#include "VXUploadExitCodes.h"

#include <QBuffer>
#include <QJsonDocument>
#include <QTemporaryFile>
#include <QtTest>

Q_DECLARE_METATYPE(VXProgressView::Mode)

namespace {

QJsonObject job(const QString& localPath, const QString& remotePath)
{
    return {{"localPath", localPath}, {"remotePath", remotePath}, {"bucketName", "b"}};
}

QString keyOf(const QJsonObject& job)
{
    return job.value("localPath").toString() + '|' + job.value("remotePath").toString() + "|b";
}

} // namespace

class tst_VXProgressView : public QObject
{
    Q_OBJECT

private slots:
    void formats_data();
    void formats();
    void reportLines_data();
    void reportLines();
    void machineModesPrintOnlyReports_data();
    void machineModesPrintOnlyReports();
    void terminalRedrawsInPlace();
};

void tst_VXProgressView::formats_data()
{
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<QString>("bytesText");
    QTest::addColumn<qint64>("ms");
    QTest::addColumn<QString>("durationText");

    QTest::newRow("below a unit") << qint64(1023) << "1023 B" << qint64(400) << "0.4 s";
    QTest::newRow("one KiB") << qint64(1024) << "1.00 KiB" << qint64(12049) << "12.0 s";
    QTest::newRow("tens of MiB") << qint64(12.34 * 1048576) << "12.3 MiB" << qint64(187000)
                                 << "3:07";
    QTest::newRow("GiB") << qint64(1536) * 1048576 << "1.50 GiB" << qint64(3723000) << "1:02:03";
}

void tst_VXProgressView::formats()
{
    QFETCH(qint64, bytes);
    QFETCH(QString, bytesText);
    QFETCH(qint64, ms);
    QFETCH(QString, durationText);
    QCOMPARE(VXProgressView::formatBytes(bytes), bytesText);
    QCOMPARE(VXProgressView::formatDuration(ms), durationText);
}

void tst_VXProgressView::reportLines_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QJsonObject>("report");
    QTest::addColumn<QString>("plain");
    QTest::addColumn<QByteArray>("json");

    QJsonObject ok = job("/d/a.bin", "x/a.bin");
    ok.insert("downloadUrl", "http://h/x/a.bin");
    QTest::newRow("success") << 0 << ok << "ok\t0\tx/a.bin\t/d/a.bin\thttp://h/x/a.bin"
                             << QByteArray(R"({"result":0,"job":{"bucketName":"b",)"
                                           R"("downloadUrl":"http://h/x/a.bin",)"
                                           R"("localPath":"/d/a.bin","remotePath":"x/a.bin"}})");
    QTest::newRow("missing local file")
        << -1 << job("/nonexistent/a", "a")
        << "failed\t-1\ta\t/nonexistent/a\tthe local file "
           "does not exist"
        << QByteArray(R"({"result":-1,"job":{"bucketName":"b","localPath":"/nonexistent/a",)"
                      R"("remotePath":"a"}})");
    QTest::newRow("HTTP status, tab in a path")
        << 403 << job("/d/t\tb", "r\nx") << "failed\t403\tr x\t/d/t b\tHTTP status 403"
        << QByteArray(R"({"result":403,"job":{"bucketName":"b","localPath":"/d/t\tb",)"
                      R"("remotePath":"r\nx"}})");
}

void tst_VXProgressView::reportLines()
{
    QFETCH(int, code);
    QFETCH(QJsonObject, report);
    QFETCH(QString, plain);
    QFETCH(QByteArray, json);
    QCOMPARE(VXProgressView::plainLine(code, report), plain);
    QCOMPARE(VXProgressView::jsonLine(code, report), json);
    QCOMPARE(QJsonDocument::fromJson(json).object().value("job").toObject(), report);
}

void tst_VXProgressView::machineModesPrintOnlyReports_data()
{
    QTest::addColumn<VXProgressView::Mode>("mode");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("plain") << VXProgressView::Mode::Plain
                           << QByteArray("ok\t0\tr1\t/d/1\t\nfailed\t7\tr2\t/d/2\terror 7\n");
    QTest::newRow("json") << VXProgressView::Mode::Json
                          << QByteArray(R"({"result":0,"job":{"bucketName":"b","localPath":)"
                                        R"("/d/1","remotePath":"r1"}})"
                                        "\n"
                                        R"({"result":7,"job":{"bucketName":"b","localPath":)"
                                        R"("/d/2","remotePath":"r2"}})"
                                        "\n");
}

void tst_VXProgressView::machineModesPrintOnlyReports()
{
    QFETCH(VXProgressView::Mode, mode);
    QFETCH(QByteArray, expected);
    QBuffer out, err;
    out.open(QIODevice::WriteOnly);
    err.open(QIODevice::WriteOnly);
    VXProgressView view(mode, &out, &err);
    const QJsonObject one = job("/d/1", "r1"), two = job("/d/2", "r2");
    view.slotJobSubmitted(one);
    view.slotJobSubmitted(two);
    view.slotJobProgress(keyOf(one), 50);
    view.slotNotice("something to say");
    view.slotJobFinished(0, one, keyOf(one));
    view.slotJobProgress(keyOf(two), 100);
    view.slotJobFinished(7, two, keyOf(two));
    view.slotRunFinished(VXExit::JobFailed);
    QCOMPARE(out.data(), expected);
    QCOMPARE(err.data(), QByteArray("vxupload: something to say\n"));
}

void tst_VXProgressView::terminalRedrawsInPlace()
{
    QTemporaryFile file;
    QVERIFY(file.open());
    file.write(QByteArray(2048, 'x'));
    file.flush();
    QBuffer out, err;
    out.open(QIODevice::WriteOnly);
    err.open(QIODevice::WriteOnly);
    VXProgressView view(VXProgressView::Mode::Terminal, &out, &err, 100);
    const QJsonObject one = job(file.fileName(), "dir/one.bin");
    const QJsonObject two = job("/nonexistent/2", "two.bin");
    const QJsonObject three = job("/nonexistent/3", "three.bin");
    for (const QJsonObject& j : {one, two, three})
        view.slotJobSubmitted(j);

    // The first progress report draws at once: a line for the job and one for the others.
    view.slotJobProgress(keyOf(one), 50);
    QByteArray drawn = out.data();
    QVERIFY2(drawn.contains("dir/one.bin"), drawn);
    QVERIFY(drawn.contains(" 50%  1.00 KiB/2.00 KiB "));
    QVERIFY(drawn.contains("2 more waiting\n"));
    for (const QByteArray& line : drawn.split('\n'))
        QVERIFY2(QString::fromUtf8(line).size() < 100, line);

    // A finished job: the two-line block is erased, the result printed, the block redrawn.
    out.buffer().clear();
    out.seek(0);
    view.slotJobFinished(0, one, keyOf(one));
    drawn = out.data();
    QVERIFY2(drawn.startsWith("\x1b[2A\r\x1b[J"), drawn);
    QVERIFY(drawn.contains(QString(QChar(0x2713)).toUtf8() + "\x1b[0m dir/one.bin  2.00 KiB"));
    view.slotJobFinished(-1, two, keyOf(two));
    QVERIFY(out.data().contains("two.bin  the local file does not exist (-1)"));
    QVERIFY(err.data().isEmpty());

    out.buffer().clear();
    out.seek(0);
    view.slotRunFinished(VXExit::Interrupted);
    QVERIFY2(out.data().startsWith("1 of 3 uploaded (2.00 KiB in "), out.data());
    QVERIFY(out.data().endsWith(", 1 failed, 1 stopped\n"));
}

QTEST_GUILESS_MAIN(tst_VXProgressView)
#include "tst_vxprogressview.moc"
