// The plugin as a host meets it: loaded with QPluginLoader, cast to IVXFileUpload, driven through
// its interface. The plugin under test is linked against the recording doubles (CloudRecorder):
// the test plays server and storage by answering the recorded requests. The SDK uploader is the
// recording test sibling (FakeSdkUploader). Failures and stops as the real server and storage
// produce them are the fault matrix's (tests/faults); the upload rows here check what it cannot
// see: the requests' parameters, places, released uploaders, re-entry.
#include "CloudRecorder.h"
#include "IVXCloudCommon.h"
#include "IVXFileUpload.h"
#include "IVXFileUploadBySdk.h"
#include "VXCloudCommon.h"
#include "VXHostRelay.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QMetaEnum>
#include <QPluginLoader>
#include <QPointer>
#include <QTemporaryDir>
#include <QtTest>

#include <climits>
#include <cstring>

using Params = QMap<QString, QString>;
Q_DECLARE_METATYPE(Params)

namespace Lifecycle {
Q_NAMESPACE
// What the server, the storage or the host does next in the life of job "j".
enum class Step {
    None,
    AnswerUrl,   // the upload-URL request gets "put:j"
    AnswerStart, // the multipart start gets the part URLs "part:j:1" to "part:j:3"
    FinishPart,  // the part sent last is stored
    FailPart,    // the part sent last gets 503
    FailPut,     // the single PUT gets 503
    RefuseDone,  // the completion answer's "success" is the text "true", not true
    Stop,        // the host stops j
    StopWaiting, // the host stops "w", which waits
    StopAll,     // the host stops every job
    Submit       // the host submits a new job "n"
};
Q_ENUM_NS(Step)
} // namespace Lifecycle

using Lifecycle::Step;

