// The upload manager as a host meets it, through the plugin loaded with QPluginLoader; the test
// plays server and storage by answering the requests recorded by the doubles (CloudRecorder).
#include "CloudRecorder.h"
#include "IVXFileUpload.h"
#include "VXCloudCommon.h"

#include <QJsonArray>
#include <QPluginLoader>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <functional>

using Params = QMap<QString, QString>;
Q_DECLARE_METATYPE(Params)

namespace {

const QString kSliceLen = QStringLiteral("/PackageInformation/sliceLen");
const QString kUp = QStringLiteral("/HostInformation/cloudHost");
const QString kLow = QStringLiteral("/hostinformation/cloudhost");
// The three server requests, by the short names the test uses for them.
const QMap<QString, QString> kApis{{"url", "api/bucket/fileuploadurl"},
                                   {"init", "coscenter/v1/bucket/initmultipart"},
                                   {"done", "coscenter/v1/bucket/completemultipart"}};

CloudRecorder& rec() { return CloudRecorder::instance(); }

template <typename Map>
Map with(Map map, const Map& more)
{
    for (auto it = more.begin(); it != more.end(); ++it)
        map.insert(it.key(), it.value());
    return map;
}

QString nameOf(const QString& path) { return QFileInfo(path).fileName(); }

// The calls made on the components: "url:", "init:" or "done:" and the job's file name for a
// server request, the URL for a PUT, "abort:" and the URL for an abort.
QString trace()
{
    QStringList steps;
    for (const CloudCall& call : rec().calls)
        steps << (call.op == "stopUploadByUrl" ? "abort:" + call.url
                  : call.api.isEmpty()           ? call.url
                  : kApis.key(call.api) + ':' + nameOf(call.params.value("localPath")));
    return steps.join(' ');
}

// The latest server request `api` ("url", "init" or "done") for the file `name`.
CloudCall request(const QString& name, const QString& api)
{
    CloudCall found;
    for (const CloudCall& call : rec().calls)
        if (call.api == kApis[api] && nameOf(call.params.value("localPath")) == name)
            found = call;
    return found;
}

void answer(const CloudCall& call, const QJsonObject& reply)
{
    emit call.component->sglHttpRequestFinishWithInfo(call.params, call.api, reply, {});
}

void failRequest(const QString& name, const QString& api)
{
    const CloudCall call = request(name, api);
    emit call.component->sglHttpRequestErrorWithInfo(call.params, call.api, 500, "x");
}

void startMultipart(const QString& name)
{
    const QJsonArray urls{"part:" + name + ":1", "part:" + name + ":2", "part:" + name + ":3"};
    const QJsonObject data{{"uploadid", "U-" + name}, {"authorization", "A"}, {"partUrl", urls}};
    answer(request(name, "init"), {{"data", data}});
}

// Ends the part PUT sent last; part n's ETag is "en" in quotes.
void finishPart(int res = 0)
{
    const CloudCall put = rec().callsOf("uploadFileRangeByPut").last();
    QJsonObject info = put.info;
    info["ETag"] = "\"e" + put.url.right(1) + "\"";
    emit put.component->sglUploadFinished(info, res);
}

struct Lifecycle // a row of lifecycle_data()
{
    const char* name;
    qint64 size;
    QString script, report, calls;
};

} // namespace

Q_DECLARE_METATYPE(Lifecycle)

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
    std::unique_ptr<QSignalSpy> m_done;

    void start(const Params& ini = {{kSliceLen, "100"}})
    {
        m_loader.setFileName(qEnvironmentVariable("VXUPLOAD_TEST_PLUGIN_DIR") + "/VXFileUpload");
        rec().reset();
        rec().iniValues = ini;
        m_plugin = qobject_cast<IVXFileUpload*>(m_loader.instance());
        QVERIFY2(m_plugin, qPrintable(m_loader.errorString()));
        m_host.reset(new UploadHost);
        m_done.reset(new QSignalSpy(m_host.get(), &UploadHost::sglUploadFinished));
        m_plugin->initUploadManager(m_host.get());
    }
    // A job for a file `name` of `size` bytes in the test folder (no file when size < 0).
    QJsonObject job(const QString& name, qint64 size = 10, QJsonObject extra = {})
    {
        QFile file(m_dir.filePath(name));
        file.remove();
        if (size >= 0 && file.open(QIODevice::WriteOnly))
            file.resize(size); // sparse: large sizes cost no disk
        extra["localPath"] = file.fileName();
        extra["remotePath"] = extra.value("remotePath").toString("dir/" + name);
        extra["bucketName"] = "bkt";
        return extra;
    }

