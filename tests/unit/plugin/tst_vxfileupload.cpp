// The plugin as a host sees it: loaded with QPluginLoader, cast to IVXFileUpload, driven through
// its interface. The plugin under test is linked against the recording doubles (CloudRecorder);
// the SDK uploader is the recording test sibling (FakeSdkUploader).
#include "CloudRecorder.h"
#include "IVXCloudCommon.h"
#include "IVXFileUpload.h"
#include "IVXFileUploadBySdk.h"
#include "TestHost.h"
#include "VXCloudCommon.h"

#include <QJsonDocument>
#include <QLibrary>
#include <QMetaMethod>
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

QString pluginPath()
{
    return qEnvironmentVariable("VXUPLOAD_TEST_PLUGIN_DIR") + QStringLiteral("/libVXFileUpload.so");
}

QString compact(const QJsonObject& object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

const QString kRemote = QStringLiteral("dir/a.bin");
const QString kBucket = QStringLiteral("bucket");
const QString kPutUrl = QStringLiteral("http://storage.test/put/a.bin");

} // namespace

class tst_VXFileUpload : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void interfaceSlots();
    void pluginInstanceIsSingleWhileItLives();
    void routing_data();
    void routing();
    void queries_data();
    void queries();
    void nothingHappensBeforeInit();
    void initTwiceKeepsOneManagerAndTheFirstHost();
    void hostWithoutSignalsIsWarnedAbout();

private:
    IVXFileUpload* loadPlugin(bool withSdk);
    QObject* manager() const;
    void startJobInFlight();
    QJsonObject job(const QString& remotePath) const;

    QPluginLoader m_sdkLoader;
    QPluginLoader m_loader;
    QPointer<QObject> m_plugin;
    QTemporaryDir m_dir;
    QString m_file;
};

void tst_VXFileUpload::initTestCase()
{
    m_sdkLoader.setFileName(qEnvironmentVariable("VXUPLOAD_TEST_SDK_DIR")
                            + QStringLiteral("/libVXFileUploadBySdk.so"));
    QVERIFY2(m_sdkLoader.load(), qPrintable(m_sdkLoader.errorString()));
    m_loader.setFileName(pluginPath());
    QVERIFY2(m_loader.load(), qPrintable(m_loader.errorString()));
    m_file = m_dir.filePath(QStringLiteral("a.bin"));
    QFile file(m_file);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(1000, 'x'));
}

void tst_VXFileUpload::init()
{
    CloudRecorder::instance().reset();
    m_sdkLoader.instance()->setProperty("calls", QStringList());
}

void tst_VXFileUpload::cleanup()
{
    delete m_plugin; // the next loadPlugin() gets a fresh facade
    QVERIFY(m_plugin.isNull());
}

IVXFileUpload* tst_VXFileUpload::loadPlugin(bool withSdk)
{
    CloudRecorder::instance().libraries.insert(QStringLiteral("VXFileUploadBySdk"),
                                               withSdk ? m_sdkLoader.instance() : nullptr);
    m_plugin = m_loader.instance();
    return qobject_cast<IVXFileUpload*>(m_plugin);
}

QObject* tst_VXFileUpload::manager() const
{
    const QList<QObject*> children = m_plugin->findChildren<QObject*>();
    for (QObject* child : children) {
        if (qstrcmp(child->metaObject()->className(), "VXUploadByPutManager") == 0)
            return child;
    }
    return nullptr;
}

QJsonObject tst_VXFileUpload::job(const QString& remotePath) const
{
    return {{"localPath", m_file}, {"remotePath", remotePath}, {"bucketName", kBucket}};
}

// Puts one job (m_file -> kRemote) into its single-file PUT, so that a stop is visible as
// stopUploadByUrl(kPutUrl), then forgets the calls made so far.
void tst_VXFileUpload::startJobInFlight()
{
    CloudRecorder& recorder = CloudRecorder::instance();
    qobject_cast<IVXFileUpload*>(m_plugin)->uploadFileByPost(job(kRemote));
    const QList<CloudCall> requests = recorder.callsOf(QStringLiteral("sendApiRequest"));
    QCOMPARE(requests.size(), 1);
    const QJsonObject reply{{"data", QJsonObject{{"uploadUrl", kPutUrl}}}};
    emit requests[0].component->sglHttpRequestFinishWithInfo(requests[0].params, requests[0].api,
                                                             reply, QString());
    QCOMPARE(recorder.callsOf(QStringLiteral("uploadFileByPut")).size(), 1);
    recorder.calls.clear();
}