namespace {

constexpr int kNoReport = INT_MIN;
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
QStringList trace()
{
    QStringList steps;
    for (const CloudCall& call : rec().calls)
        steps << (call.op == "stopUploadByUrl" ? "abort:" + call.url
                  : call.api.isEmpty()           ? call.url
                  : kApis.key(call.api) + ':' + nameOf(call.params.value("localPath")));
    return steps;
}

// Call lists compared in full: a difference shows both.
#define COMPARE_CALLS(actual, expected)                                                           \
    QVERIFY2((actual) == (expected), qPrintable("\n   calls:    " + (actual).join(' ')            \
                                                + "\n   expected: " + (expected).join(' ')))

// The latest server request `api` ("url", "init" or "done") for the file `name`.
CloudCall request(const QString& name, const QString& api)
{
    CloudCall found;
    for (const CloudCall& call : rec().calls)
        if (call.api == kApis[api] && nameOf(call.params.value("localPath")) == name)
            found = call;
    return found;
}

// Each of these returns false when there is no such request to answer.
bool answer(const CloudCall& call, const QJsonObject& reply, bool ok = true)
{
    if (call.component && ok)
        emit call.component->sglHttpRequestFinishWithInfo(call.params, call.api, reply, {});
    else if (call.component)
        emit call.component->sglHttpRequestErrorWithInfo(call.params, call.api, 500, "x");
    return call.component;
}

bool startMultipart(const QString& name)
{
    const QJsonArray urls{"part:" + name + ":1", "part:" + name + ":2", "part:" + name + ":3"};
    const QJsonObject data{{"uploadid", "U-" + name}, {"authorization", "A"}, {"partUrl", urls}};
    return answer(request(name, "init"), {{"data", data}});
}

// Ends the PUT `op` sent last; part n's ETag is "en" in quotes.
bool finishPut(const QString& op, int res)
{
    const CloudCall put = rec().callsOf(op).value(rec().callsOf(op).size() - 1);
    QJsonObject info = put.info;
    info["ETag"] = "\"e" + put.url.right(1) + "\"";
    if (put.component)
        emit put.component->sglUploadFinished(info, res);
    return put.component;
}

// Itanium C++ ABI: a pointer to a virtual member function holds 1 + the byte offset of its slot.
template <typename Pmf>
int slotOf(Pmf pmf)
{
    static_assert(sizeof(Pmf) == 2 * sizeof(std::ptrdiff_t), "Itanium member pointer expected");
    std::ptrdiff_t raw[2];
    std::memcpy(raw, &pmf, sizeof raw);
    return raw[0] & 1 ? int((raw[0] - 1) / std::ptrdiff_t(sizeof(void*))) : -1;
}

template <typename... Pmf>
QList<int> slotsOf(Pmf... pmf)
{
    return {slotOf(pmf)...};
}

const QString kPutUrl = QStringLiteral("http://storage.test/put/a.bin");

// What a routed operation is called with: a new job "b", or the stop of the job in flight.
struct Call
{
    IVXFileUpload* upload;
    QJsonObject job;
    QStringList stop; // localPath, remotePath, bucketName
    QJsonObject stopJob;
};

// What the upload manager does: sends the new job's upload-URL request, or aborts the PUT of the
// job in flight.
enum Effect { Submit, Stop };

const struct Route
{
    const char* name;
    const char* sdkCall; // what the SDK uploader receives instead; empty: it never serves it
    Effect managerEffect;
    void (*invoke)(const Call&);
} kRoutes[] = {
    {"uploadFile", "uploadFile(@job)", Submit, [](const Call& c) { c.upload->uploadFile(c.job); }},
    {"stopUploadFile(3)", "cancelUploadingFile(@stop)", Stop,
     [](const Call& c) { c.upload->stopUploadFile(c.stop[0], c.stop[1], c.stop[2]); }},
    {"stopUploadFile()", "stopUploadFile()", Stop,
     [](const Call& c) { c.upload->stopUploadFile(); }},
    {"cancelUploadingFile", "cancelUploadingFile(@stop)", Stop,
     [](const Call& c) { c.upload->cancelUploadingFile(c.stop[0], c.stop[1], c.stop[2]); }},
    {"uploadFileByList(vector)", "uploadFileByList([@job])", Submit,
     [](const Call& c) { c.upload->uploadFileByList(QVector<QVariant>{c.job.toVariantMap()}); }},
    {"uploadFileByList(array)", "uploadFileByList([@job])", Submit,
     [](const Call& c) { c.upload->uploadFileByList(QJsonArray{c.job}); }},
    {"stopUploadFileList", "stopUploadFileList()", Stop,
     [](const Call& c) { c.upload->stopUploadFileList(); }},
    {"uploadFileByPost", "", Submit, [](const Call& c) { c.upload->uploadFileByPost(c.job); }},
    {"stopUploadFileByPost(3)", "", Stop,
     [](const Call& c) { c.upload->stopUploadFileByPost(c.stop[0], c.stop[1], c.stop[2]); }},
    {"stopUploadFileByPost(json)", "", Stop,
     [](const Call& c) { c.upload->stopUploadFileByPost(c.stopJob); }}};

// The life of job "j" (of `size` bytes: in three parts above 100) submitted in one list with
// "a" and "w", single uploads; two jobs are in flight at most.
struct Row
{
    qint64 size;
    QVector<Step> steps;    // in order
    Step inReport;          // what the host's handler does inside j's report
    int report;             // j's result code; kNoReport: none
    QStringList calls;      // the calls on the components meanwhile, as trace() gives them
    QStringList afterwards; // once j is stopped again (which frees nothing) and "x" submitted
};

} // namespace

Q_DECLARE_METATYPE(Row)

