// The plugin as a host sees it: loaded with QPluginLoader, cast to IVXFileUpload, driven through
// its interface. The plugin under test is linked against the recording doubles (CloudRecorder);
// the SDK uploader is the recording test sibling (FakeSdkUploader).
#include "CloudRecorder.h"
#include "IVXCloudCommon.h"
#include "IVXFileUpload.h"
#include "IVXFileUploadBySdk.h"
#include "VXHostRelay.h"
#include "VXCloudCommon.h"

#include <QJsonDocument>
#include <QPluginLoader>
#include <QPointer>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>

namespace {

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

QString pluginPath()
{
    return qEnvironmentVariable("VXUPLOAD_TEST_PLUGIN_DIR") + "/libVXFileUpload.so";
}

const QString kRemote = QStringLiteral("dir/a.bin");
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

} // namespace

class tst_VXFileUpload : public QObject
{
    Q_OBJECT

    QPluginLoader m_sdkLoader;
    QPluginLoader m_loader;
    QPointer<QObject> m_plugin;
    QTemporaryDir m_dir;
    QString m_file;

    IVXFileUpload* loadPlugin(QObject* sdk)
    {
        CloudRecorder::instance().libraries.insert("VXFileUploadBySdk", sdk);
        m_plugin = m_loader.instance();
        return qobject_cast<IVXFileUpload*>(m_plugin);
    }
    QStringList sdkCalls()
    {
        return m_sdkLoader.instance()->property("calls").toStringList();
    }
    QObject* manager() const { return m_plugin->findChild<QObject*>(); }
    QJsonObject job(const QString& remotePath) const
    {
        return {{"localPath", m_file}, {"remotePath", remotePath}, {"bucketName", "bkt"}};
    }

private slots:
    void initTestCase()
    {
        m_sdkLoader.setFileName(qEnvironmentVariable("VXUPLOAD_TEST_SDK_DIR")
                                + "/libVXFileUploadBySdk.so");
        QVERIFY2(m_sdkLoader.load(), qPrintable(m_sdkLoader.errorString()));
        m_loader.setFileName(pluginPath());
        QVERIFY2(m_loader.load(), qPrintable(m_loader.errorString()));
        m_file = m_dir.filePath("a.bin");
        QFile file(m_file);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(QByteArray(1000, 'x')));
    }
    void init()
    {
        CloudRecorder::instance().reset();
        m_sdkLoader.instance()->setProperty("calls", QStringList());
    }
    void cleanup()
    {
        delete m_plugin; // the next loadPlugin() gets a fresh plugin object
        QVERIFY(m_plugin.isNull());
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

    // Each operation, with or without the SDK uploader: the SDK uploader serves it ("@job" and
    // "@stop" stand for the arguments), or the upload manager does.
    void routing_data()
    {
        QTest::addColumn<bool>("withSdk");
        QTest::addColumn<int>("route");
        for (const bool withSdk : {true, false}) {
            for (int i = 0; i < int(std::size(kRoutes)); ++i)
                QTest::addRow("%s: %s", withSdk ? "sdk" : "no sdk", kRoutes[i].name)
                    << withSdk << i;
        }
    }
    void routing()
    {
        QFETCH(bool, withSdk);
        QFETCH(int, route);
        const Route& r = kRoutes[route];
        IVXFileUpload* upload = loadPlugin(withSdk ? m_sdkLoader.instance() : nullptr);
        VXHostRelay host;
        upload->initUploadManager(&host);
        // The job in flight: in its PUT to kPutUrl, which a stop aborts.
        CloudRecorder& recorder = CloudRecorder::instance();
        upload->uploadFileByPost(job(kRemote));
        const CloudCall request = recorder.callsOf("sendApiRequest").value(0);
        QVERIFY(request.component);
        const QJsonObject reply{{"data", QJsonObject{{"uploadUrl", kPutUrl}}}};
        emit request.component->sglHttpRequestFinishWithInfo(request.params, request.api, reply,
                                                             QString());
        QCOMPARE(recorder.callsOf("uploadFileByPut").size(), 1);
        recorder.calls.clear();
        m_sdkLoader.instance()->setProperty("calls", QStringList());

        const Call call{upload, job("b"), {m_file, kRemote, "bkt"}, job(kRemote)};
        r.invoke(call);
        const bool sdkServes = withSdk && *r.sdkCall;
        const QString json = QJsonDocument(call.job).toJson(QJsonDocument::Compact);
        const QString sdkCall =
            QString(r.sdkCall).replace("@job", json).replace("@stop", call.stop.join(','));
        QCOMPARE(sdkCalls(), sdkServes ? QStringList{sdkCall} : QStringList());
        QStringList managerCalls;
        for (const CloudCall& made : recorder.calls)
            managerCalls.append(made.op + ' ' + made.url + made.params.value("path"));
        const QString effect = r.managerEffect == Submit ? "sendApiRequest b"
                                                         : "stopUploadByUrl " + kPutUrl;
        QCOMPARE(managerCalls, sdkServes ? QStringList() : QStringList{effect});
    }

    // The query operations exist only on the SDK uploader; without a usable one they give
    // defaults.
    void queries_data()
    {
        QTest::addColumn<QString>("sibling");
        QTest::newRow("sdk uploader answers") << "sdk";
        QTest::newRow("defaults without a sibling") << "none";
        QTest::newRow("defaults with a sibling lacking the interface") << "plain";
    }
    void queries()
    {
        QFETCH(QString, sibling);
        QObject plain;
        const bool answers = sibling == "sdk";
        IVXFileUpload* upload =
            loadPlugin(answers ? m_sdkLoader.instance() : sibling == "plain" ? &plain : nullptr);
        // FakeSdkUploader's answers, as its header lists them.
        const QString url = upload->getCosFileUrl("a", "b", "c");
        QCOMPARE(url, answers ? QStringLiteral("https://cos/x") : QString());
        QCOMPARE(url.isNull(), !answers);
        const QJsonObject info{{"size", 3}};
        QCOMPARE(upload->getCosFileInfo("a", "b", "c", "d"), answers ? info : QJsonObject());
        QCOMPARE(upload->advanceUploadFile("a", "b", "c", true), answers ? 7 : -1);
        QCOMPARE(upload->getAdvanceUploadProgress(), answers ? 0.5 : 0.0);
        QCOMPARE(upload->getcosFileStatus("a", "b", "c"), answers ? 2 : -1);
        QCOMPARE(upload->deleteCosFile("a", "b"), answers ? 0 : -1);
        const QStringList expected{"getCosFileUrl(a,b,c)", "getCosFileInfo(a,b,c)",
                                   "advanceUploadFile(a,b,c,true)", "getAdvanceUploadProgress()",
                                   "getcosFileStatus(a,b,c)", "deleteCosFile(a,b)"};
        QCOMPARE(sdkCalls(), answers ? expected : QStringList());
    }

    // Without the SDK uploader and before initUploadManager, jobs go nowhere and are not kept.
    void nothingHappensBeforeInit()
    {
        IVXFileUpload* upload = loadPlugin(nullptr);
        upload->uploadFile(job("x"));
        upload->uploadFileByList(QJsonArray{job("z")});
        upload->stopUploadFile();
        VXHostRelay host;
        upload->initUploadManager(&host);
        QCOMPARE(CloudRecorder::instance().calls.size(), 0);
    }

    // A second initUploadManager reaches the SDK uploader too, but the plugin keeps its one
    // manager, whose reports keep going to the first host.
    void initTwiceKeepsOneManagerAndTheFirstHost()
    {
        IVXFileUpload* upload = loadPlugin(m_sdkLoader.instance());
        VXHostRelay first, second;
        first.setObjectName("first");
        second.setObjectName("second");
        QSignalSpy firstFinished(&first, &VXHostRelay::sglUploadFinished);
        QSignalSpy secondFinished(&second, &VXHostRelay::sglUploadFinished);
        upload->initUploadManager(&first);
        QObject* uploadManager = manager();
        upload->initUploadManager(&second);
        QCOMPARE(m_plugin->findChildren<QObject*>(QString(), Qt::FindDirectChildrenOnly),
                 QList<QObject*>{uploadManager});
        QCOMPARE(sdkCalls(),
                 QStringList({"initUploadManager(first)", "initUploadManager(second)"}));
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("the file does not exist"));
        upload->uploadFileByPost({{"localPath", m_file + ".gone"}, {"remotePath", "r"},
                                  {"bucketName", "bkt"}}); // reported at once
        QCOMPARE(firstFinished.count() * 10 + secondFinished.count(), 10);
    }

    void hostWithoutSignalsIsWarnedAbout()
    {
        IVXFileUpload* upload = loadPlugin(nullptr);
        QObject plainHost;
        const QRegularExpression noSignal("QObject::connect: No such signal.*");
        QTest::ignoreMessage(QtWarningMsg, noSignal);
        QTest::ignoreMessage(QtWarningMsg, noSignal);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(
            "does not declare the signal sglUploadFinished\\(int,QJsonObject\\) "
            "sglUploadProgress\\(QJsonObject,int\\)"));
        upload->initUploadManager(&plainHost);
        // Jobs still run; their reports just reach nobody.
        upload->uploadFileByPost(job(kRemote));
        QCOMPARE(CloudRecorder::instance().callsOf("sendApiRequest").size(), 1);
    }
};

QTEST_GUILESS_MAIN(tst_VXFileUpload)
#include "tst_vxfileupload.moc"