// The virtual slot of every operation, in declaration order, against the numbering hosts and
// other builds of the components rely on.
void tst_VXFileUpload::interfaceSlots()
{
    using U = IVXFileUpload;
    using S = IVXFileUploadBySdk;
    using C = IVXCloudCommon;
    QCOMPARE(QVector<int>({slotOf(&U::getObject), slotOf(&U::initUploadManager),
                           slotOf(&U::uploadFile),
                           slotOf(static_cast<void (U::*)(QString, QString, QString)>(
                               &U::stopUploadFile)),
                           slotOf(static_cast<void (U::*)()>(&U::stopUploadFile)),
                           slotOf(&U::cancelUploadingFile),
                           slotOf(static_cast<void (U::*)(const QVector<QVariant>&)>(
                               &U::uploadFileByList)),
                           slotOf(static_cast<void (U::*)(QJsonArray)>(&U::uploadFileByList)),
                           slotOf(&U::stopUploadFileList), slotOf(&U::getCosFileUrl),
                           slotOf(&U::getCosFileInfo), slotOf(&U::advanceUploadFile),
                           slotOf(&U::getAdvanceUploadProgress), slotOf(&U::getcosFileStatus),
                           slotOf(&U::deleteCosFile), slotOf(&U::uploadFileByPost),
                           slotOf(static_cast<void (U::*)(QString, QString, QString)>(
                               &U::stopUploadFileByPost)),
                           slotOf(static_cast<void (U::*)(QJsonObject)>(
                               &U::stopUploadFileByPost))}),
             QVector<int>({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17}));
    QCOMPARE(QVector<int>({slotOf(&S::initUploadManager), slotOf(&S::uploadFile),
                           slotOf(static_cast<void (S::*)()>(&S::stopUploadFile)),
                           slotOf(&S::cancelUploadingFile),
                           slotOf(static_cast<void (S::*)(const QVector<QVariant>&)>(
                               &S::uploadFileByList)),
                           slotOf(static_cast<void (S::*)(QJsonArray)>(&S::uploadFileByList)),
                           slotOf(&S::stopUploadFileList), slotOf(&S::getCosFileUrl),
                           slotOf(&S::getCosFileInfo), slotOf(&S::advanceUploadFile),
                           slotOf(&S::getAdvanceUploadProgress), slotOf(&S::getcosFileStatus),
                           slotOf(&S::deleteCosFile)}),
             QVector<int>({1, 2, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14}));
    QCOMPARE(QVector<int>({slotOf(&C::sendCosCenterRequest), slotOf(&C::sendApiRequest),
                           slotOf(&C::uploadDataByPut), slotOf(&C::uploadFileByPut),
                           slotOf(&C::stopUploadByUrl)}),
             QVector<int>({5, 6, 11, 12, 15}));
}

void tst_VXFileUpload::pluginInstanceIsSingleWhileItLives()
{
    CloudRecorder& recorder = CloudRecorder::instance();
    QPointer<QObject> first = m_loader.instance();
    QVERIFY(first);
    QCOMPARE(m_loader.instance(), first.data());
    QCOMPARE(first->parent(), nullptr);
    QCOMPARE(recorder.loadLibNames, QStringList({"VXFileUploadBySdk"}));

    delete first.data();
    QVERIFY(first.isNull());
    m_plugin = m_loader.instance();
    QVERIFY(m_plugin);
    QCOMPARE(recorder.loadLibNames.size(), 2); // a new facade was constructed
}

// Each row: the operation the host calls, with or without the SDK uploader, what the SDK
// uploader receives ("@job" and "@stop" stand for the arguments) and what the upload manager does:
// "submit" (the new job's upload-URL request), "stop" (the job in flight is stopped) or "none".
void tst_VXFileUpload::routing_data()
{
    QTest::addColumn<bool>("withSdk");
    QTest::addColumn<QString>("op");
    QTest::addColumn<QString>("sdkCall");
    QTest::addColumn<QString>("managerEffect");

    struct Route
    {
        const char* op;
        const char* sdkCall; // empty: the SDK uploader never serves it
        const char* managerEffect;
    };
    const Route routes[] = {
        {"uploadFile", "uploadFile(@job)", "submit"},
        {"stopUploadFile(3)", "cancelUploadingFile(@stop)", "stop"},
        {"stopUploadFile()", "stopUploadFile()", "stop"},
        {"cancelUploadingFile", "cancelUploadingFile(@stop)", "stop"},
        {"uploadFileByList(vector)", "uploadFileByList([@job])", "submit"},
        {"uploadFileByList(array)", "uploadFileByList([@job])", "submit"},
        {"stopUploadFileList", "stopUploadFileList()", "stop"},
        {"uploadFileByPost", "", "submit"},
        {"stopUploadFileByPost(3)", "", "stop"},
        {"stopUploadFileByPost(json)", "", "stop"},
        {"private stopUploadFileByPost()", "", "stop"},
        {"private stopUploadFileListByPost", "", "stop"},
        {"private uploadFileListByPost(vector)", "", "submit"},
        {"private uploadFileListByPost(array)", "", "submit"}};
    for (const bool withSdk : {true, false}) {
        for (const Route& route : routes) {
            const bool sdkServes = withSdk && *route.sdkCall;
            QTest::addRow("%s: %s", withSdk ? "sdk" : "no sdk", route.op)
                << withSdk << route.op << (sdkServes ? route.sdkCall : "")
                << (sdkServes ? "none" : route.managerEffect);
        }
    }
}

