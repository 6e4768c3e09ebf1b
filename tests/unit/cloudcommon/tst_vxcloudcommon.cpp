// The real request component against a scripted HTTP server on 127.0.0.1.
#include "ScriptedHttpServer.h"
#include "VXCloudCommon.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

Q_DECLARE_METATYPE(ScriptedReply)

namespace {

using Params = QMap<QString, QString>;
using Replies = QList<ScriptedReply>;

enum Call { Api, PutData, PutFile, PutRange, PutRangeBeyondEnd, PutMissingFile, PutWithoutUrl };

// The file range of PutRange: crosses the component's 1 MiB read chunks on both ends.
constexpr qint64 kRangeOffset = 1024 * 1024 + 5, kRangeLength = 1024 * 1024 + 7;

const QByteArray kEtag = "\"9b2cf535f27731c974343645a3985328\"";

QByteArray pattern(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + i / 4099) & 0xff);
    return bytes;
}

} // namespace

class tst_VXCloudCommon : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void request_data();
    void request();
    void stopAndRestartFromSlots();
    void stallTimeout_data();
    void stallTimeout();
    void libraryResendsCountAsAttempts();

private:
    std::unique_ptr<ScriptedHttpServer> m_server;
    QTemporaryDir m_dir;
};

void tst_VXCloudCommon::init()
{
    qRegisterMetaType<Params>("QMap<QString,QString>");
    m_server = std::make_unique<ScriptedHttpServer>();
    // Settings are read when a component is created; the environment beats any INI file.
    qputenv("NO_PROXY", "127.0.0.1"); // curl honours proxy variables
    qputenv("VXUPLOAD_API_HOST", m_server->baseUrl().toUtf8());
    qputenv("VXUPLOAD_TOKEN", "s3cret");
    qputenv("VXUPLOAD_RETRIES", "1");
    qputenv("VXUPLOAD_STALL_TIMEOUT_SEC", "1");
}

void tst_VXCloudCommon::request_data()
{
    QTest::addColumn<int>("call");
    QTest::addColumn<QString>("api");
    QTest::addColumn<Replies>("replies");  // one per request expected
    QTest::addColumn<int>("expectedCode"); // 0: success

    const QString x = QStringLiteral("api/x");
    const ScriptedReply ok(200, {}, kEtag);
    QTest::newRow("API 200 JSON") << int(Api) << "api/bucket/fileuploadurl"
                                  << Replies{ScriptedReply(200, R"({"url":"u","n":1})")} << 0;
    QTest::newRow("API 500") << int(Api) << x << Replies{ScriptedReply(500, "{}")} << 500;
    QTest::newRow("API 200 not JSON")
        << int(Api) << x << Replies{ScriptedReply(200, "hello")} << -2003;
    QTest::newRow("API closed without answer") << int(Api) << x
        << Replies{ScriptedReply(0, {}, {}, ScriptedReply::CloseWithoutAnswer)} << -1052;
    QTest::newRow("API refused") << int(Api) << x << Replies{} << -1007;
    QTest::newRow("API stall: time-out") << int(Api) << x
        << Replies{ScriptedReply(0, {}, {}, ScriptedReply::NeverAnswer)} << -1028;
    // Retries are on (init), yet a second attempt would open a second multipart upload.
    QTest::newRow("API initmultipart never retried")
        << int(Api) << "coscenter/v1/bucket/initmultipart" << Replies{503} << 503;
    // The server answers a completion that already took place as a success.
    QTest::newRow("API completemultipart retried") << int(Api)
        << "coscenter/v1/bucket/completemultipart" << Replies{503, ScriptedReply(200, "{}")} << 0;
    QTest::newRow("PUT file, 200 with ETag") << int(PutFile) << QString() << Replies{ok} << 0;
    QTest::newRow("PUT data, 503 then 200") << int(PutData) << QString() << Replies{503, ok} << 0;
    QTest::newRow("PUT file, 403: its ETag is not copied") << int(PutFile) << QString()
        << Replies{ScriptedReply(403, "<Error/>", "\"x\"")} << 403;
    QTest::newRow("PUT file range, 503 then 200")
        << int(PutRange) << QString() << Replies{503, ok} << 0;
    QTest::newRow("PUT range beyond the file")
        << int(PutRangeBeyondEnd) << QString() << Replies{} << -2001;
    QTest::newRow("PUT vanished file") << int(PutMissingFile) << QString() << Replies{} << -2001;
    QTest::newRow("PUT without URL") << int(PutWithoutUrl) << QString() << Replies{} << -2002;
}

