// The real request component against a scripted HTTP server on 127.0.0.1.
#include "ScriptedHttpServer.h"
#include "VXCloudCommon.h"
#include "VXResultCodes.h"

#include <QFile>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

Q_DECLARE_METATYPE(ScriptedReply)

namespace {

using Params = QMap<QString, QString>;

ScriptedReply answer(int status, const QByteArray& body = QByteArray(),
                     const QByteArray& etag = QByteArray())
{
    ScriptedReply reply;
    reply.status = status;
    reply.body = body;
    if (!etag.isEmpty())
        reply.headers.append({"ETag", etag});
    return reply;
}

ScriptedReply misbehave(ScriptedReply::Action action)
{
    ScriptedReply reply;
    reply.action = action;
    return reply;
}

QByteArray pattern(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + i / 4099) & 0xff);
    return bytes;
}

// A port on which nobody listens: bound once, then released.
quint16 deadPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

} // namespace

class tst_VXCloudCommon : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void apiRequest_data();
    void apiRequest();
    void bearerTokenOnApiOnly();
    void putFile_data();
    void putFile();
    void localFailureIsQueued_data();
    void localFailureIsQueued();
    void stopMidTransfer();
    void nextPutFromFinishedSlot();
    void deleteLaterWhileRunning();
    void retries_data();
    void retries();

private:
    std::unique_ptr<ScriptedHttpServer> m_server;
    QTemporaryDir m_dir;
};

void tst_VXCloudCommon::initTestCase()
{
    qRegisterMetaType<Params>("QMap<QString,QString>");
    // libcurl honours proxy variables; requests to the local server must go there directly.
    for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY",
                             "all_proxy", "ALL_PROXY"})
        qunsetenv(name);
    QVERIFY(m_dir.isValid());
}

void tst_VXCloudCommon::init()
{
    m_server = std::make_unique<ScriptedHttpServer>();
    QVERIFY(m_server->listen());
    // Settings are read when a component is created; the environment beats any INI file.
    qputenv("VXUPLOAD_API_HOST", m_server->baseUrl().toUtf8());
    qputenv("VXUPLOAD_TOKEN", "");
    qputenv("VXUPLOAD_RETRIES", "0");
    qputenv("VXUPLOAD_RETRY_DELAY_MS", "20");
    qputenv("VXUPLOAD_STALL_TIMEOUT_SEC", "1");
    qputenv("VXUPLOAD_CONNECT_TIMEOUT_SEC", "5");
}

void tst_VXCloudCommon::apiRequest_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("api");
    QTest::addColumn<ScriptedReply>("reply");
    QTest::addColumn<int>("expectedCode"); // 0: finished with the JSON reply
    QTest::addColumn<QString>("expectedPath");

    const QString dflt;
    QTest::newRow("200 JSON, default host")
        << dflt << "api/bucket/fileuploadurl" << answer(200, R"({"url":"u","n":1})") << 0
        << "/api/bucket/fileuploadurl";
    QTest::newRow("201 JSON, host with trailing slash")
        << "HOST/" << "coscenter/v1/bucket/initmultipart" << answer(201, "{}") << 0
        << "/coscenter/v1/bucket/initmultipart";
    QTest::newRow("500") << dflt << "api/x" << answer(500, R"({"error":"boom"})") << 500
                         << "/api/x";
    QTest::newRow("404") << dflt << "api/x" << answer(404) << 404 << "/api/x";
    QTest::newRow("200 not JSON") << dflt << "api/x" << answer(200, "hello") << -2003 << "/api/x";
    QTest::newRow("200 JSON array") << dflt << "api/x" << answer(200, "[1]") << -2003
                                    << "/api/x";
    QTest::newRow("closed without answer")
        << dflt << "api/x" << misbehave(ScriptedReply::CloseWithoutAnswer)
        << VXResult::fromTransport(52) << "/api/x";
    QTest::newRow("never answers: stall time-out")
        << dflt << "api/x" << misbehave(ScriptedReply::NeverAnswer)
        << VXResult::fromTransport(28) << "/api/x";
    QTest::newRow("connection refused")
        << "DEAD" << "api/x" << answer(200, "{}") << VXResult::fromTransport(7) << QString();
    QTest::newRow("unusable host") << "ftp://127.0.0.1" << "api/x" << answer(200, "{}")
                                   << int(VXResult::EmptyUrl) << QString();
}