void tst_VXFileUpload::routing()
{
    QFETCH(bool, withSdk);
    QFETCH(QString, op);
    QFETCH(QString, sdkCall);
    QFETCH(QString, managerEffect);

    IVXFileUpload* upload = loadPlugin(withSdk);
    TestHost host;
    upload->initUploadManager(&host);
    startJobInFlight();
    QObject* sdk = m_sdkLoader.instance();
    sdk->setProperty("calls", QStringList());

    const QJsonObject newJob = job(QStringLiteral("b"));
    const QVector<QVariant> vector{newJob.toVariantMap()};
    const QJsonArray array{newJob};
    const QStringList stop{m_file, kRemote, kBucket};
    // The manager-only operations are reached as a host would link them: by exported symbol.
    QLibrary library(pluginPath());
    const auto call = [&](const char* symbol) { return library.resolve(symbol); };
    using Plain = void (*)(QObject*);
    using WithVector = void (*)(QObject*, const QVector<QVariant>&);
    using WithArray = void (*)(QObject*, QJsonArray);

    if (op == "uploadFile") upload->uploadFile(newJob);
    else if (op == "stopUploadFile(3)") upload->stopUploadFile(stop[0], stop[1], stop[2]);
    else if (op == "stopUploadFile()") upload->stopUploadFile();
    else if (op == "cancelUploadingFile") upload->cancelUploadingFile(stop[0], stop[1], stop[2]);
    else if (op == "uploadFileByList(vector)") upload->uploadFileByList(vector);
    else if (op == "uploadFileByList(array)") upload->uploadFileByList(array);
    else if (op == "stopUploadFileList") upload->stopUploadFileList();
    else if (op == "uploadFileByPost") upload->uploadFileByPost(newJob);
    else if (op == "stopUploadFileByPost(3)")
        upload->stopUploadFileByPost(stop[0], stop[1], stop[2]);
    else if (op == "stopUploadFileByPost(json)") upload->stopUploadFileByPost(job(kRemote));
    else if (op == "private stopUploadFileByPost()")
        reinterpret_cast<Plain>(call("_ZN12VXFileUpload20stopUploadFileByPostEv"))(m_plugin);
    else if (op == "private stopUploadFileListByPost")
        reinterpret_cast<Plain>(call("_ZN12VXFileUpload24stopUploadFileListByPostEv"))(m_plugin);
    else if (op == "private uploadFileListByPost(vector)")
        reinterpret_cast<WithVector>(call(
            "_ZN12VXFileUpload20uploadFileListByPostERK7QVectorI8QVariantE"))(m_plugin, vector);
    else if (op == "private uploadFileListByPost(array)")
        reinterpret_cast<WithArray>(call(
            "_ZN12VXFileUpload20uploadFileListByPostE10QJsonArray"))(m_plugin, array);
    else QFAIL("unknown operation");

    const QString expectedSdk =
        QString(sdkCall).replace("@job", compact(newJob)).replace("@stop", stop.join(','));
    QCOMPARE(sdk->property("calls").toStringList(),
             expectedSdk.isEmpty() ? QStringList() : QStringList{expectedSdk});
    QStringList managerCalls;
    for (const CloudCall& made : CloudRecorder::instance().calls)
        managerCalls.append(made.op + QLatin1Char(' ') + made.url + made.params.value("path"));
    const QMap<QString, QStringList> effects{{"submit", {"sendApiRequest b"}},
                                             {"stop", {"stopUploadByUrl " + kPutUrl}},
                                             {"none", {}}};
    QCOMPARE(managerCalls, effects.value(managerEffect));
}

// The query operations exist only on the SDK uploader; without a usable one they give defaults.
void tst_VXFileUpload::queries_data()
{
    QTest::addColumn<QString>("sibling");
    QTest::newRow("sdk uploader answers") << "sdk";
    QTest::newRow("defaults without a sibling") << "none";
    QTest::newRow("defaults with a sibling lacking the interface") << "plain";
}

