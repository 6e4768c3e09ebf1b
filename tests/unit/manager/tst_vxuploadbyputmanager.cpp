// The upload manager as a host meets it: the plugin under test is loaded with QPluginLoader and
// driven through IVXFileUpload; the test plays the cloud server and the storage by answering the
// requests recorded by the doubles (CloudRecorder) through the components' signals.
#include "CloudRecorder.h"
#include "IVXFileUpload.h"
#include "VXCloudCommon.h"
#include "VXResultCodes.h"

#include <QJsonArray>
#include <QPluginLoader>
#include <QTemporaryDir>
#include <QtTest>

using Params = QMap<QString, QString>;
Q_DECLARE_METATYPE(Params)

namespace {

const QString kUrlApi = QStringLiteral("api/bucket/fileuploadurl");
const QString kInitApi = QStringLiteral("coscenter/v1/bucket/initmultipart");
const QString kDoneApi = QStringLiteral("coscenter/v1/bucket/completemultipart");
const QString kSliceLen = QStringLiteral("/PackageInformation/sliceLen");

QStringList g_critical;
void captureCritical(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type == QtCriticalMsg)
        g_critical << message;
}

CloudRecorder& rec() { return CloudRecorder::instance(); }

template <typename Map>
Map with(Map map, const Map& more)
{
    for (auto it = more.begin(); it != more.end(); ++it)
        map.insert(it.key(), it.value());
    return map;
}

QStringList urlsOf(const QString& op)
{
    QStringList urls;
    for (const CloudCall& call : rec().callsOf(op))
        urls << call.url;
    return urls;
}

QString nameOf(const QString& path) { return QFileInfo(path).fileName(); }

} // namespace

// The host object handed to initUploadManager: declares the two signals the plugin relays into.
class UploadHost : public QObject
{
    Q_OBJECT
signals:
    void sglUploadFinished(int res, const QJsonObject& jsonInfo);
    void sglUploadProgress(const QJsonObject& jsonInfo, int progress);
};

class tst_VXUploadByPutManager : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QPluginLoader m_loader;
    IVXFileUpload* m_plugin = nullptr;
    std::unique_ptr<UploadHost> m_host;
    std::unique_ptr<QSignalSpy> m_done, m_progress;

    void start(const Params& ini = {{kSliceLen, "100"}})
    {
        rec().reset();
        rec().iniValues = ini;
        g_critical.clear();
        m_plugin = qobject_cast<IVXFileUpload*>(m_loader.instance());
        m_host.reset(new UploadHost);
        m_done.reset(new QSignalSpy(m_host.get(), &UploadHost::sglUploadFinished));
        m_progress.reset(new QSignalSpy(m_host.get(), &UploadHost::sglUploadProgress));
        m_plugin->initUploadManager(m_host.get());
    }
    // A job for a file `name` of `size` bytes in the test folder (no file when size < 0).
    QJsonObject job(const QString& name, qint64 size = 10, QJsonObject extra = {})
    {
        const QString path = m_dir.filePath(name);
        QFile::remove(path);
        QFile file(path);
        if (size >= 0 && file.open(QIODevice::WriteOnly))
            file.resize(size); // sparse: large sizes cost no disk
        extra["localPath"] = path;
        if (!extra.contains("remotePath"))
            extra["remotePath"] = "dir/" + name;
        extra["bucketName"] = "bkt";
        return extra;
    }
    // File names of the jobs whose first request went out, in dispatch order.
    QStringList dispatched() const
    {
        QStringList names;
        for (const CloudCall& call : rec().calls) {
            const QString name = nameOf(call.params.value("localPath"));
            if ((call.api == kUrlApi || call.api == kInitApi) && !names.contains(name))
                names << name;
        }
        return names;
    }
    CloudCall request(const QString& name, const QString& api) const
    {
        for (int i = rec().calls.size() - 1; i >= 0; --i) {
            if (rec().calls.at(i).api == api &&
                nameOf(rec().calls.at(i).params.value("localPath")) == name)
                return rec().calls.at(i);
        }
        return {};
    }
    QList<int> resultsFor(const QString& name) const
    {
        QList<int> results;
        for (const QList<QVariant>& args : *m_done) {
            if (nameOf(args.at(1).toJsonObject().value("localPath").toString()) == name)
                results << args.at(0).toInt();
        }
        return results;
    }
    void answer(const CloudCall& call, const QJsonObject& reply)
    {
        emit call.component->sglHttpRequestFinishWithInfo(call.params, call.api, reply, {});
    }
    void failRequest(const QString& name, const QString& api)
    {
        const CloudCall call = request(name, api);
        emit call.component->sglHttpRequestErrorWithInfo(call.params, api, 500, "x");
    }
    void startPut(const QString& name)
    {
        answer(request(name, kUrlApi), {{"data", QJsonObject{{"uploadUrl", "put:" + name}}}});
    }
    void startMultipart(const QString& name, int urls = 3)
    {
        QJsonArray partUrls;
        for (int i = 1; i <= urls; ++i)
            partUrls.append(QStringLiteral("part:%1:%2").arg(name).arg(i));
        answer(request(name, kInitApi), {{"data", QJsonObject{{"uploadid", "U-" + name},
                                                              {"authorization", "A"},
                                                              {"partUrl", partUrls}}}});
    }
    // Answers the next `count` part PUTs, the last one with `failWith`.
    void finishParts(int count, int failWith = 0)
    {
        for (int i = 0; i < count; ++i) {
            const CloudCall put = rec().callsOf("uploadDataByPut").last();
            QJsonObject info = put.info;
            info["ETag"] = QStringLiteral("\"e%1\"").arg(put.url.right(1));
            emit put.component->sglUploadFinished(info, i == count - 1 ? failWith : 0);
        }
    }