private slots:
    void cleanup()
    {
        delete m_loader.instance(); // the next test gets a fresh plugin object and manager
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    // The first request of a job, under the configuration read at start.
    void firstRequest_data()
    {
        QTest::addColumn<Params>("ini");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QJsonObject>("extra");
        QTest::addColumn<Params>("expected"); // besides bucket, remotePath, localPath, bucketName
        const Params cos{{kUp, "cos"}};
        const qint64 s = 20971520; // the default slice length
        const QJsonObject bc{{"bc_bcode", "BC"}};
        const Params single{{"path", "dir/f.bin"}, {"uploadMethod", "upload"}, {"bc_bcode", "BC"}};
        const Params multi{{"path", "dir/"}, {"filename", "f.bin"}, {"bc_bcode", "BC"},
                           {"uploadMethod", "sliceUpload"}, {"partcount", "2"}};
        const auto parts = [&](const char* n) { return with(multi, {{"partcount", n}}); };
        const QJsonObject own{{"n", 1}, {"flag", true}, {"s", "x"}, {"uploadMethod", "mine"},
                              {"path", "mine"}, {"bucket", "mine"}, {"filename", "mine"}};
        const Params text{{"n", ""}, {"flag", ""}, {"s", "x"}}; // job keys, never replacing
        QTest::newRow("== sliceLen: single") << cos << s << with(own, bc)
                                             << with(with(single, text), {{"filename", "mine"}});
        QTest::newRow("+1: 2 parts") << cos << s + 1 << with(own, bc) << with(multi, text);
        QTest::newRow("2x: 2 parts") << cos << 2 * s << bc << multi;
        QTest::newRow("2x+1: 3 parts") << cos << 2 * s + 1 << bc << parts("3");
        QTest::newRow("3 GiB: 154 parts") << cos << 3 * 1024ll * 1024 * 1024 << bc << parts("154");
        QTest::newRow("remote path is the name")
            << cos << s + 1 << with(bc, {{"remotePath", "f.bin"}}) << with(multi, {{"path", "/"}});
        QTest::newRow("name longer than remote path")
            << cos << s + 1 << with(bc, {{"remotePath", "a"}}) << with(multi, {{"path", "a"}});
        QTest::newRow("both hosts") << Params{{kUp, "h1"}, {kLow, "h2"}} << s + 1 << bc << multi;
        QTest::newRow("lower-case host") << Params{{kLow, "h2"}} << s + 1 << bc << multi;
        QTest::newRow("sliceLen too long: default")
            << with(cos, {{kSliceLen, "21474837"}}) << 2 * s + 1 << bc << parts("3");
    }
    void firstRequest()
    {
        QFETCH(Params, ini);
        QFETCH(qint64, size);
        QFETCH(QJsonObject, extra);
        QFETCH(Params, expected);
        start(ini);
        const QJsonObject j = job("f.bin", size, extra);
        m_plugin->uploadFileByPost(j);
        const CloudCall call = rec().calls.value(0);
        const bool multi = expected.value("uploadMethod") == "sliceUpload";
        // The multipart start goes to cloudHost, spelt either way; the other has no host.
        const QString host = multi ? ini.value(kUp, ini.value(kLow)) : QString();
        QCOMPARE(QStringList({call.op, call.api, call.host, QString::number(call.flag)}),
                 QStringList({multi ? "sendCosCenterRequest" : "sendApiRequest",
                              kApis[multi ? "init" : "url"], host, "0"}));
        QCOMPARE(call.params, with(expected, {{"bucket", "bkt"}, {"bucketName", "bkt"},
                                              {"remotePath", j["remotePath"].toString()},
                                              {"localPath", j["localPath"].toString()}}));
    }

    // A single upload "a" and a multipart upload "m" side by side, "c" waiting behind them.
    void uploadsComplete()
    {
        start({{kSliceLen, "100"}, {kUp, "cos"}});
        const QJsonObject a = job("a", 10, {{"k", 3}});
        const QJsonObject m = job("m", 250, {{"bc_bcode", "BC"}, {"k", 7}});
        m_plugin->uploadFileByPost(a);
        m_plugin->uploadFileByList(QJsonArray{QJsonObject{{"localPath", 1}}, m, job("c")});
        answer(request("a", "url"),
               {{"data", QJsonObject{{"uploadUrl", "put:a"}, {"downloadUrl", "get:a"}}}});
        const CloudCall put = rec().callsOf("uploadFileByPut").value(0);
        const QJsonObject info = with(a, {{"downloadUrl", "get:a"}});
        QCOMPARE(put.url + ' ' + put.localPath, "put:a " + a["localPath"].toString());
        QSignalSpy progress(m_host.get(), &UploadHost::sglUploadProgress);
        emit put.component->sglUploadProgress(put.info, 42); // relayed as the component gives it

        startMultipart("m");
        const QString path = m["localPath"].toString();
        for (int i = 0; i < 3; ++i)
            finishPart();
        const CloudCall done = request("m", "done");
        QCOMPARE(done.op + ' ' + done.host, "sendCosCenterRequest cos");
        // The slice job JSON as text (the job's keys, "partUrl" empty), with the part list.
        const Params expected{{"uploadid", "U-m"}, {"partUrl", ""}, {"authorization", "A"},
            {"filePath", path}, {"localPath", path}, {"remotePath", "dir/m"}, {"bucket", "bkt"},
            {"bucketName", "bkt"}, {"filename", "m"}, {"path", "dir/"}, {"partcount", "3"},
            {"sliceLen", "100"}, {"bc_bcode", "BC"}, {"k", "7"}, {"pathinfo", "1,e1;2,e2;3,e3"}};
        QCOMPARE(done.params, expected);
        answer(done, {{"success", true},
                      {"data", QJsonObject{{"uploadid", "U-m"}, {"Location", "loc"}}}});
        emit put.component->sglUploadFinished(put.info, 0);
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("^VXUploadByPutManager::slotUp"));
        emit put.component->sglUploadFinished(put.info, 0); // finds no job: only logged
        QCOMPARE(QList<QVariantList>(progress), (QList<QVariantList>{{info, 42}}));
        QCOMPARE(QList<QVariantList>(*m_done),
                 (QList<QVariantList>{{0, with(m, {{"downloadUrl", "loc"}})}, {0, info}}));
        QCOMPARE(trace(), "url:a init:m put:a part:m:1 part:m:2 part:m:3 done:m url:c");
        QTRY_COMPARE(rec().components.size(), 1); // the uploader is released by the event loop
    }

    // [PackageInformation] partsInFlight: how many of a file's three parts go out at once; an
    // unusable value keeps one, with a warning.
    void partsInFlight_data()
    {
        QTest::addColumn<QString>("configured");
        QTest::addColumn<int>("atOnce");
        QTest::addColumn<bool>("warned");
        QTest::newRow("absent: 1") << QString() << 1 << false;
        QTest::newRow("2") << "2" << 2 << false;
        QTest::newRow("16, more than the parts") << "16" << 3 << false;
        QTest::newRow("0") << "0" << 1 << true;
        QTest::newRow("17") << "17" << 1 << true;
        QTest::newRow("x") << "x" << 1 << true;
    }
    void partsInFlight()
    {
        QFETCH(QString, configured);
        QFETCH(int, atOnce);
        QFETCH(bool, warned);
        if (warned) {
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(
                "partsInFlight " + configured + " in .* is not a number from 1 to 16"));
        }
        start({{kSliceLen, "100"}, {"/PackageInformation/partsInFlight", configured}});
        m_plugin->uploadFileByPost(job("m", 250, {{"bc_bcode", "BC"}}));
        startMultipart("m");
        QCOMPARE(rec().callsOf("uploadFileRangeByPut").size(), atOnce);
    }

    // A key holds one place. Submitted again while in flight, the job is uploaded again after
    // the first transfer, with its own report; submitted again while waiting, the waiting job
    // is replaced (one upload, the later object).
    void resubmittedKey()
    {
        start();
        m_plugin->uploadFileByPost(job("j", 10, {{"n", "1"}}));
        m_plugin->uploadFileByPost(job("j", 10, {{"n", "2"}}));
        m_plugin->uploadFileByPost(job("b"));
        m_plugin->uploadFileByPost(job("w", 10, {{"n", "3"}}));
        m_plugin->uploadFileByPost(job("w", 10, {{"n", "4"}}));
        QCOMPARE(trace(), QString("url:j url:b"));
        const QJsonObject putUrl{{"data", QJsonObject{{"uploadUrl", "put:j"}}}};
        answer(request("j", "url"), putUrl);
        const CloudCall put = rec().callsOf("uploadFileByPut").value(0);
        emit put.component->sglUploadFinished(put.info, 0);
        QCOMPARE(trace(), QString("url:j url:b put:j url:j"));
        failRequest("j", "url");
        failRequest("b", "url");
        QCOMPARE(trace(), QString("url:j url:b put:j url:j url:w"));
        QCOMPARE(request("j", "url").params.value("n"), QString("2"));
        QCOMPARE(request("w", "url").params.value("n"), QString("4"));
        QCOMPARE(m_done->size(), 3);
        QCOMPARE(m_done->at(0).at(1).toJsonObject().value("n"), QJsonValue("1"));
        QCOMPARE(m_done->at(1).at(0).toInt(), -1);
    }

    // A completion answer ends the job it was asked for, whatever it echoes or leaves out.
    void completionAnswerEndsItsJob_data()
    {
        QTest::addColumn<QJsonObject>("answer");
        QTest::addColumn<int>("res");
        const QJsonObject other{{"uploadid", "U-other"}, {"Location", "loc"}};
        QTest::newRow("success, another upload id") << QJsonObject{{"success", true},
            {"data", other}} << 0;
        QTest::newRow("success without data") << QJsonObject{{"success", true}} << 0;
        QTest::newRow("refusal without data")
            << QJsonObject{{"success", false}, {"reason", "EntityTooSmall"}} << -1;
    }
    void completionAnswerEndsItsJob()
    {
        QFETCH(QJsonObject, answer);
        QFETCH(int, res);
        start();
        const QJsonObject m = job("m", 250, {{"bc_bcode", "BC"}});
        m_plugin->uploadFileByPost(m);
        startMultipart("m");
        for (int i = 0; i < 3; ++i)
            finishPart();
        if (res != 0)
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("EntityTooSmall"));
        ::answer(request("m", "done"), answer);
        QCOMPARE(m_done->size(), 1);
        QCOMPARE(m_done->at(0).at(0).toInt(), res);
        QJsonObject reported = m_done->at(0).at(1).toJsonObject();
        QCOMPARE(reported.take("downloadUrl").isUndefined(), res != 0);
        QCOMPARE(reported, m);
    }

    // A multipart start answered after its job was stopped starts no transfer.
    void lateStartAnswerStartsNothing()
    {
        start();
        const QJsonObject m = job("m", 250, {{"bc_bcode", "BC"}});
        m_plugin->uploadFileByPost(m);
        m_plugin->stopUploadFileByPost(m);
        startMultipart("m");
        QCOMPARE(trace(), QString("init:m"));
        QCOMPARE(rec().components.size(), 1);
        QCOMPARE(m_done->size(), 0);
    }

    // Only plain files are uploaded: nothing may block on opening a file, nor store an empty
    // object for a file whose size reads 0 but has content. Each fails at once and the next
    // job goes out.
    void onlyPlainFiles_data()
    {
        QTest::addColumn<QString>("path");
        QTest::newRow("FIFO") << "fifo";
        QTest::newRow("directory") << ".";
        QTest::newRow("device") << "/dev/zero";
        QTest::newRow("size 0 with content") << "/proc/self/status";
    }
    void onlyPlainFiles()
    {
        QFETCH(QString, path);
        if (path == "fifo") {
            path = m_dir.filePath("fifo");
            QFile::remove(path);
            QCOMPARE(QProcess::execute("mkfifo", {path}), 0);
        } else if (path == ".") {
            path = m_dir.path();
        }
        start();
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("is not a plain file"));
        m_plugin->uploadFileByPost({{"localPath", path}, {"remotePath", "r"}, {"bucketName", "b"},
                                    {"bc_bcode", "BC"}});
        m_plugin->uploadFileByPost(job("next"));
        QCOMPARE(m_done->size(), 1);
        QCOMPARE(m_done->at(0).at(0).toInt(), -2001);
        QCOMPARE(m_done->at(0).at(1).toJsonObject().value("localPath").toString(), path);
        QCOMPARE(trace(), QString("url:next"));
    }

    // A failed or empty multipart start falls back to the upload-URL request; a failed server
    // request is reported with its parameters as text.
    void failedServerRequests()
    {
        start();
        m_plugin->uploadFileByPost(job("m", 250, {{"bc_bcode", "BC"}}));
        m_plugin->uploadFileByPost(job("n", 250, {{"bc_bcode", "BC"}}));
        failRequest("m", "init");
        answer(request("n", "init"), {{"data", QJsonObject{{"uploadid", ""}}}});
        for (const QString name : {"m", "n"}) {
            const CloudCall url = request(name, "url");
            QCOMPARE(url.op + url.host, QString("sendApiRequest"));
            QCOMPARE(url.params, with(request(name, "init").params,
                                      {{"uploadMethod", "upload"}, {"path", "dir/" + name}}));
        }
        const Params params{{"bucket", "b"}, {"bucketName", "o"}, {"x", "1"}};
        emit rec().components.first()->sglHttpRequestErrorWithInfo(params, kApis["url"], 500, "x");
        const QJsonObject report{{"bucket", "b"}, {"bucketName", "b"}, {"localPath", ""},
                                 {"remotePath", ""}, {"x", "1"}};
        QCOMPARE(QList<QVariantList>(*m_done), (QList<QVariantList>{{-1, report}}));
    }

    // Job "j" of `size` bytes (multipart above 100, none when negative), then "a" and "w" (250
    // bytes, single: no "bc_bcode"). The script drives "j" ("on:<step>": the host's handler takes
    // it inside the first report); "j" is stopped again and "x" submitted: the calls after "|".
    void lifecycle_data()
    {
        QTest::addColumn<Lifecycle>("row");
        const QString put = "url:j url:a put:j ", first = "init:j url:a part:j:1 ";
        const QString aborted = first + "part:j:2 abort:part:j:2 ", fail = "init part part503";
        const QString done = first + "part:j:2 part:j:3 done:j url:w |";
        const QList<Lifecycle> rows{
            // Failures: one report, and the place goes to "w" once.
            {"missing file", -1, "", "-1", "url:a url:w |"},
            {"URL request fails", 10, "fail:url", "-1", "url:j url:a url:w |"},
            {"fallback fails", 250, "fail:init fail:url", "-1", "init:j url:a url:j url:w |"},
            {"PUT fails", 10, "put put503", "503", put + "url:w | abort:put:j"}, // URL kept
            {"slice fails", 250, fail, "503", aborted + "url:w |"},
            {"no slice read", 250, "empty init", "-3001", "init:j url:a url:w |"}, // NoSliceRead
            {"completion fails", 250, "init part part part fail:done", "-1", done},
            {"completion refused", 250, "init part part part refused", "-1", done},
            // Stops: no report; only a job in flight gives a place back.
            {"stop waiting", 10, "stopw submit", "", "url:j url:a | url:n"},
            {"stop, URL requested", 10, "stop put", "", "url:j url:a url:w |"},
            {"stop, PUT in flight", 10, "put stop", "", put + "abort:put:j url:w |"},
            {"stop, slices uploading", 250, "init part stop part", "", aborted + "url:w |"},
            {"stop all", 250, "init stopall submit", "", first + "abort:part:j:1 url:n | url:x"},
            // The host's handler calls back into the plugin from inside the report.
            {"PUT 503: stop it", 10, "on:stop put put503", "503", put + "abort:put:j url:w |"},
            {"PUT 503: stop all", 10, "on:stopall put put503", "503", put + "abort:put:j | url:x"},
            {"PUT 503: submit", 10, "on:submit put put503", "503", put + "url:w | abort:put:j"},
            {"slice 503: stop it", 250, "on:stop " + fail, "503", aborted + "url:w |"},
            {"slice 503: stop all", 250, "on:stopall " + fail, "503", aborted + "| url:x"}};
        for (const Lifecycle& row : rows)
            QTest::newRow(row.name) << row;
    }
    void lifecycle()
    {
        QFETCH(Lifecycle, row);
        start();
        const QJsonObject j = job("j", row.size, {{"bc_bcode", "BC"}}), w = job("w", 250);
        const QString path = j["localPath"].toString();
        const QJsonObject putUrl{{"data", QJsonObject{{"uploadUrl", "put:j"}}}};
        const QJsonObject refusal{{"success", "true"}, {"data", QJsonObject{{"uploadid", "U-j"}}}};
        const QMap<QString, std::function<void()>> steps{
            {"refused", [&] { answer(request("j", "done"), refusal); }},
            {"put", [&] { answer(request("j", "url"), putUrl); }},
            {"put503", [] {
                 const CloudCall put = rec().callsOf("uploadFileByPut").value(0);
                 emit put.component->sglUploadFinished(put.info, 503);
             }},
            {"init", [] { startMultipart("j"); }},
            {"part", [] { finishPart(); }},
            {"part503", [] { finishPart(503); }},
            {"empty", [&] { QFile::resize(path, 0); }},
            {"stop", [&] { m_plugin->stopUploadFileByPost(path, "dir/j", "bkt"); }},
            {"stopw", [&] { m_plugin->stopUploadFileByPost(w); }},
            {"stopall", [&] { m_plugin->stopUploadFile(); }},
            {"submit", [&] { m_plugin->uploadFileByPost(job("n")); }}};
        if (row.size < 0)
            QTest::ignoreMessage(QtCriticalMsg, qPrintable("VXUploadByPutManager::uploadNextFile "
                                 "the file does not exist! \"" + m_dir.path() + '"'));
        m_plugin->uploadFileByList(QJsonArray{j, job("a"), w});
        for (const QString& step : row.script.split(' ', Qt::SkipEmptyParts)) {
            if (step.startsWith("on:"))
                connect(m_host.get(), &UploadHost::sglUploadFinished, this, [&, step] {
                    if (m_done->size() == 1)
                        steps.value(step.mid(3))();
                });
            else if (step.startsWith("fail:")) // a failed server request
                failRequest("j", step.mid(5));
            else
                steps.value(step)();
        }
        QTRY_COMPARE(m_done->size(), row.report.isEmpty() ? 0 : 1);
        QCOMPARE(m_done->value(0).value(0).toString(), row.report);
        const QString before = trace();
        m_plugin->stopUploadFileByPost(j); // a later stop frees nothing a second time
        m_plugin->uploadFileByPost(job("x"));
        QTRY_COMPARE(rec().components.size(), 1); // no slice uploader left
        QCOMPARE(m_done->size(), row.report.isEmpty() ? 0 : 1);
        QCOMPARE(before + " |" + trace().mid(before.size()), row.calls);
    }
};

QTEST_GUILESS_MAIN(tst_VXUploadByPutManager)
#include "tst_vxuploadbyputmanager.moc"