void tst_VXFileUpload::queries()
{
    QFETCH(QString, sibling);
    QObject* sdk = m_sdkLoader.instance();
    const QJsonObject info{{"size", 3}};
    for (const auto& [name, value] : std::initializer_list<std::pair<const char*, QVariant>>{
             {"cosFileUrl", "https://cos/x"}, {"cosFileInfo", QJsonDocument(info).toJson()},
             {"advanceResult", 7}, {"advanceProgress", 0.5}, {"cosFileStatus", 2},
             {"deleteResult", 0}})
        sdk->setProperty(name, value);
    QObject plain;
    const bool answers = sibling == "sdk";
    QObject* root = answers ? sdk : sibling == "plain" ? &plain : nullptr;
    CloudRecorder::instance().libraries.insert(QStringLiteral("VXFileUploadBySdk"), root);
    m_plugin = m_loader.instance();
    IVXFileUpload* upload = qobject_cast<IVXFileUpload*>(m_plugin);

    const QString url = upload->getCosFileUrl("a", "b", "c");
    QCOMPARE(url, answers ? QStringLiteral("https://cos/x") : QString());
    QCOMPARE(url.isNull(), !answers);
    QCOMPARE(upload->getCosFileInfo("a", "b", "c", "d"), answers ? info : QJsonObject());
    QCOMPARE(upload->advanceUploadFile("a", "b", "c", true), answers ? 7 : -1);
    QCOMPARE(upload->getAdvanceUploadProgress(), answers ? 0.5 : 0.0);
    QCOMPARE(upload->getcosFileStatus("a", "b", "c"), answers ? 2 : -1);
    QCOMPARE(upload->deleteCosFile("a", "b"), answers ? 0 : -1);
    const QStringList expected{"getCosFileUrl(a,b,c)",     "getCosFileInfo(a,b,c)",
                               "advanceUploadFile(a,b,c,true)", "getAdvanceUploadProgress()",
                               "getcosFileStatus(a,b,c)",  "deleteCosFile(a,b)"};
    QCOMPARE(sdk->property("calls").toStringList(), answers ? expected : QStringList());
}

// Without the SDK uploader and before initUploadManager, jobs go nowhere and are not kept.
void tst_VXFileUpload::nothingHappensBeforeInit()
{
    IVXFileUpload* upload = loadPlugin(false);
    upload->uploadFile(job("x"));
    upload->uploadFileByList(QJsonArray{job("z")});
    upload->stopUploadFile();
    TestHost host;
    upload->initUploadManager(&host);
    QCOMPARE(CloudRecorder::instance().calls.size(), 0);
}

void tst_VXFileUpload::initTwiceKeepsOneManagerAndTheFirstHost()
{
    IVXFileUpload* upload = loadPlugin(true);
    TestHost first;
    TestHost second;
    first.setObjectName(QStringLiteral("first"));
    second.setObjectName(QStringLiteral("second"));
    QSignalSpy firstFinished(&first, &TestHost::sglUploadFinished);
    QSignalSpy firstProgress(&first, &TestHost::sglUploadProgress);
    QSignalSpy secondFinished(&second, &TestHost::sglUploadFinished);

    upload->initUploadManager(&first);
    QObject* uploadManager = manager();
    upload->initUploadManager(&second);
    QCOMPARE(manager(), uploadManager);
    QCOMPARE(m_plugin->findChildren<QObject*>(QString(), Qt::FindDirectChildrenOnly).size(), 1);
    QCOMPARE(m_sdkLoader.instance()->property("calls").toStringList(),
             QStringList({"initUploadManager(first)", "initUploadManager(second)"}));

    const QJsonObject report{{"localPath", "l"}};
    QVERIFY(QMetaObject::invokeMethod(uploadManager, "sglUploadFinished", Q_ARG(int, 7),
                                      Q_ARG(QJsonObject, report)));
    QVERIFY(QMetaObject::invokeMethod(uploadManager, "sglUploadProgress",
                                      Q_ARG(QJsonObject, report), Q_ARG(int, 42)));
    QCOMPARE(QList<QVariantList>(firstFinished), QList<QVariantList>({{7, report}}));
    QCOMPARE(QList<QVariantList>(firstProgress), QList<QVariantList>({{report, 42}}));
    QCOMPARE(secondFinished.count(), 0);
}

void tst_VXFileUpload::hostWithoutSignalsIsWarnedAbout()
{
    IVXFileUpload* upload = loadPlugin(false);
    QObject plainHost;
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("QObject::connect: No such signal.*"));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("QObject::connect: No such signal.*"));
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression("does not declare the signal "
                                            "sglUploadFinished\\(int,QJsonObject\\) "
                                            "sglUploadProgress\\(QJsonObject,int\\)"));
    upload->initUploadManager(&plainHost);
    QVERIFY(manager());
    // Jobs still run; their reports just reach nobody.
    upload->uploadFileByPost(job(kRemote));
    QCOMPARE(CloudRecorder::instance().callsOf("sendApiRequest").size(), 1);
}

QTEST_GUILESS_MAIN(tst_VXFileUpload)
#include "tst_vxfileupload.moc"