void tst_VXCloudCommon::apiRequest()
{
    QFETCH(QString, host);
    QFETCH(QString, api);
    QFETCH(ScriptedReply, reply);
    QFETCH(int, expectedCode);
    QFETCH(QString, expectedPath);
    if (host == QLatin1String("HOST/"))
        host = m_server->baseUrl() + QLatin1Char('/');
    else if (host == QLatin1String("DEAD"))
        host = QStringLiteral("http://127.0.0.1:%1").arg(deadPort());
    m_server->setDefaultReply(reply);

    VXCloudCommon component;
    QSignalSpy finished(&component, &VXCloudCommon::sglHttpRequestFinishWithInfo);
    QSignalSpy failed(&component, &VXCloudCommon::sglHttpRequestErrorWithInfo);
    const Params params{{"bucketName", "b"}, {"remotePath", "dir/ä x.bin"}, {"empty", ""}};
    component.sendApiRequest(params, api, host, 0);
    QCOMPARE(finished.count() + failed.count(), 0); // never inside the call

    // curl averages the speed over a few seconds: a stall is seen up to ~5 s late.
    QTRY_COMPARE_WITH_TIMEOUT(finished.count() + failed.count(), 1, 10000);
    QTest::qWait(100);
    QCOMPARE(finished.count() + failed.count(), 1);
    const QList<QVariant> args = expectedCode == 0 ? finished.first() : failed.first();
    QCOMPARE(args.at(0).value<Params>(), params);
    QCOMPARE(args.at(1).toString(), api);
    if (expectedCode == 0) {
        const QJsonObject expected = QJsonDocument::fromJson(reply.body).object();
        QCOMPARE(args.at(2).toJsonObject(), expected);
        QCOMPARE(args.at(3).toString(), m_server->baseUrl() + expectedPath);
    } else {
        QCOMPARE(args.at(2).toInt(), expectedCode);
        QVERIFY(!args.at(3).toString().isEmpty());
    }

    if (expectedPath.isEmpty()) {
        QVERIFY(m_server->requests().isEmpty());
        return;
    }
    QCOMPARE(m_server->requests().size(), 1);
    const RecordedRequest request = m_server->requests().first();
    QCOMPARE(request.method, QByteArray("POST"));
    QCOMPARE(QString::fromUtf8(request.path), expectedPath);
    QCOMPARE(request.headers.value("content-type"), QByteArray("application/json"));
    QVERIFY(!request.headers.contains("authorization"));
    QVERIFY(!request.headers.contains("expect"));
    const QJsonObject body = QJsonDocument::fromJson(request.body).object();
    QCOMPARE(body.toVariantMap().size(), params.size());
    for (auto it = params.cbegin(); it != params.cend(); ++it)
        QCOMPARE(body.value(it.key()).toString(), it.value());
}

void tst_VXCloudCommon::bearerTokenOnApiOnly()
{
    qputenv("VXUPLOAD_TOKEN", "s3cret-token");
    m_server->setDefaultReply(answer(200, "{}", "\"e\""));
    VXCloudCommon component;
    QSignalSpy finished(&component, &VXCloudCommon::sglHttpRequestFinishWithInfo);
    QSignalSpy putDone(&component, &VXCloudCommon::sglUploadFinished);
    component.sendApiRequest({{"k", "v"}}, "api/x", QString(), 0);
    component.uploadDataByPut(m_server->baseUrl() + "/bucket/obj?X-Amz-Signature=abc", "data",
                              QJsonObject());
    QTRY_COMPARE(finished.count() + putDone.count(), 2);

    QCOMPARE(m_server->requests().size(), 2);
    for (const RecordedRequest& request : m_server->requests()) {
        if (request.method == "POST")
            QCOMPARE(request.headers.value("authorization"), QByteArray("Bearer s3cret-token"));
        else
            QVERIFY2(!request.headers.contains("authorization"), request.method.constData());
    }
}

void tst_VXCloudCommon::putFile_data()
{
    QTest::addColumn<bool>("fromFile");
    QTest::addColumn<ScriptedReply>("reply");
    QTest::addColumn<int>("expectedRes");

    const ScriptedReply ok = answer(200, "", "\"9b2cf535f27731c974343645a3985328\"");
    QTest::newRow("file, 200 with ETag") << true << ok << 0;
    QTest::newRow("file, 403") << true << answer(403, "<Error>Denied</Error>", "\"x\"") << 403;
    QTest::newRow("file, 500") << true << answer(500) << 500;
    QTest::newRow("data, 200 with ETag") << false << ok << 0;
    QTest::newRow("data, 403") << false << answer(403, "", "\"x\"") << 403;
}