private slots:
    void initTestCase()
    {
        m_loader.setFileName(qEnvironmentVariable("VXUPLOAD_TEST_PLUGIN_DIR") +
                             "/libVXFileUpload.so");
        QVERIFY2(qobject_cast<IVXFileUpload*>(m_loader.instance()),
                 qPrintable(m_loader.errorString()));
    }
    void cleanup()
    {
        qInstallMessageHandler(nullptr);
        delete m_loader.instance(); // the next test gets a fresh plugin object and manager
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        m_host.reset();
        rec().reset();
    }

    void configuration_data()
    {
        QTest::addColumn<Params>("ini");
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("partcount"); // of a file of 2 * 20971520 + 1 bytes
        QTest::addColumn<bool>("lowerCaseRead");
        const QString up = "/HostInformation/cloudHost", low = "/hostinformation/cloudhost";
        QTest::newRow("nothing") << Params{} << "" << "3" << true;
        QTest::newRow("host") << Params{{up, "h1"}, {low, "h2"}} << "h1" << "3" << false;
        QTest::newRow("lower-case host") << Params{{low, "h2"}} << "h2" << "3" << true;
        QTest::newRow("sliceLen 100") << Params{{kSliceLen, "100"}} << "" << "419431" << true;
        QTest::newRow("sliceLen at bound") << Params{{kSliceLen, "21474836"}} << "" << "2" << true;
        for (const char* bad : {"21474837", "0", "-5", "abc", "", "99999999999"})
            QTest::newRow(bad) << Params{{kSliceLen, bad}} << "" << "3" << true;
    }
    void configuration()
    {
        QFETCH(Params, ini);
        QFETCH(QString, host);
        QFETCH(QString, partcount);
        QFETCH(bool, lowerCaseRead);
        start(ini);
        const QString path = QCoreApplication::applicationDirPath() + "/fileUpload.ini|";
        QStringList lookups{path + "/HostInformation/cloudHost"};
        if (lowerCaseRead)
            lookups << path + "/hostinformation/cloudhost";
        QCOMPARE(rec().iniLookups, lookups << path + kSliceLen);

        m_plugin->uploadFileByPost(job("big", 2 * 20971520ll + 1, {{"bc_bcode", "BC"}}));
        QCOMPARE(request("big", kInitApi).host, host);
        QCOMPARE(request("big", kInitApi).params.value("partcount"), partcount);
    }

    void requestParameters_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QJsonObject>("extra");
        QTest::addColumn<QString>("api");
        QTest::addColumn<Params>("expected"); // besides bucket, remotePath, localPath, bucketName
        const qint64 slice = 20971520;
        const QJsonObject bc{{"bc_bcode", "BC"}};
        const Params single{{"path", "dir/f"}, {"uploadMethod", "upload"}};
        const Params multi{{"path", "dir/"}, {"filename", "f"}, {"uploadMethod", "sliceUpload"},
                           {"bc_bcode", "BC"}, {"partcount", "2"}};
        const auto parts = [&](const char* n) { return with(multi, {{"partcount", n}}); };
        QTest::newRow("== sliceLen") << "f" << slice << bc << kUrlApi
                                     << with(single, {{"bc_bcode", "BC"}});
        QTest::newRow("+1") << "f" << slice + 1 << bc << kInitApi << multi;
        QTest::newRow("2x") << "f" << 2 * slice << bc << kInitApi << multi;
        QTest::newRow("2x+1") << "f" << 2 * slice + 1 << bc << kInitApi << parts("3");
        QTest::newRow("3 GiB") << "f" << 3 * 1024ll * 1024 * 1024 << bc << kInitApi
                               << parts("154");
        QTest::newRow("no bc_bcode") << "f" << 2 * slice << QJsonObject{} << kUrlApi << single;
        QTest::newRow("empty bc_bcode") << "f" << 2 * slice << QJsonObject{{"bc_bcode", ""}}
                                        << kUrlApi << with(single, {{"bc_bcode", ""}});
        QTest::newRow("number bc_bcode") << "f" << 2 * slice << QJsonObject{{"bc_bcode", 5}}
                                         << kUrlApi << with(single, {{"bc_bcode", ""}});
        const QJsonObject own{{"n", 1}, {"flag", true}, {"s", "x"}, {"uploadMethod", "mine"},
                              {"path", "mine"}, {"bucket", "mine"}, {"filename", "mine"}};
        const Params ownText{{"n", ""}, {"flag", ""}, {"s", "x"}};
        QTest::newRow("job keys: text, never replacing") << "f" << 10ll << own << kUrlApi
            << with(with(single, ownText), {{"filename", "mine"}});
        QTest::newRow("job keys, multipart") << "f" << slice + 1 << with(own, bc) << kInitApi
                                             << with(multi, ownText);
        QTest::newRow("remote path is the name") << "report.pdf" << slice + 1
            << with(bc, {{"remotePath", "report.pdf"}}) << kInitApi
            << with(multi, {{"path", "/"}, {"filename", "report.pdf"}});
        QTest::newRow("name longer than remote path") << "report.pdf" << slice + 1
            << with(bc, {{"remotePath", "a.pdf"}}) << kInitApi
            << with(multi, {{"path", "a.pdf"}, {"filename", "report.pdf"}});
    }
    void requestParameters()
    {
        QFETCH(QString, name);
        QFETCH(qint64, size);
        QFETCH(QJsonObject, extra);
        QFETCH(QString, api);
        QFETCH(Params, expected);
        start({{"/HostInformation/cloudHost", "cos.test"}});
        const QJsonObject j = job(name, size, extra);
        m_plugin->uploadFileByPost(j);

        QCOMPARE(rec().calls.size(), 1);
        const CloudCall call = rec().calls.first();
        QCOMPARE(call.op, api == kUrlApi ? "sendApiRequest" : "sendCosCenterRequest");
        QCOMPARE(call.api, api);
        QCOMPARE(call.host, api == kUrlApi ? QString() : QString("cos.test"));
        QCOMPARE(call.flag, 0);
        QCOMPARE(call.params, with(expected, {{"bucket", "bkt"}, {"bucketName", "bkt"},
                                              {"remotePath", j["remotePath"].toString()},
                                              {"localPath", j["localPath"].toString()}}));
    }

    void failureReportPayload_data()
    {
        QTest::addColumn<Params>("params");
        QTest::addColumn<QJsonObject>("expected");
        QTest::newRow("four") << Params{{"bucket", "b"}, {"path", "p"}, {"remotePath", "r"},
                                        {"localPath", "l"}}
                              << QJsonObject{{"bucket", "b"}, {"bucketName", "b"}, {"path", "p"},
                                             {"localPath", "l"}, {"remotePath", "r"}};
        QTest::newRow("no bucket, own bucketName") << Params{{"bucketName", "o"}, {"x", "1"}}
            << QJsonObject{{"bucketName", ""}, {"localPath", ""}, {"remotePath", ""}, {"x", "1"}};
    }
    void failureReportPayload()
    {
        QFETCH(Params, params);
        QFETCH(QJsonObject, expected);
        start();
        emit rec().components.first()->sglHttpRequestErrorWithInfo(params, kUrlApi, 500, "x");
        QCOMPARE(m_done->size(), 1);
        QCOMPARE(m_done->at(0), (QList<QVariant>{-1, expected}));
    }

    void singleUpload_data()
    {
        QTest::addColumn<QJsonObject>("reply");
        QTest::addColumn<QString>("url");
        QTest::addColumn<QJsonValue>("downloadUrl");
        QTest::newRow("both") << QJsonObject{{"data", QJsonObject{{"uploadUrl", "put:a"},
                                                                  {"downloadUrl", "get:a"}}}}
                              << "put:a" << QJsonValue("get:a");
        QTest::newRow("no downloadUrl") << QJsonObject{{"data", QJsonObject{{"uploadUrl", "u"}}}}
                                        << "u" << QJsonValue(QJsonValue::Null);
        QTest::newRow("no data") << QJsonObject{} << "" << QJsonValue(QJsonValue::Null);
    }
    void singleUpload()
    {
        QFETCH(QJsonObject, reply);
        QFETCH(QString, url);
        QFETCH(QJsonValue, downloadUrl);
        start();
        const QJsonObject a = job("a", 10, {{"k", 3}}), b = job("b");
        m_plugin->uploadFile(a); // without the SDK uploader the same road as uploadFileByPost
        m_plugin->uploadFileByList(QVector<QVariant>{b.toVariantMap(), 5});
        m_plugin->uploadFileByList(QJsonArray{QJsonObject{{"localPath", 1}}, job("c")});
        QCOMPARE(dispatched(), QStringList({"a", "b"}));
        answer(request("a", kUrlApi), reply);

        const CloudCall put = rec().callsOf("uploadFileByPut").value(0);
        const QJsonObject info = with(a, {{"downloadUrl", downloadUrl}});
        QCOMPARE(put.url, url);
        QCOMPARE(put.localPath, a["localPath"].toString());
        QCOMPARE(put.info, info);
        emit put.component->sglUploadProgress(info, 42);
        emit put.component->sglUploadProgress(with(b, {{"slice_mark", "x"}}), 1);
        emit put.component->sglUploadFinished(with(b, {{"slice_mark", "x"}}), 0);
        emit put.component->sglUploadFinished(info, 0);
        QCOMPARE(m_progress->size(), 1);
        QCOMPARE(m_progress->at(0), (QList<QVariant>{info, 42}));
        QCOMPARE(m_done->size(), 1);
        QCOMPARE(m_done->at(0), (QList<QVariant>{0, info}));
        QCOMPARE(dispatched(), QStringList({"a", "b", "c"}));

        qInstallMessageHandler(captureCritical); // a job no longer known: only logged
        emit put.component->sglUploadFinished(info, 0);
        emit put.component->sglUploadProgress(info, 50);
        QCOMPARE(m_done->size() + m_progress->size(), 2);
        const QString key = m_dir.path() + "/%1|dir/%1|bkt";
        QCOMPARE(g_critical, QStringList{"VXUploadByPutManager::slotUploadFinished \"" +
                                         key.arg("a") + "\" (\"" + key.arg("b") + "\", \"" +
                                         key.arg("c") + "\")"});
    }

    void multipartUpload_data()
    {
        QTest::addColumn<QJsonValue>("success");
        QTest::addColumn<QJsonValue>("location");
        QTest::addColumn<int>("res");
        QTest::addColumn<QJsonValue>("downloadUrl"); // Undefined: no "downloadUrl" reported
        QTest::newRow("stored") << QJsonValue(true) << QJsonValue("loc") << 0 << QJsonValue("loc");
        QTest::newRow("no Location") << QJsonValue(true) << QJsonValue() << 0 << QJsonValue("");
        QTest::newRow("success as text") << QJsonValue("true") << QJsonValue("loc") << -1
                                         << QJsonValue(QJsonValue::Undefined);
    }
    void multipartUpload()
    {
        QFETCH(QJsonValue, success);
        QFETCH(QJsonValue, location);
        QFETCH(int, res);
        QFETCH(QJsonValue, downloadUrl);
        start({{kSliceLen, "100"}, {"/HostInformation/cloudHost", "cos"}});
        const QJsonObject m = job("m", 250, {{"bc_bcode", "BC"}, {"k", 7}});
        m_plugin->uploadFileByPost(m);
        startMultipart("m");

        const QString path = m["localPath"].toString();
        const QJsonObject sliceJob{
            {"uploadid", "U-m"}, {"partUrl", QJsonArray{"part:m:1", "part:m:2", "part:m:3"}},
            {"filePath", path}, {"bucketName", "bkt"}, {"remotePath", "dir/m"},
            {"localPath", path}, {"authorization", "A"}, {"bucket", "bkt"}, {"filename", "m"},
            {"path", "dir/"}, {"partcount", "3"}, {"sliceLen", "100"}, {"bc_bcode", "BC"},
            {"k", 7}};
        const CloudCall firstPut = rec().callsOf("uploadDataByPut").first();
        QCOMPARE(firstPut.info, with(sliceJob, {{"slice_mark", "part:m:1"}}));
        emit firstPut.component->sglUploadProgress(firstPut.info, 50); // 50 of 250 bytes
        QCOMPARE(m_progress->size(), 1);
        QCOMPARE(m_progress->at(0), (QList<QVariant>{sliceJob, 20}));

        finishParts(3);
        const CloudCall done = request("m", kDoneApi);
        QCOMPARE(done.host, QString("cos"));
        Params expected;
        for (auto it = sliceJob.begin(); it != sliceJob.end(); ++it)
            expected[it.key()] = it.value().toVariant().toString();
        QCOMPARE(done.params, with(expected, {{"partUrl", ""}, {"k", "7"},
                                              {"pathinfo", "1,e1;2,e2;3,e3"}}));
        QCOMPARE(m_done->size(), 0);
        QJsonObject data{{"uploadid", "U-m"}};
        if (!location.isNull())
            data["Location"] = location;
        answer(done, {{"success", success}, {"data", data}});
        QCOMPARE(m_done->size(), 1);
        QCOMPARE(m_done->at(0), (QList<QVariant>{res, with(m, {{"downloadUrl", downloadUrl}})}));
        QCOMPARE(rec().components.size(), 2);
        QTRY_COMPARE(rec().components.size(), 1); // the uploader is released by the event loop
    }

    void multipartFallsBackToSingle()
    {
        start();
        m_plugin->uploadFileByPost(job("m", 250, {{"bc_bcode", "BC"}}));
        m_plugin->uploadFileByPost(job("n", 250, {{"bc_bcode", "BC"}}));
        failRequest("m", kInitApi);
        answer(request("n", kInitApi), {{"data", QJsonObject{{"uploadid", ""}}}});
        for (const QString name : {"m", "n"}) {
            const CloudCall url = request(name, kUrlApi);
            QCOMPARE(url.op + url.host, QString("sendApiRequest"));
            QCOMPARE(url.params, with(request(name, kInitApi).params,
                                      {{"uploadMethod", "upload"}, {"path", "dir/" + name}}));
        }
        QCOMPARE(m_done->size(), 0);
    }

    void failuresCloseTheJobOnce_data()
    {
        QTest::addColumn<QString>("road");
        QTest::addColumn<int>("res");
        for (const char* road : {"missing file", "URL request fails", "fallback URL request fails",
                                 "completion request fails", "completion refused"})
            QTest::newRow(road) << road << -1;
        QTest::newRow("PUT fails") << "PUT fails" << 503;
        QTest::newRow("slice fails") << "slice fails" << 503;
        QTest::newRow("no slice read") << "no slice read" << int(VXResult::NoSliceRead);
        QTest::newRow("too few part URLs") << "too few URLs" << int(VXResult::TooFewPartUrls);
    }
    void failuresCloseTheJobOnce()
    {
        QFETCH(QString, road);
        QFETCH(int, res);
        start();
        const bool single = road == "URL request fails" || road == "PUT fails";
        const QJsonObject j = job("j", road == "missing file" ? -1 : single ? 10 : 250,
                                  {{"bc_bcode", "BC"}});
        qInstallMessageHandler(captureCritical);
        for (const QJsonObject& each : {j, job("a"), job("w")})
            m_plugin->uploadFileByPost(each);
        qInstallMessageHandler(nullptr);
        if (road == "missing file") {
            QCOMPARE(g_critical, QStringList{"VXUploadByPutManager::uploadNextFile the file does "
                                             "not exist! \"" + m_dir.path() + "\""});
            QCOMPARE(m_done->at(0).at(1).toJsonObject(),
                     (QJsonObject{{"bucket", "bkt"}, {"bucketName", "bkt"}, {"path", "dir/j"},
                                  {"localPath", j["localPath"]}, {"remotePath", "dir/j"}}));
        } else if (road == "URL request fails") {
            failRequest("j", kUrlApi);
        } else if (road == "fallback URL request fails") {
            failRequest("j", kInitApi);
            failRequest("j", kUrlApi);
        } else if (road == "PUT fails") {
            startPut("j");
            const CloudCall put = rec().callsOf("uploadFileByPut").first();
            emit put.component->sglUploadFinished(put.info, 503);
        } else if (road == "no slice read") {
            QFile::resize(j["localPath"].toString(), 0);
            startMultipart("j");
        } else if (road == "too few URLs") {
            startMultipart("j", 2);
        } else {
            startMultipart("j");
            finishParts(3, road == "slice fails" ? 503 : 0);
            if (road == "completion request fails")
                failRequest("j", kDoneApi);
            else if (road == "completion refused")
                answer(request("j", kDoneApi),
                       {{"success", false}, {"data", QJsonObject{{"uploadid", "U-j"}}}});
        }
        QTRY_COMPARE(resultsFor("j"), QList<int>{res});
        const QStringList expected = road == "missing file" ? QStringList{"a", "w"}
                                                            : QStringList{"j", "a", "w"};
        QCOMPARE(dispatched(), expected); // the place went to "w"
        m_plugin->stopUploadFileByPost(j); // and is not freed a second time
        m_plugin->uploadFileByPost(job("x"));
        QCOMPARE(dispatched(), expected);
        QTRY_COMPARE(rec().components.size(), 1); // no slice uploader left
        QCOMPARE(resultsFor("j").size(), 1);
    }

    void stopInEveryPhase_data()
    {
        QTest::addColumn<QString>("phase");
        QTest::addColumn<QStringList>("aborted"); // URLs handed to stopUploadByUrl
        QTest::addColumn<int>("partPuts");
        const QStringList none;
        QTest::newRow("waiting") << "waiting" << none << 0;
        QTest::newRow("upload URL requested") << "url requested" << none << 0;
        QTest::newRow("PUT in flight") << "PUT" << QStringList{"put:j"} << 0;
        QTest::newRow("multipart start requested") << "start requested" << none << 0;
        QTest::newRow("slices uploading") << "slices" << QStringList{"part:j:2"} << 2;
        QTest::newRow("completion requested") << "completion requested" << none << 3;
    }
    void stopInEveryPhase()
    {
        QFETCH(QString, phase);
        QFETCH(QStringList, aborted);
        QFETCH(int, partPuts);
        start();
        const bool multipart = phase.startsWith("s") || phase.startsWith("c");
        const QJsonObject j = job("j", multipart ? 250 : 10, {{"bc_bcode", "BC"}});
        const QList<QJsonObject> jobs = phase == "waiting"
            ? QList<QJsonObject>{job("a"), job("b"), j, job("w")}
            : QList<QJsonObject>{j, job("a"), job("w")};
        for (const QJsonObject& each : jobs)
            m_plugin->uploadFileByPost(each);
        if (phase == "PUT")
            startPut("j");
        if (partPuts > 0) {
            startMultipart("j");
            finishParts(phase == "slices" ? 1 : 3);
        }
        const QStringList expected = phase == "waiting" ? QStringList{"a", "b"}
                                                        : QStringList{"j", "a", "w"};

        m_plugin->stopUploadFileByPost("", "dir/j", "bkt"); // an empty value: nothing at all
        QCOMPARE(dispatched().size(), 2);
        m_plugin->stopUploadFileByPost(j["localPath"].toString(), "dir/j", "bkt");
        QCOMPARE(urlsOf("stopUploadByUrl"), aborted);
        QCOMPARE(dispatched(), expected);
        m_plugin->stopUploadFileByPost(j); // a second stop frees nothing
        m_plugin->uploadFileByPost(job("x"));
        QCOMPARE(dispatched(), expected);
        if (phase == "waiting") { // off the queue: the next place goes to "w"
            m_plugin->stopUploadFileByPost(job("a"));
            QCOMPARE(dispatched(), QStringList({"a", "b", "w"}));
        }

        // Late answers for the stopped job start nothing and reach the host as nothing.
        qInstallMessageHandler(captureCritical);
        if (phase == "url requested")
            startPut("j");
        if (phase == "completion requested")
            answer(request("j", kDoneApi),
                   {{"success", true}, {"data", QJsonObject{{"uploadid", "U-j"}}}});
        if (phase == "slices")
            finishParts(1);
        qInstallMessageHandler(nullptr);
        QCOMPARE(rec().callsOf("uploadFileByPut").size(), phase == "PUT" ? 1 : 0);
        QCOMPARE(rec().callsOf("uploadDataByPut").size(), partPuts);
        QTRY_COMPARE(rec().components.size(), 1);
        QCOMPARE(resultsFor("j"), QList<int>{});
        QCOMPARE(g_critical.size(), phase == "completion requested" ? 1 : 0);
    }

    void handlersCallBackIntoThePlugin_data()
    {
        QTest::addColumn<bool>("multipart"); // "j" ends by a failed slice, else by its PUT
        QTest::addColumn<QString>("action");
        QTest::addColumn<QStringList>("dispatchedAfter"); // "x" is submitted last, by the test
        const QStringList rows{"stop reported job", "stop all", "submit new job",
                               "stop other job", "resubmit reported job"};
        const QList<QStringList> expected{{"j", "a", "w1"}, {"j", "a", "x"}, {"j", "a", "w1"},
                                          {"j", "a", "w1", "w2"}, {"j", "a", "w1"}};
        for (const bool multipart : {false, true}) {
            for (int i = 0; i < rows.size(); ++i)
                QTest::newRow(qPrintable((multipart ? "slice failure, " : "PUT done, ") + rows[i]))
                    << multipart << rows[i] << expected[i];
        }
    }
    void handlersCallBackIntoThePlugin()
    {
        QFETCH(bool, multipart);
        QFETCH(QString, action);
        QFETCH(QStringList, dispatchedAfter);
        start();
        const QJsonObject j = job("j", multipart ? 250 : 10, {{"bc_bcode", "BC"}});
        for (const QJsonObject& each : {j, job("a"), job("w1"), job("w2")})
            m_plugin->uploadFileByPost(each);
        int calls = 0;
        connect(m_host.get(), &UploadHost::sglUploadFinished, this, [&] {
            if (calls++ > 0)
                return;
            if (action == "stop reported job")
                m_plugin->stopUploadFileByPost(j);
            else if (action == "stop all")
                m_plugin->stopUploadFile();
            else if (action == "submit new job")
                m_plugin->uploadFileByPost(job("n"));
            else if (action == "stop other job")
                m_plugin->stopUploadFileByPost(job("a"));
            else
                m_plugin->uploadFileByPost(j);
        });
        if (multipart) {
            startMultipart("j");
            finishParts(2, 503);
        } else {
            startPut("j");
            const CloudCall put = rec().callsOf("uploadFileByPut").first();
            emit put.component->sglUploadFinished(put.info, 0);
        }
        QCOMPARE(calls, 1);
        m_plugin->uploadFileByPost(job("x"));
        QCOMPARE(dispatched(), dispatchedAfter);
        QTRY_COMPARE(rec().components.size(), 1);
        m_plugin->stopUploadFile(); // and the places are all given back
        m_plugin->uploadFileByPost(job("y"));
        m_plugin->uploadFileByPost(job("z"));
        QCOMPARE(dispatched().mid(dispatchedAfter.size()), QStringList({"y", "z"}));
    }

    void resubmittedKeyWaitsForItsTransfer()
    {
        // A key holds one place at most: the second submission waits for the first transfer,
        // whose end takes the job out of the table, so the second then ends as an empty job.
        start();
        const QJsonObject a = job("a");
        m_plugin->uploadFileByPost(a);
        m_plugin->uploadFileByPost(with(a, {{"k", 2}}));
        m_plugin->uploadFileByPost(job("b"));
        QCOMPARE(rec().calls.size(), 2); // the second "a" waits although a place was free
        startPut("a");
        const CloudCall put = rec().callsOf("uploadFileByPut").first();
        QCOMPARE(put.info.value("k").toInt(), 2);
        qInstallMessageHandler(captureCritical);
        emit put.component->sglUploadFinished(put.info, 0);
        QCOMPARE(resultsFor("a"), QList<int>{0});
        const QJsonObject empty{{"bucket", ""}, {"bucketName", ""}, {"localPath", ""},
                                {"path", ""}, {"remotePath", ""}};
        QCOMPARE(m_done->at(1), (QList<QVariant>{-1, empty}));
        m_plugin->uploadFileByPost(job("c"));
        QCOMPARE(dispatched(), QStringList({"a", "b", "c"}));
    }

    void componentAnsweringInsideItsCalls()
    {
        // Upload URL requests fail, and aborted PUTs report, from inside the call itself.
        start();
        rec().onCall = [](const CloudCall& call) {
            if (call.op == "sendApiRequest" && call.params.value("localPath").endsWith("f"))
                emit call.component->sglHttpRequestErrorWithInfo(call.params, call.api, 500, "");
            if (call.op == "stopUploadByUrl") {
                const CloudCall put = rec().callsOf("uploadFileByPut").first();
                emit put.component->sglUploadFinished(put.info, 7);
            }
        };
        m_plugin->uploadFileByList(QJsonArray{job("f"), job("ff"), job("a"), job("fff")});
        QCOMPARE(m_done->size(), 3);
        QCOMPARE(dispatched(), QStringList({"f", "ff", "a", "fff"}));
        startPut("a");
        qInstallMessageHandler(captureCritical);
        m_plugin->stopUploadFileByPost(job("a"));
        QCOMPARE(g_critical.size(), 1); // the abort report found no job
        QCOMPARE(resultsFor("a"), QList<int>{});
        rec().onCall = nullptr;
        m_plugin->uploadFileByPost(job("x"));
        m_plugin->uploadFileByPost(job("y"));
        QCOMPARE(dispatched().mid(4), QStringList({"x", "y"}));
    }

    void stopAllAbortsEveryUrlInKeyOrder()
    {
        start();
        for (const QString name : {"b", "a"}) {
            m_plugin->uploadFileByPost(job(name));
            startPut(name);
        }
        m_plugin->uploadFileByPost(job("m", 250, {{"bc_bcode", "BC"}}));
        const CloudCall putB = rec().callsOf("uploadFileByPut").first();
        emit putB.component->sglUploadFinished(putB.info, 0); // b ends; its URL stays known
        startMultipart("m");
        m_plugin->uploadFileByPost(job("w"));

        m_plugin->stopUploadFileList();
        QCOMPARE(urlsOf("stopUploadByUrl"), QStringList({"put:a", "put:b", "part:m:1"}));
        QTRY_COMPARE(rec().components.size(), 1);
        m_plugin->uploadFileByPost(job("x"));
        m_plugin->uploadFileByPost(job("y"));
        QCOMPARE(dispatched(), QStringList({"b", "a", "m", "x", "y"}));
    }
};

QTEST_GUILESS_MAIN(tst_VXUploadByPutManager)
#include "tst_vxuploadbyputmanager.moc"