class tst_VXFileUpload : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QPluginLoader m_sdkLoader;
    QPluginLoader m_loader;
    QPointer<QObject> m_root; // the plugin object
    IVXFileUpload* m_plugin = nullptr;
    std::unique_ptr<VXHostRelay> m_host;
    std::unique_ptr<QSignalSpy> m_done;

    QObject* sdk() { return m_sdkLoader.instance(); }
    QStringList sdkCalls() { return sdk()->property("calls").toStringList(); }
    // A fresh plugin object, which finds `sibling` as its SDK uploader (none when null).
    void load(QObject* sibling = nullptr, const Params& ini = {{kSliceLen, "100"}})
    {
        rec().reset();
        rec().iniValues = ini;
        rec().libraries.insert("VXFileUploadBySdk", sibling);
        sdk()->setProperty("calls", QStringList());
        m_root = m_loader.instance();
        m_plugin = qobject_cast<IVXFileUpload*>(m_root);
        QVERIFY2(m_plugin, qPrintable(m_loader.errorString()));
    }
    // ... handed a host object, whose final reports m_done records.
    void start(const Params& ini = {{kSliceLen, "100"}}, QObject* sibling = nullptr)
    {
        load(sibling, ini);
        m_host.reset(new VXHostRelay);
        m_done.reset(new QSignalSpy(m_host.get(), &VXHostRelay::sglUploadFinished));
        m_plugin->initUploadManager(m_host.get());
    }
    // A job for a file `name` of `size` bytes in the test folder.
    QJsonObject job(const QString& name, qint64 size = 10, QJsonObject extra = {})
    {
        QFile file(m_dir.filePath(name));
        if (file.open(QIODevice::WriteOnly))
            file.resize(size); // sparse: large sizes cost no disk
        extra["localPath"] = file.fileName();
        extra["remotePath"] = extra.value("remotePath").toString("dir/" + name);
        extra["bucketName"] = "bkt";
        return extra;
    }
    void live(const Row& row)
    {
        start();
        const QJsonObject j = job("j", row.size, {{"bc_bcode", "BC"}}), w = job("w", 250);
        const QJsonObject url{{"data", QJsonObject{{"uploadUrl", "put:j"}}}};
        const QString part = "uploadFileRangeByPut";
        const QMap<Step, std::function<bool()>> act{
            {Step::None, [] { return true; }},
            {Step::AnswerUrl, [&] { return answer(request("j", "url"), url); }},
            {Step::AnswerStart, [] { return startMultipart("j"); }},
            {Step::FinishPart, [&] { return finishPut(part, 0); }},
            {Step::FailPart, [&] { return finishPut(part, 503); }},
            {Step::FailPut, [] { return finishPut("uploadFileByPut", 503); }},
            {Step::RefuseDone, [] { return answer(request("j", "done"), {{"success", "true"}}); }},
            {Step::Stop, [&] { return m_plugin->stopUploadFileByPost(j["localPath"].toString(),
                                                                     "dir/j", "bkt"), true; }},
            {Step::StopWaiting, [&] { return m_plugin->stopUploadFileByPost(w), true; }},
            {Step::StopAll, [&] { return m_plugin->stopUploadFile(), true; }},
            {Step::Submit, [&] { return m_plugin->uploadFileByPost(job("n")), true; }}};
        const auto name = [](Step s) { return QMetaEnum::fromType<Step>().valueToKey(int(s)); };
        QObject handler; // the host's handler of j's report, for this row only
        connect(m_host.get(), &VXHostRelay::sglUploadFinished, &handler, [&] {
            if (m_done->size() == 1)
                QVERIFY2(act[row.inReport](), name(row.inReport));
        });
        m_plugin->uploadFileByList(QJsonArray{j, job("a"), w});
        for (const Step step : row.steps)
            QVERIFY2(act[step](), name(step)); // false: nothing to answer
        QTRY_COMPARE(m_done->size(), row.report == kNoReport ? 0 : 1);
        if (row.report != kNoReport)
            QCOMPARE(m_done->at(0).at(0).toInt(), row.report);
        COMPARE_CALLS(trace(), row.calls);
        const int before = rec().calls.size();
        m_plugin->stopUploadFileByPost(j);
        m_plugin->uploadFileByPost(job("x"));
        QTRY_VERIFY2(rec().components.size() == 1, "a slice uploader is left");
        QCOMPARE(m_done->size(), row.report == kNoReport ? 0 : 1);
        COMPARE_CALLS(trace().mid(before), row.afterwards);
    }