// One call, one report: later, from the event loop, with the caller's context.
void tst_VXCloudCommon::request()
{
    QFETCH(int, call);
    QFETCH(QString, api);
    QFETCH(Replies, replies);
    QFETCH(int, expectedCode);
    for (const ScriptedReply& reply : replies)
        m_server->enqueue(reply);
    if (expectedCode == -1007)
        m_server->close(); // connection refused
    const QByteArray content = pattern(3 * 1024 * 1024 + 123);
    QFile file(m_dir.filePath(call == PutMissingFile ? "gone.bin" : "put.bin"));
    QVERIFY(call == PutMissingFile || (file.open(QIODevice::WriteOnly) && file.write(content)));
    file.close();

    VXCloudCommon component;
    QSignalSpy apiDone(&component, &VXCloudCommon::sglHttpRequestFinishWithInfo);
    QSignalSpy apiFailed(&component, &VXCloudCommon::sglHttpRequestErrorWithInfo);
    QSignalSpy putDone(&component, &VXCloudCommon::sglUploadFinished);
    QSignalSpy progress(&component, &VXCloudCommon::sglUploadProgress);
    const Params params{{"bucketName", "b"}, {"remotePath", "dir/ä x.bin"}, {"empty", ""}};
    const QJsonObject info{{"slice_mark", "part-1"}, {"n", 3}};
    const QString path = call == Api ? '/' + api : "/bucket/key.bin?X-Amz-Signature=f00";
    const QString url = call == PutWithoutUrl ? QString() : m_server->baseUrl() + path;
    if (call == Api)
        component.sendApiRequest(params, api, QString(), 0);
    else if (call == PutData)
        component.uploadDataByPut(url, content, info);
    else if (call == PutRange || call == PutRangeBeyondEnd)
        component.uploadFileRangeByPut(url, file.fileName(), kRangeOffset,
                                       call == PutRange ? kRangeLength : content.size(), info);
    else
        component.uploadFileByPut(url, file.fileName(), info);
    const auto reports = [&] { return apiDone.count() + apiFailed.count() + putDone.count(); };
    QCOMPARE(reports(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(reports(), 1, 10000);
    QTest::qWait(50); // a second report would have arrived by now
    QCOMPARE(reports(), 1);

    if (call == Api) {
        QCOMPARE(apiFailed.count(), expectedCode == 0 ? 0 : 1);
        const QList<QVariant> args = expectedCode == 0 ? apiDone.first() : apiFailed.first();
        QCOMPARE(args.at(0).value<Params>(), params);
        QCOMPARE(args.at(1).toString(), api);
        const QByteArray body = replies.value(replies.size() - 1).body; // the last answer
        const QJsonObject reply = QJsonDocument::fromJson(body).object();
        QCOMPARE(args.at(2), expectedCode == 0 ? QVariant(reply) : QVariant(expectedCode));
        if (expectedCode == 0)
            QCOMPARE(args.at(3).toString(), url);
    } else {
        QCOMPARE(putDone.first().at(1).toInt(), expectedCode);
        QJsonObject echoed = putDone.first().at(0).toJsonObject();
        QCOMPARE(echoed.take("ETag").toString().toUtf8(), expectedCode ? QByteArray() : kEtag);
        QCOMPARE(echoed, info);
    }

    QCOMPARE(m_server->requests().size(), replies.size());
    for (const RecordedRequest& request : m_server->requests()) {
        const QByteArray head = request.head.toLower();
        const QByteArray line = (call == Api ? "post " : "put ") + path.toLower().toUtf8();
        QVERIFY(head.startsWith(line + " http/1.1\r\n"));
        QVERIFY(!head.contains("\r\nexpect:")); // no wait for "100 Continue"
        if (call != Api) {
            QVERIFY(!head.contains("\r\nauthorization:"));
            QVERIFY(request.body
                    == (call == PutRange ? content.mid(kRangeOffset, kRangeLength) : content));
            continue;
        }
        QVERIFY(head.contains("\r\ncontent-type: application/json\r\n"));
        QVERIFY(head.contains("\r\nauthorization: bearer s3cret\r\n"));
        const QJsonObject json{{"bucketName", "b"}, {"remotePath", "dir/ä x.bin"}, {"empty", ""}};
        QCOMPARE(QJsonDocument::fromJson(request.body).object(), json);
    }
    // PUT progress: whole percents, each reported once, never going back (not even on a retry).
    int last = -1;
    for (const QList<QVariant>& args : progress) {
        QCOMPARE(args.at(0).toJsonObject(), info);
        QVERIFY2(args.at(1).toInt() > last, qPrintable(args.at(1).toString()));
        last = args.at(1).toInt();
    }
    QCOMPARE(last, call == Api || replies.isEmpty() ? -1 : 100);
}

// PUT 1 (32 MiB) is stopped by a progress slot as soon as bytes are on their way; PUT 2
// finishes and its slot stops its own URL (already done) and starts PUT 3.
void tst_VXCloudCommon::stopAndRestartFromSlots()
{
    VXCloudCommon component;
    const QString base = m_server->baseUrl();
    const QByteArray third = pattern(300000);
    int stoppedProgress = 0; // reports of PUT 1 with bytes sent; the first one stops it
    QList<int> finished;     // n * 1000 + result
    connect(&component, &VXCloudCommon::sglUploadProgress, this,
            [&](const QJsonObject& info, int percent) {
                if (info.value("n").toInt() == 1 && percent > 0 && stoppedProgress++ == 0)
                    component.stopUploadByUrl(base + "/1");
            });
    connect(&component, &VXCloudCommon::sglUploadFinished, this,
            [&](const QJsonObject& info, int res) {
                finished.append(info.value("n").toInt() * 1000 + res);
                if (info.value("n").toInt() == 2) {
                    component.stopUploadByUrl(base + "/2");
                    component.uploadDataByPut(base + "/3", third, {{"n", 3}});
                }
            });
    component.uploadDataByPut(base + "/1", pattern(32 * 1024 * 1024), {{"n", 1}});
    component.uploadDataByPut(base + "/2", "x", {{"n", 2}});
    QTRY_VERIFY(stoppedProgress > 0 && finished.size() == 2);
    QTest::qWait(1000); // long enough for PUT 1 to complete had it not been stopped
    QCOMPARE(stoppedProgress, 1);
    QCOMPARE(finished, QList<int>({2000, 3000}));
    QCOMPARE(m_server->requests().size(), 2);
    QVERIFY(m_server->requests().at(1).body == third);
}

// A request that moves no byte for the stall time-out (here 2 s) fails within a second after
// it; a pause shorter than that never fails it.
void tst_VXCloudCommon::stallTimeout_data()
{
    QTest::addColumn<ScriptedReply>("reply");
    QTest::addColumn<int>("expectedCode");
    QTest::newRow("no answer") << ScriptedReply(0, {}, {}, ScriptedReply::NeverAnswer) << -1028;
    QTest::newRow("answer after 1.5 s") << ScriptedReply::after(1500, 200, "{}") << 0;
}

void tst_VXCloudCommon::stallTimeout()
{
    QFETCH(ScriptedReply, reply);
    QFETCH(int, expectedCode);
    qputenv("VXUPLOAD_STALL_TIMEOUT_SEC", "2");
    m_server->enqueue(reply);
    VXCloudCommon component;
    QSignalSpy done(&component, &VXCloudCommon::sglHttpRequestFinishWithInfo);
    QSignalSpy failed(&component, &VXCloudCommon::sglHttpRequestErrorWithInfo);
    QElapsedTimer clock;
    clock.start();
    component.sendApiRequest({}, "api/x", QString(), 0); // never retried
    QTRY_COMPARE_WITH_TIMEOUT(done.count() + failed.count(), 1, 6000);
    const qint64 elapsedMs = clock.elapsed();
    QCOMPARE(failed.isEmpty() ? 0 : failed.first().at(2).toInt(), expectedCode);
    if (expectedCode != 0)
        QVERIFY2(elapsedMs >= 2000 && elapsedMs <= 3000, qPrintable(QString::number(elapsedMs)));
}

// libcurl sends a request again by itself when a reused connection turns out closed; those
// sends count: with retries = 1 the request reaches the server at most twice.
void tst_VXCloudCommon::libraryResendsCountAsAttempts()
{
    m_server->enqueue(ScriptedReply(200, "{}")); // leaves a kept-alive connection
    for (int i = 0; i < 6; ++i)
        m_server->enqueue(ScriptedReply(0, {}, {}, ScriptedReply::CloseWithoutAnswer));
    VXCloudCommon component;
    QSignalSpy done(&component, &VXCloudCommon::sglHttpRequestFinishWithInfo);
    QSignalSpy failed(&component, &VXCloudCommon::sglHttpRequestErrorWithInfo);
    component.sendApiRequest({}, "api/bucket/fileuploadurl", QString(), 0);
    QTRY_COMPARE(done.count(), 1);
    component.sendApiRequest({}, "api/bucket/fileuploadurl", QString(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(failed.count(), 1, 10000);
    QTest::qWait(300);
    QCOMPARE(m_server->requests().size(), 1 + 2);
    QCOMPARE(failed.first().at(2).toInt(), -1052);
}

QTEST_GUILESS_MAIN(tst_VXCloudCommon)
#include "tst_vxcloudcommon.moc"