void tst_VXCloudCommon::putFile()
{
    QFETCH(bool, fromFile);
    QFETCH(ScriptedReply, reply);
    QFETCH(int, expectedRes);
    m_server->setDefaultReply(reply);
    const QByteArray content = pattern(3 * 1024 * 1024 + 123);
    const QString path = m_dir.filePath(QStringLiteral("put.bin"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(content), qint64(content.size()));
    file.close();

    VXCloudCommon component;
    QSignalSpy progress(&component, &VXCloudCommon::sglUploadProgress);
    QSignalSpy finished(&component, &VXCloudCommon::sglUploadFinished);
    const QJsonObject info{{"slice_mark", "part-1"}, {"n", 3}};
    const QString url = m_server->baseUrl() + "/bucket/key.bin?X-Amz-Signature=f00";
    if (fromFile)
        component.uploadFileByPut(url, path, info);
    else
        component.uploadDataByPut(url, content, info);
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 10000);

    const QJsonObject echoed = finished.first().at(0).toJsonObject();
    QCOMPARE(finished.first().at(1).toInt(), expectedRes);
    QCOMPARE(echoed.value("slice_mark").toString(), QStringLiteral("part-1"));
    QCOMPARE(echoed.value("n").toInt(), 3);
    if (expectedRes == 0)
        QCOMPARE(echoed.value("ETag").toString().toUtf8(), reply.headers.first().second);
    else
        QVERIFY(!echoed.contains("ETag"));

    QCOMPARE(m_server->requests().size(), 1);
    const RecordedRequest request = m_server->requests().first();
    QCOMPARE(request.method, QByteArray("PUT"));
    QCOMPARE(request.path, QByteArray("/bucket/key.bin?X-Amz-Signature=f00"));
    QCOMPARE(request.headers.value("content-length").toLongLong(), qint64(content.size()));
    QVERIFY(!request.headers.contains("expect")); // no wait for "100 Continue"
    QVERIFY(request.body == content);

    int last = -1;
    for (const QList<QVariant>& args : progress) {
        QCOMPARE(args.at(0).toJsonObject(), info);
        const int percent = args.at(1).toInt();
        QVERIFY2(percent > last && percent <= 100, qPrintable(QString::number(percent)));
        last = percent;
    }
    QCOMPARE(last, 100);
}

void tst_VXCloudCommon::localFailureIsQueued_data()
{
    QTest::addColumn<bool>("emptyUrl");
    QTest::addColumn<bool>("stopInBetween");
    QTest::addColumn<int>("expectedRes");

    QTest::newRow("vanished file") << false << false << int(VXResult::FileUnreadable);
    QTest::newRow("empty URL") << true << false << int(VXResult::EmptyUrl);
    QTest::newRow("empty URL, stopped before reported") << true << true << 0;
    QTest::newRow("vanished file, stopped before reported") << false << true << 0;
}

void tst_VXCloudCommon::localFailureIsQueued()
{
    QFETCH(bool, emptyUrl);
    QFETCH(bool, stopInBetween);
    QFETCH(int, expectedRes);
    const QString url = emptyUrl ? QString() : m_server->baseUrl() + "/obj";
    VXCloudCommon component;
    QSignalSpy finished(&component, &VXCloudCommon::sglUploadFinished);
    component.uploadFileByPut(url, m_dir.filePath("no-such-file"), {{"k", "v"}});
    QCOMPARE(finished.count(), 0);
    if (stopInBetween) {
        component.stopUploadByUrl(url);
        QVERIFY(!finished.wait(300));
        return;
    }
    QVERIFY(finished.wait(2000));
    QCOMPARE(finished.first().at(1).toInt(), expectedRes);
    QCOMPARE(finished.first().at(0).toJsonObject(), QJsonObject({{"k", "v"}}));
    QTest::qWait(50);
    QCOMPARE(finished.count(), 1);
    QVERIFY(m_server->requests().isEmpty());
}

void tst_VXCloudCommon::stopMidTransfer()
{
    m_server->setDefaultReply(misbehave(ScriptedReply::NeverAnswer));
    qputenv("VXUPLOAD_STALL_TIMEOUT_SEC", "30");
    VXCloudCommon component;
    QSignalSpy finished(&component, &VXCloudCommon::sglUploadFinished);
    QSignalSpy progress(&component, &VXCloudCommon::sglUploadProgress);
    const QString url = m_server->baseUrl() + "/big?sig=1";
    const QString other = m_server->baseUrl() + "/other";
    component.uploadDataByPut(url, pattern(32 * 1024 * 1024), QJsonObject());
    component.uploadDataByPut(other, pattern(16), QJsonObject());
    QTRY_VERIFY(m_server->partialBodyBytes() > 0 || m_server->requests().size() == 2);
    component.stopUploadByUrl(url);
    component.stopUploadByUrl(m_server->baseUrl() + "/unknown"); // no effect
    component.stopUploadByUrl(other);
    const int progressSoFar = progress.count();
    QVERIFY(!finished.wait(1500));
    QCOMPARE(progress.count(), progressSoFar);
}