private slots:
    void initTestCase()
    {
        m_sdkLoader.setFileName(qEnvironmentVariable("VXUPLOAD_TEST_SDK_DIR")
                                + "/libVXFileUploadBySdk.so");
        QVERIFY2(m_sdkLoader.load(), qPrintable(m_sdkLoader.errorString()));
        m_loader.setFileName(qEnvironmentVariable("VXUPLOAD_TEST_PLUGIN_DIR") + "/VXFileUpload");
        QVERIFY2(m_loader.load(), qPrintable(m_loader.errorString()));
        qputenv("VXUPLOAD_RESUME_FOLDER", QFile::encodeName(m_dir.filePath("resume")));
    }
    void cleanup()
    {
        QDir(m_dir.filePath("resume")).removeRecursively(); // each test starts without records
        delete m_root; // the next test gets a fresh plugin object and manager
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    // The virtual slot of every operation, in declaration order: hosts and other builds of the
    // components are compiled against this numbering (no virtual destructor, reserved slots).
    void interfaceSlots()
    {
        using U = IVXFileUpload;
        using S = IVXFileUploadBySdk;
        using C = IVXCloudCommon;
        using UOne = void (U::*)(QString, QString, QString);
        using UAll = void (U::*)();
        using SAll = void (S::*)();
        QCOMPARE(slotsOf(&U::getObject, &U::initUploadManager, &U::uploadFile,
                         UOne(&U::stopUploadFile), UAll(&U::stopUploadFile),
                         &U::cancelUploadingFile,
                         static_cast<void (U::*)(const QVector<QVariant>&)>(&U::uploadFileByList),
                         static_cast<void (U::*)(QJsonArray)>(&U::uploadFileByList),
                         &U::stopUploadFileList, &U::getCosFileUrl, &U::getCosFileInfo,
                         &U::advanceUploadFile, &U::getAdvanceUploadProgress, &U::getcosFileStatus,
                         &U::deleteCosFile, &U::uploadFileByPost, UOne(&U::stopUploadFileByPost),
                         static_cast<void (U::*)(QJsonObject)>(&U::stopUploadFileByPost)),
                 QList<int>({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17}));
        QCOMPARE(slotsOf(&S::initUploadManager, &S::uploadFile, SAll(&S::stopUploadFile),
                         &S::cancelUploadingFile,
                         static_cast<void (S::*)(const QVector<QVariant>&)>(&S::uploadFileByList),
                         static_cast<void (S::*)(QJsonArray)>(&S::uploadFileByList),
                         &S::stopUploadFileList, &S::getCosFileUrl, &S::getCosFileInfo,
                         &S::advanceUploadFile, &S::getAdvanceUploadProgress, &S::getcosFileStatus,
                         &S::deleteCosFile),
                 QList<int>({1, 2, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14}));
        QCOMPARE(slotsOf(&C::sendCosCenterRequest, &C::sendApiRequest, &C::uploadDataByPut,
                         &C::uploadFileByPut, &C::uploadFileRangeByPut, &C::setRetryableApis,
                         &C::stopUploadByUrl),
                 QList<int>({5, 6, 11, 12, 13, 14, 15}));
    }

    // Each operation, with the SDK uploader, without one, or with a sibling of its name that
    // lacks its interface: the SDK uploader serves it ("@job" and "@stop" stand for the
    // arguments), or the upload manager does.
    void routing_data()
    {
        QTest::addColumn<QString>("sibling");
        QTest::addColumn<int>("route");
        for (const char* sibling : {"sdk", "none", "plain"}) {
            for (int i = 0; i < int(std::size(kRoutes)); ++i)
                QTest::addRow("%s: %s", sibling, kRoutes[i].name) << QString(sibling) << i;
        }
    }
    void routing()
    {
        QFETCH(QString, sibling);
        QFETCH(int, route);
        const Route& r = kRoutes[route];
        QObject plain;
        start({}, sibling == "sdk" ? sdk() : sibling == "plain" ? &plain : nullptr);
        // The job in flight: in its PUT to kPutUrl, which a stop aborts.
        const QJsonObject a = job("a.bin");
        m_plugin->uploadFileByPost(a);
        QVERIFY(answer(request("a.bin", "url"), {{"data", QJsonObject{{"uploadUrl", kPutUrl}}}}));
        QCOMPARE(rec().callsOf("uploadFileByPut").size(), 1);
        rec().calls.clear();
        sdk()->setProperty("calls", QStringList());

        const QStringList stop{a["localPath"].toString(), "dir/a.bin", "bkt"};
        const Call call{m_plugin, job("b"), stop, a};
        r.invoke(call);
        const bool sdkServes = sibling == "sdk" && *r.sdkCall;
        const QString json = QJsonDocument(call.job).toJson(QJsonDocument::Compact);
        const QString sdkCall =
            QString(r.sdkCall).replace("@job", json).replace("@stop", call.stop.join(','));
        QCOMPARE(sdkCalls(), sdkServes ? QStringList{sdkCall} : QStringList());
        QStringList managerCalls;
        for (const CloudCall& made : rec().calls)
            managerCalls.append(made.op + ' ' + made.url + made.params.value("path"));
        const QString effect = r.managerEffect == Submit ? "sendApiRequest dir/b"
                                                         : "stopUploadByUrl " + kPutUrl;
        QCOMPARE(managerCalls, sdkServes ? QStringList() : QStringList{effect});
    }

    // Without the SDK uploader and before initUploadManager, jobs go nowhere and are not kept.
    void nothingHappensBeforeInit()
    {
        load();
        m_plugin->uploadFile(job("x"));
        m_plugin->uploadFileByList(QJsonArray{job("z")});
        m_plugin->stopUploadFile();
        VXHostRelay host;
        m_plugin->initUploadManager(&host);
        QCOMPARE(rec().calls.size(), 0);
    }

    // A second initUploadManager reaches the SDK uploader too, but the plugin keeps its one
    // manager, whose reports keep going to the first host.
    void initTwiceKeepsOneManagerAndTheFirstHost()
    {
        load(sdk());
        VXHostRelay first, second;
        first.setObjectName("first");
        second.setObjectName("second");
        QSignalSpy firstFinished(&first, &VXHostRelay::sglUploadFinished);
        QSignalSpy secondFinished(&second, &VXHostRelay::sglUploadFinished);
        m_plugin->initUploadManager(&first);
        QObject* uploadManager = m_root->findChild<QObject*>();
        m_plugin->initUploadManager(&second);
        QCOMPARE(m_root->findChildren<QObject*>(QString(), Qt::FindDirectChildrenOnly),
                 QList<QObject*>{uploadManager});
        QCOMPARE(sdkCalls(),
                 QStringList({"initUploadManager(first)", "initUploadManager(second)"}));
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("the file does not exist"));
        m_plugin->uploadFileByPost({{"localPath", m_dir.filePath("gone")}, {"remotePath", "r"},
                                  {"bucketName", "bkt"}}); // reported at once
        QCOMPARE(firstFinished.count() * 10 + secondFinished.count(), 10);
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
        // 15,360 parts at 20 MiB are too many: 31 MiB is the least whole-MiB length within
        // 10,000 (30 MiB would give 10,240).
        QTest::newRow("300 GiB: 31 MiB slices, 9910 parts")
            << cos << 300 * 1024ll * 1024 * 1024 << bc << parts("9910");
        QTest::newRow("remote path is the name")
            << cos << s + 1 << with(bc, {{"remotePath", "f.bin"}}) << with(multi, {{"path", "/"}});
        QTest::newRow("name longer than remote path")
            << cos << s + 1 << with(bc, {{"remotePath", "a"}}) << with(multi, {{"path", "a"}});
        QTest::newRow("both hosts") << Params{{kUp, "h1"}, {kLow, "h2"}} << s + 1 << bc << multi;
        QTest::newRow("lower-case host") << Params{{kLow, "h2"}} << s + 1 << bc << multi;
        QTest::newRow("sliceLen too long: default")
            << with(cos, {{kSliceLen, "5368709121"}}) << 2 * s + 1 << bc << parts("3");
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
        // "vx:attempt" is the manager's own: the request component never sends it.
        QCOMPARE(call.params, with(expected, {{"bucket", "bkt"}, {"bucketName", "bkt"},
                                              {"remotePath", j["remotePath"].toString()},
                                              {"localPath", j["localPath"].toString()},
                                              {"vx:attempt", "1"}}));
    }

    // A file beyond 10,000 parts of 5 GiB (S3's limits) fails at once, without a request. The
    // sparse file lives in memory: disk file systems stop at 16 TiB.
    void fileTooLargeForOneObject()
    {
        QTemporaryDir memory("/dev/shm/vx-test-XXXXXX");
        QFile huge(memory.filePath("huge.bin"));
        if (!memory.isValid() || !huge.open(QIODevice::WriteOnly) ||
            !huge.resize(10000ll * 5 * 1024 * 1024 * 1024 + 1))
            QSKIP("no file system here holds a sparse file of 50,000 GiB");
        start();
        m_plugin->uploadFileByPost({{"localPath", huge.fileName()}, {"remotePath", "dir/huge"},
                                    {"bucketName", "bkt"}, {"bc_bcode", "BC"}});
        QCOMPARE(m_done->size(), 1);
        QCOMPARE(m_done->at(0).at(0).toInt(), -3004);
        COMPARE_CALLS(trace(), QStringList());
    }

    // [PackageInformation] partsInFlight and jobsInFlight: how many of a file's three parts, and
    // of five jobs, go out at once (the next job in order when one ends). Values out of range:
    // tst_vxsettings.
    void inFlightLimits_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("configured");
        QTest::addColumn<int>("atOnce");
        const QString parts = "partsInFlight", jobs = "jobsInFlight";
        QTest::newRow("parts absent: 1") << parts << QString() << 1;
        QTest::newRow("parts 2") << parts << "2" << 2;
        QTest::newRow("parts 16, more than the parts") << parts << "16" << 3;
        QTest::newRow("jobs absent: 2") << jobs << QString() << 2;
        QTest::newRow("jobs 1") << jobs << "1" << 1;
        QTest::newRow("jobs 4") << jobs << "4" << 4;
    }
    void inFlightLimits()
    {
        QFETCH(QString, key);
        QFETCH(QString, configured);
        QFETCH(int, atOnce);
        start({{kSliceLen, "100"}, {"/PackageInformation/" + key, configured}});
        if (key == "partsInFlight") {
            m_plugin->uploadFileByPost(job("m", 250, {{"bc_bcode", "BC"}}));
            startMultipart("m");
            QCOMPARE(rec().callsOf("uploadFileRangeByPut").size(), atOnce);
            return;
        }
        for (const char* name : {"j1", "j2", "j3", "j4", "j5"})
            m_plugin->uploadFileByPost(job(name));
        QCOMPARE(rec().calls.size(), atOnce);
        answer(request("j1", "url"), {}, false); // a place comes free: the next job goes out
        QCOMPARE(rec().calls.size(), atOnce + 1);
        QCOMPARE(nameOf(rec().calls.last().params.value("localPath")),
                 QStringLiteral("j%1").arg(atOnce + 1));
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
        QSignalSpy progress(m_host.get(), &VXHostRelay::sglUploadProgress);
        emit put.component->sglUploadProgress(put.info, 42); // relayed as the component gives it

        startMultipart("m");
        const QString path = m["localPath"].toString();
        for (int i = 0; i < 3; ++i)
            finishPut("uploadFileRangeByPut", 0);
        const CloudCall done = request("m", "done");
        QCOMPARE(done.op + ' ' + done.host, "sendCosCenterRequest cos");
        // The slice job JSON as text (the job's keys, "partUrl" empty), with the part list.
        const Params expected{{"uploadid", "U-m"}, {"partUrl", ""}, {"authorization", "A"},
            {"filePath", path}, {"localPath", path}, {"remotePath", "dir/m"}, {"bucket", "bkt"},
            {"bucketName", "bkt"}, {"filename", "m"}, {"path", "dir/"}, {"partcount", "3"},
            {"sliceLen", "100"}, {"bc_bcode", "BC"}, {"k", "7"}, {"pathinfo", "1,e1;2,e2;3,e3"},
            {"vx:attempt", "2"}};
        QCOMPARE(done.params, expected);
        answer(done, {{"success", true},
                      {"data", QJsonObject{{"uploadid", "U-m"}, {"Location", "loc"}}}});
        emit put.component->sglUploadFinished(put.info, 0);
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("^VXUploadByPutManager::slotUp"));
        emit put.component->sglUploadFinished(put.info, 0); // finds no job: only logged
        QCOMPARE(QList<QVariantList>(progress), (QList<QVariantList>{{info, 42}}));
        QCOMPARE(QList<QVariantList>(*m_done),
                 (QList<QVariantList>{{0, with(m, {{"downloadUrl", "loc"}})}, {0, info}}));
        QCOMPARE(trace().join(' '), "url:a init:m put:a part:m:1 part:m:2 part:m:3 done:m url:c");
        QTRY_COMPARE(rec().components.size(), 1); // the uploader is released by the event loop
    }

    // A failed or empty multipart start falls back to the upload-URL request, with the same
    // parameters but for the method and the path.
    void failedStartFallsBackToSingleUpload()
    {
        start();
        m_plugin->uploadFileByPost(job("m", 250, {{"bc_bcode", "BC"}}));
        m_plugin->uploadFileByPost(job("n", 250, {{"bc_bcode", "BC"}}));
        answer(request("m", "init"), {}, false);
        answer(request("n", "init"), {{"data", QJsonObject{{"uploadid", ""}}}});
        for (const QString name : {"m", "n"}) {
            const CloudCall url = request(name, "url");
            QCOMPARE(url.op + url.host, QString("sendApiRequest"));
            QCOMPARE(url.params, with(request(name, "init").params,
                                      {{"uploadMethod", "upload"}, {"path", "dir/" + name}}));
        }
    }

    // A key holds one place. Submitted again while in flight, the job is uploaded again after
    // the first transfer, with its own report; submitted again while waiting, the waiting job
    // is replaced (one upload, the later object).
    void resubmittedKey()
    {
        start();
        const QStringList names{"j", "j", "b", "w", "w"}, ns{"1", "2", "", "3", "4"};
        for (int i = 0; i < names.size(); ++i)
            m_plugin->uploadFileByPost(job(names[i], 10, {{"n", ns[i]}}));
        COMPARE_CALLS(trace(), QStringList({"url:j", "url:b"}));
        answer(request("j", "url"), {{"data", QJsonObject{{"uploadUrl", "put:j"}}}});
        finishPut("uploadFileByPut", 0);
        answer(request("j", "url"), {}, false);
        answer(request("b", "url"), {}, false);
        COMPARE_CALLS(trace(), QStringList({"url:j", "url:b", "put:j", "url:j", "url:w"}));
        QCOMPARE(request("j", "url").params.value("n") + request("w", "url").params.value("n"),
                 QString("24"));
        QCOMPARE(m_done->size(), 3);
        QCOMPARE(m_done->at(0).at(1).toJsonObject().value("n"), QJsonValue("1"));
    }

    // A failure closes j with one report; its place goes to "w", once.
    void failureReportsOnceAndFreesOnePlace_data()
    {
        using S = Step;
        QTest::addColumn<Row>("row");
        const QVector<Step> allParts{S::AnswerStart, S::FinishPart, S::FinishPart, S::FinishPart};
        const QStringList parts{"init:j", "url:a", "part:j:1", "part:j:2", "part:j:3", "done:j",
                                "url:w"};
        QTest::newRow("completion refused: \"success\" is the text \"true\"")
            << Row{250, allParts + QVector<Step>{S::RefuseDone}, S::None, -1, parts, {}};
    }
    void failureReportsOnceAndFreesOnePlace()
    {
        QFETCH(Row, row);
        live(row);
    }

    // A stop reports nothing; only a job in flight gives its place back.
    void stopReportsNothing_data()
    {
        using S = Step;
        QTest::addColumn<Row>("row");
        QTest::newRow("stop a waiting job, submit another: it waits")
            << Row{10, {S::StopWaiting, S::Submit}, S::None, kNoReport, {"url:j", "url:a"},
                   {"url:n"}};
        QTest::newRow("stop all while part 1 is in flight, then submit")
            << Row{250, {S::AnswerStart, S::StopAll, S::Submit}, S::None, kNoReport,
                   {"init:j", "url:a", "part:j:1", "abort:part:j:1", "url:n"}, {"url:x"}};
    }
    void stopReportsNothing()
    {
        QFETCH(Row, row);
        live(row);
    }

    // A multipart job stopped after part 1 and submitted again: its multipart start carries the
    // upload and its authorization; when the server answers that upload, only the parts it does
    // not hold as the record says are sent, and the completion lists them all with the fresh
    // authorization. A server that answers a new upload gets every part. The record is gone
    // after the success: a third submission starts afresh.
    void resumeAfterStop_data()
    {
        QTest::addColumn<bool>("fileChanged"); // rewritten between the two submissions
        QTest::addColumn<QString>("answeredId");
        QTest::addColumn<QStringList>("sent"); // parts sent after the second submission
        const QStringList all{"part:j:1", "part:j:2", "part:j:3"};
        QTest::newRow("the same upload") << false << "U-j" << QStringList{"part:j:2", "part:j:3"};
        QTest::newRow("a new upload") << false << "U-new" << all;
        QTest::newRow("the file changed: not resumed") << true << "U-new" << all;
    }
    void resumeAfterStop()
    {
        QFETCH(bool, fileChanged);
        QFETCH(QString, answeredId);
        QFETCH(QStringList, sent);
        start();
        const QJsonObject j = job("j", 250, {{"bc_bcode", "BC"}});
        m_plugin->uploadFileByPost(j);
        QVERIFY(startMultipart("j"));
        QVERIFY(finishPut("uploadFileRangeByPut", 0)); // part 1 stored as "e1"
        m_plugin->stopUploadFileByPost(j);
        if (fileChanged) {
            QFile file(j["localPath"].toString());
            QVERIFY(file.open(QIODevice::Append) && file.write("x") == 1);
        }
        m_plugin->uploadFileByPost(j);
        const CloudCall init = request("j", "init");
        QCOMPARE(init.params.value("uploadid") + init.params.value("authorization"),
                 QString(fileChanged ? "" : "U-jA"));
        // Part 2 is held but was never confirmed: it is sent again.
        const QJsonArray held{QJsonObject{{"partNumber", 1}, {"etag", "e1"}, {"size", 100}},
                              QJsonObject{{"partNumber", 2}, {"etag", "e9"}, {"size", 100}}};
        const QJsonArray urls{"part:j:1", "part:j:2", "part:j:3"};
        const int before = rec().calls.size();
        QVERIFY(answer(init, {{"data", QJsonObject{{"uploadid", answeredId},
                                                   {"authorization", "A2"},
                                                   {"partUrl", urls}, {"parts", held}}}}));
        QTRY_COMPARE(trace().mid(before).size(), 1);
        for (int i = 0; i < sent.size(); ++i)
            QVERIFY(finishPut("uploadFileRangeByPut", 0));
        QStringList expected = sent;
        expected << "done:j";
        COMPARE_CALLS(trace().mid(before), expected);
        const CloudCall done = request("j", "done");
        QCOMPARE(done.params.value("pathinfo"), QString("1,e1;2,e2;3,e3"));
        QCOMPARE(done.params.value("authorization"), QString("A2"));
        QVERIFY(answer(done, {{"success", true}, {"data", QJsonObject{{"Location", "loc"}}}}));
        QCOMPARE(m_done->size(), 1);
        m_plugin->uploadFileByPost(j);
        QVERIFY(!request("j", "init").params.contains("uploadid"));
    }

    // The host's handler calls back into the plugin from inside j's failure report.
    void handlerActsInsideReport_data()
    {
        using S = Step;
        QTest::addColumn<Row>("row");
        const QVector<Step> putFails{S::AnswerUrl, S::FailPut};
        const QStringList put{"url:j", "url:a", "put:j"};
        QTest::newRow("PUT 503, handler stops the job") << Row{10, putFails, S::Stop, 503,
            put + QStringList{"abort:put:j", "url:w"}, {}};
        QTest::newRow("PUT 503, handler stops all")
            << Row{10, putFails, S::StopAll, 503, put + QStringList{"abort:put:j"}, {"url:x"}};
        QTest::newRow("PUT 503, handler submits a job: it waits behind w")
            << Row{10, putFails, S::Submit, 503, put + QStringList{"url:w"}, {"abort:put:j"}};
        const QVector<Step> partFails{S::AnswerStart, S::FinishPart, S::FailPart};
        const QStringList parts{"init:j", "url:a", "part:j:1", "part:j:2", "abort:part:j:2"};
        QTest::newRow("part 503, handler stops the job")
            << Row{250, partFails, S::Stop, 503, parts + QStringList{"url:w"}, {}};
        QTest::newRow("part 503, handler stops all")
            << Row{250, partFails, S::StopAll, 503, parts, {"url:x"}};
    }
    void handlerActsInsideReport()
    {
        QFETCH(Row, row);
        live(row);
    }
};

QTEST_GUILESS_MAIN(tst_VXFileUpload)
#include "tst_vxfileupload.moc"