void tst_VXCloudCommon::nextPutFromFinishedSlot()
{
    m_server->setDefaultReply(answer(200, "", "\"e\""));
    VXCloudCommon component;
    QList<int> results;
    const QByteArray second = pattern(300000);
    connect(&component, &VXCloudCommon::sglUploadFinished, this,
            [&](const QJsonObject& info, int res) {
                results.append(res);
                if (info.value("n").toInt() == 1) {
                    component.stopUploadByUrl(m_server->baseUrl() + "/1"); // already done
                    component.uploadDataByPut(m_server->baseUrl() + "/2", second, {{"n", 2}});
                }
            });
    component.uploadDataByPut(m_server->baseUrl() + "/1", pattern(1000), {{"n", 1}});
    QTRY_COMPARE(results.size(), 2);
    QCOMPARE(results, QList<int>({0, 0}));
    QCOMPARE(m_server->requests().size(), 2);
    QVERIFY(m_server->requests().at(1).body == second);
    QCOMPARE(m_server->connectionCount(), 1); // the second request reused the connection
}

void tst_VXCloudCommon::deleteLaterWhileRunning()
{
    m_server->setDefaultReply(misbehave(ScriptedReply::NeverAnswer));
    auto* component = new VXCloudCommon;
    QSignalSpy finished(component, &VXCloudCommon::sglUploadFinished);
    QSignalSpy destroyed(component, &QObject::destroyed);
    connect(component, &VXCloudCommon::sglUploadProgress, component, &QObject::deleteLater);
    component->uploadDataByPut(m_server->baseUrl() + "/a", pattern(8 * 1024 * 1024), {});
    component->sendApiRequest({{"k", "v"}}, "api/x", QString(), 0);
    QVERIFY(destroyed.wait(5000));
    QTest::qWait(200);
    QCOMPARE(finished.count(), 0);
}

void tst_VXCloudCommon::retries_data()
{
    QTest::addColumn<QString>("api"); // empty: a PUT
    QTest::addColumn<QList<ScriptedReply>>("replies");
    QTest::addColumn<int>("expectedCode");
    QTest::addColumn<int>("expectedRequests");

    const ScriptedReply busy = answer(503);
    const ScriptedReply ok = answer(200, "{}", "\"e\"");
    QTest::newRow("PUT 503 then 200") << QString() << QList<ScriptedReply>{busy, ok} << 0 << 2;
    QTest::newRow("PUT closed then 200")
        << QString() << QList<ScriptedReply>{misbehave(ScriptedReply::CloseWithoutAnswer), ok}
        << 0 << 2;
    QTest::newRow("PUT 503 until retries run out")
        << QString() << QList<ScriptedReply>{busy, busy, busy} << 503 << 2;
    QTest::newRow("PUT 403 is final") << QString() << QList<ScriptedReply>{answer(403), ok}
                                      << 403 << 1;
    QTest::newRow("upload URL 429 then 200")
        << "api/bucket/fileuploadurl" << QList<ScriptedReply>{answer(429), ok} << 0 << 2;
    QTest::newRow("multipart start is never repeated")
        << "coscenter/v1/bucket/initmultipart" << QList<ScriptedReply>{busy, ok} << 503 << 1;
}

void tst_VXCloudCommon::retries()
{
    QFETCH(QString, api);
    QFETCH(QList<ScriptedReply>, replies);
    QFETCH(int, expectedCode);
    QFETCH(int, expectedRequests);
    qputenv("VXUPLOAD_RETRIES", "1");
    for (const ScriptedReply& reply : replies)
        m_server->enqueue(reply);

    VXCloudCommon component;
    QSignalSpy putDone(&component, &VXCloudCommon::sglUploadFinished);
    QSignalSpy progress(&component, &VXCloudCommon::sglUploadProgress);
    QSignalSpy apiDone(&component, &VXCloudCommon::sglHttpRequestFinishWithInfo);
    QSignalSpy apiFailed(&component, &VXCloudCommon::sglHttpRequestErrorWithInfo);
    const QByteArray body = pattern(200000);
    if (api.isEmpty())
        component.uploadDataByPut(m_server->baseUrl() + "/obj", body, {});
    else
        component.sendApiRequest({{"k", "v"}}, api, QString(), 0);
    QTRY_COMPARE(putDone.count() + apiDone.count() + apiFailed.count(), 1);

    int code = 0;
    if (!putDone.isEmpty())
        code = putDone.first().at(1).toInt();
    else if (!apiFailed.isEmpty())
        code = apiFailed.first().at(2).toInt();
    QCOMPARE(code, expectedCode);
    QCOMPARE(m_server->requests().size(), expectedRequests);
    if (api.isEmpty())
        QVERIFY(m_server->requests().last().body == body);
    // A repeated attempt never makes the reported progress go back.
    for (int i = 1; i < progress.size(); ++i)
        QVERIFY(progress.at(i).at(1).toInt() > progress.at(i - 1).at(1).toInt());
    QTest::qWait(100);
    QCOMPARE(putDone.count() + apiDone.count() + apiFailed.count(), 1);
}

QTEST_GUILESS_MAIN(tst_VXCloudCommon)
#include "tst_vxcloudcommon.moc"
