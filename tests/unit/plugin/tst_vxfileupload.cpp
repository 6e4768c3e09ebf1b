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

const QString kLocal = QStringLiteral("@local@"); // stands for the test file in the rows
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

    void interfaceSlots_data();
    void interfaceSlots();
    void rawSlotCallReachesTheRightOperation();
    void metadataBlock();
    void pluginInstanceIsSingleWhileItLives();
    void metacast();
    void metaObjects();
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

void tst_VXFileUpload::interfaceSlots_data()
{
    QTest::addColumn<int>("slot");
    QTest::addColumn<int>("expected");

    using U = IVXFileUpload;
    QTest::newRow("getObject") << slotOf(&U::getObject) << 0;
    QTest::newRow("initUploadManager") << slotOf(&U::initUploadManager) << 1;
    QTest::newRow("uploadFile") << slotOf(&U::uploadFile) << 2;
    QTest::newRow("stopUploadFile(3)")
        << slotOf(static_cast<void (U::*)(QString, QString, QString)>(&U::stopUploadFile)) << 3;
    QTest::newRow("stopUploadFile()")
        << slotOf(static_cast<void (U::*)()>(&U::stopUploadFile)) << 4;
    QTest::newRow("cancelUploadingFile") << slotOf(&U::cancelUploadingFile) << 5;
    QTest::newRow("uploadFileByList(vector)")
        << slotOf(static_cast<void (U::*)(const QVector<QVariant>&)>(&U::uploadFileByList)) << 6;
    QTest::newRow("uploadFileByList(array)")
        << slotOf(static_cast<void (U::*)(QJsonArray)>(&U::uploadFileByList)) << 7;
    QTest::newRow("stopUploadFileList") << slotOf(&U::stopUploadFileList) << 8;
    QTest::newRow("getCosFileUrl") << slotOf(&U::getCosFileUrl) << 9;
    QTest::newRow("getCosFileInfo") << slotOf(&U::getCosFileInfo) << 10;
    QTest::newRow("advanceUploadFile") << slotOf(&U::advanceUploadFile) << 11;
    QTest::newRow("getAdvanceUploadProgress") << slotOf(&U::getAdvanceUploadProgress) << 12;
    QTest::newRow("getcosFileStatus") << slotOf(&U::getcosFileStatus) << 13;
    QTest::newRow("deleteCosFile") << slotOf(&U::deleteCosFile) << 14;
    QTest::newRow("uploadFileByPost") << slotOf(&U::uploadFileByPost) << 15;
    QTest::newRow("stopUploadFileByPost(3)")
        << slotOf(static_cast<void (U::*)(QString, QString, QString)>(&U::stopUploadFileByPost))
        << 16;
    QTest::newRow("stopUploadFileByPost(json)")
        << slotOf(static_cast<void (U::*)(QJsonObject)>(&U::stopUploadFileByPost)) << 17;

    using S = IVXFileUploadBySdk;
    QTest::newRow("sdk initUploadManager") << slotOf(&S::initUploadManager) << 1;
    QTest::newRow("sdk uploadFile") << slotOf(&S::uploadFile) << 2;
    QTest::newRow("sdk stopUploadFile()")
        << slotOf(static_cast<void (S::*)()>(&S::stopUploadFile)) << 4;
    QTest::newRow("sdk cancelUploadingFile") << slotOf(&S::cancelUploadingFile) << 5;
    QTest::newRow("sdk uploadFileByList(vector)")
        << slotOf(static_cast<void (S::*)(const QVector<QVariant>&)>(&S::uploadFileByList)) << 6;
    QTest::newRow("sdk uploadFileByList(array)")
        << slotOf(static_cast<void (S::*)(QJsonArray)>(&S::uploadFileByList)) << 7;
    QTest::newRow("sdk stopUploadFileList") << slotOf(&S::stopUploadFileList) << 8;
    QTest::newRow("sdk getCosFileUrl") << slotOf(&S::getCosFileUrl) << 9;
    QTest::newRow("sdk getCosFileInfo") << slotOf(&S::getCosFileInfo) << 10;
    QTest::newRow("sdk advanceUploadFile") << slotOf(&S::advanceUploadFile) << 11;
    QTest::newRow("sdk getAdvanceUploadProgress") << slotOf(&S::getAdvanceUploadProgress) << 12;
    QTest::newRow("sdk getcosFileStatus") << slotOf(&S::getcosFileStatus) << 13;
    QTest::newRow("sdk deleteCosFile") << slotOf(&S::deleteCosFile) << 14;

    using C = IVXCloudCommon;
    QTest::newRow("sendCosCenterRequest") << slotOf(&C::sendCosCenterRequest) << 5;
    QTest::newRow("sendApiRequest") << slotOf(&C::sendApiRequest) << 6;
    QTest::newRow("uploadDataByPut") << slotOf(&C::uploadDataByPut) << 11;
    QTest::newRow("uploadFileByPut") << slotOf(&C::uploadFileByPut) << 12;
    QTest::newRow("stopUploadByUrl") << slotOf(&C::stopUploadByUrl) << 15;
}

void tst_VXFileUpload::interfaceSlots()
{
    QFETCH(int, slot);
    QFETCH(int, expected);
    QCOMPARE(slot, expected);
}

// The slot numbers above come from the headers; this calls into the built plugin's own virtual
// table by raw index, as a host compiled against an older header would.
void tst_VXFileUpload::rawSlotCallReachesTheRightOperation()
{
    IVXFileUpload* upload = loadPlugin(true);
    QVERIFY(upload);
    m_sdkLoader.instance()->setProperty("advanceProgress", 0.25);
    m_sdkLoader.instance()->setProperty("deleteResult", 5);

    void** table = *reinterpret_cast<void***>(upload);
    using Progress = double (*)(IVXFileUpload*);
    using Delete = int (*)(IVXFileUpload*, QString, QString);
    QCOMPARE(reinterpret_cast<Progress>(table[12])(upload), 0.25);
    QCOMPARE(reinterpret_cast<Delete>(table[14])(upload, "a", "b"), 5);
    using Object = QObject* (*)(IVXFileUpload*);
    QCOMPARE(reinterpret_cast<Object>(table[0])(upload), m_plugin.data());
    QCOMPARE(m_sdkLoader.instance()->property("calls").toStringList(),
             QStringList({"getAdvanceUploadProgress()", "deleteCosFile(a,b)"}));
}

void tst_VXFileUpload::metadataBlock()
{
    // The shipped plugin, built against the real components.
    QLibrary library(qEnvironmentVariable("VXUPLOAD_SHIPPED_PLUGIN_DIR")
                     + QStringLiteral("/libVXFileUpload.so"));
    QVERIFY2(library.load(), qPrintable(library.errorString()));
    using Query = const char* (*)();
    const auto query = reinterpret_cast<Query>(library.resolve("qt_plugin_query_metadata"));
    QVERIFY(query);

    QByteArray expected("QTMETADATA !");
    expected.append("\x00\x05\x0f\x00", 4);
    expected.append("\xbf\x02\x78\x21", 4);
    expected.append("TransferDepot.VXFileUpload.Plugin");
    expected.append("\x03\x6c", 2);
    expected.append("VXFileUpload");
    expected.append('\xff');
    QCOMPARE(expected.size(), 68);
    QCOMPARE(QByteArray(query(), 68).toHex(' '), expected.toHex(' '));

    QPluginLoader loader(library.fileName());
    const QJsonObject meta = loader.metaData();
    QCOMPARE(meta.value("IID").toString(), QStringLiteral("TransferDepot.VXFileUpload.Plugin"));
    QCOMPARE(meta.value("className").toString(), QStringLiteral("VXFileUpload"));
    QCOMPARE(meta.value("debug").toBool(), false);
    QCOMPARE(meta.value("MetaData").toObject(), QJsonObject());
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

void tst_VXFileUpload::metacast()
{
    QObject* object = loadPlugin(false)->getObject();
    QCOMPARE(object, m_plugin.data());
    IVXFileUpload* part = qobject_cast<IVXFileUpload*>(object);
    QVERIFY(part);
    QVERIFY(static_cast<void*>(part) != static_cast<void*>(object)); // second base
    QCOMPARE(object->qt_metacast(nullptr), nullptr);
    QCOMPARE(object->qt_metacast("VXFileUpload"), static_cast<void*>(object));
    QCOMPARE(object->qt_metacast("IVXFileUpload"), static_cast<void*>(part));
    QCOMPARE(object->qt_metacast("com.zel.tessel.transferdepot.IVXFileUpload/1.0"),
             static_cast<void*>(part));
    QCOMPARE(object->qt_metacast("QObject"), static_cast<void*>(object));
    QCOMPARE(object->qt_metacast("IVXFileUploadBySdk"), nullptr);
}

void tst_VXFileUpload::metaObjects()
{
    IVXFileUpload* upload = loadPlugin(false);
    const QMetaObject* facade = m_plugin->metaObject();
    QCOMPARE(facade->className(), "VXFileUpload");
    QCOMPARE(facade->methodCount(), facade->methodOffset());
    QCOMPARE(facade->propertyCount(), facade->propertyOffset());

    upload->initUploadManager(nullptr);
    QObject* uploadManager = manager();
    QVERIFY(uploadManager);
    QCOMPARE(uploadManager->parent(), m_plugin.data());
    const QMetaObject* meta = uploadManager->metaObject();
    QCOMPARE(meta->superClass(), &QObject::staticMetaObject);
    const QList<QByteArray> expected{
        "sglUploadFinished(int,QJsonObject)",
        "sglUploadProgress(QJsonObject,int)",
        "slotHttpRequestFinishWithInfo(QMap<QString,QString>,QString,QJsonObject,QString)",
        "slotHttpRequestErrorWithInfo(QMap<QString,QString>,QString,int,QString)",
        "slotUploadFinished(QJsonObject,int)",
        "slotUploadProgress(QJsonObject,int)",
        "slotSliceUploadFinished(QJsonObject,int)"};
    QCOMPARE(meta->methodCount() - meta->methodOffset(), expected.size());
    for (int i = 0; i < expected.size(); ++i) {
        const QMetaMethod method = meta->method(meta->methodOffset() + i);
        QCOMPARE(method.methodSignature(), expected[i]);
        QCOMPARE(method.methodType(), i < 2 ? QMetaMethod::Signal : QMetaMethod::Slot);
    }
    QCOMPARE(meta->propertyCount(), meta->propertyOffset());
    QCOMPARE(meta->enumeratorCount(), meta->enumeratorOffset());
    QCOMPARE(meta->classInfoCount(), meta->classInfoOffset());

    // The manager's own request component.
    QCOMPARE(CloudRecorder::instance().components.size(), 1);
    QCOMPARE(CloudRecorder::instance().components.first()->parent(), uploadManager);
}

// Each row: which operation the host calls, with or without the SDK uploader, what the SDK
// uploader receives, and what the upload manager does: "submit" (the new job's upload-URL
// request), "stop" (the job in flight is stopped) or "none".
void tst_VXFileUpload::routing_data()
{
    QTest::addColumn<bool>("withSdk");
    QTest::addColumn<QString>("op");
    QTest::addColumn<QStringList>("sdkCalls");
    QTest::addColumn<QString>("managerEffect");

    const QString newJob =
        compact(QJsonObject{{"bucketName", kBucket}, {"localPath", kLocal}, {"remotePath", "b"}});
    const QString stopArgs = QStringList({kLocal, kRemote, kBucket}).join(',');
    const QString list = '[' + newJob + ']';

    QTest::newRow("sdk: uploadFile") << true << "uploadFile" << QStringList{"uploadFile(" + newJob + ')'} << "none";
    QTest::newRow("sdk: stopUploadFile(3)") << true << "stopUploadFile3" << QStringList{"cancelUploadingFile(" + stopArgs + ')'} << "none";
    QTest::newRow("sdk: stopUploadFile()") << true << "stopUploadFile0" << QStringList{"stopUploadFile()"} << "none";
    QTest::newRow("sdk: cancelUploadingFile") << true << "cancelUploadingFile" << QStringList{"cancelUploadingFile(" + stopArgs + ')'} << "none";
    QTest::newRow("sdk: uploadFileByList(vector)") << true << "uploadFileByListVector" << QStringList{"uploadFileByList(" + list + ')'} << "none";
    QTest::newRow("sdk: uploadFileByList(array)") << true << "uploadFileByListArray" << QStringList{"uploadFileByList(" + list + ')'} << "none";
    QTest::newRow("sdk: stopUploadFileList") << true << "stopUploadFileList" << QStringList{"stopUploadFileList()"} << "none";
    QTest::newRow("sdk: uploadFileByPost") << true << "uploadFileByPost" << QStringList() << "submit";
    QTest::newRow("sdk: stopUploadFileByPost(3)") << true << "stopUploadFileByPost3" << QStringList() << "stop";
    QTest::newRow("sdk: stopUploadFileByPost(json)") << true << "stopUploadFileByPostJson" << QStringList() << "stop";
    QTest::newRow("sdk: private stopUploadFileByPost()") << true << "private stopUploadFileByPost" << QStringList() << "stop";
    QTest::newRow("sdk: private stopUploadFileListByPost") << true << "private stopUploadFileListByPost" << QStringList() << "stop";
    QTest::newRow("sdk: private uploadFileListByPost(vector)") << true << "private uploadFileListByPostVector" << QStringList() << "submit";
    QTest::newRow("sdk: private uploadFileListByPost(array)") << true << "private uploadFileListByPostArray" << QStringList() << "submit";

    const QStringList ops{"uploadFile", "stopUploadFile3", "stopUploadFile0", "cancelUploadingFile",
                          "uploadFileByListVector", "uploadFileByListArray", "stopUploadFileList",
                          "uploadFileByPost", "stopUploadFileByPost3", "stopUploadFileByPostJson",
                          "private stopUploadFileByPost", "private stopUploadFileListByPost",
                          "private uploadFileListByPostVector", "private uploadFileListByPostArray"};
    for (const QString& op : ops) {
        const bool submits = op.contains(QLatin1String("upload"));
        QTest::newRow(qPrintable("no sdk: " + op))
            << false << op << QStringList() << (submits ? "submit" : "stop");
    }
}

void tst_VXFileUpload::routing()
{
    QFETCH(bool, withSdk);
    QFETCH(QString, op);
    QFETCH(QStringList, sdkCalls);
    QFETCH(QString, managerEffect);

    IVXFileUpload* upload = loadPlugin(withSdk);
    TestHost host;
    host.setObjectName(QStringLiteral("host"));
    upload->initUploadManager(&host);
    const QString local = m_file;
    startJobInFlight();
    QObject* sdk = m_sdkLoader.instance();
    sdk->setProperty("calls", QStringList());

    const QJsonObject newJob{{"localPath", local}, {"remotePath", "b"}, {"bucketName", kBucket}};
    const QVector<QVariant> vector{newJob.toVariantMap()};
    const QJsonArray array{newJob};
    const QStringList stop{local, kRemote, kBucket};

    QLibrary library(pluginPath());
    auto privateOp = [&](const char* symbol) { return library.resolve(symbol); };

    if (op == "uploadFile") upload->uploadFile(newJob);
    else if (op == "stopUploadFile3") upload->stopUploadFile(stop[0], stop[1], stop[2]);
    else if (op == "stopUploadFile0") upload->stopUploadFile();
    else if (op == "cancelUploadingFile") upload->cancelUploadingFile(stop[0], stop[1], stop[2]);
    else if (op == "uploadFileByListVector") upload->uploadFileByList(vector);
    else if (op == "uploadFileByListArray") upload->uploadFileByList(array);
    else if (op == "stopUploadFileList") upload->stopUploadFileList();
    else if (op == "uploadFileByPost") upload->uploadFileByPost(newJob);
    else if (op == "stopUploadFileByPost3") upload->stopUploadFileByPost(stop[0], stop[1], stop[2]);
    else if (op == "stopUploadFileByPostJson") upload->stopUploadFileByPost(job(kRemote));
    else if (op == "private stopUploadFileByPost")
        reinterpret_cast<void (*)(QObject*)>(privateOp("_ZN12VXFileUpload20stopUploadFileByPostEv"))(m_plugin);
    else if (op == "private stopUploadFileListByPost")
        reinterpret_cast<void (*)(QObject*)>(privateOp("_ZN12VXFileUpload24stopUploadFileListByPostEv"))(m_plugin);
    else if (op == "private uploadFileListByPostVector")
        reinterpret_cast<void (*)(QObject*, const QVector<QVariant>&)>(privateOp("_ZN12VXFileUpload20uploadFileListByPostERK7QVectorI8QVariantE"))(m_plugin, vector);
    else if (op == "private uploadFileListByPostArray")
        reinterpret_cast<void (*)(QObject*, QJsonArray)>(privateOp("_ZN12VXFileUpload20uploadFileListByPostE10QJsonArray"))(m_plugin, array);
    else QFAIL("unknown operation");

    QStringList expectedSdk;
    for (const QString& call : sdkCalls)
        expectedSdk.append(QString(call).replace(kLocal, local));
    QCOMPARE(sdk->property("calls").toStringList(), expectedSdk);

    CloudRecorder& recorder = CloudRecorder::instance();
    QStringList managerCalls;
    for (const CloudCall& call : recorder.calls)
        managerCalls.append(call.op + QLatin1Char(' ') + call.url + call.params.value("path"));
    if (managerEffect == "submit")
        QCOMPARE(managerCalls, QStringList({"sendApiRequest b"}));
    else if (managerEffect == "stop")
        QCOMPARE(managerCalls, QStringList({"stopUploadByUrl " + kPutUrl}));
    else
        QCOMPARE(managerCalls, QStringList());
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
    CloudRecorder::instance().libraries.insert(QStringLiteral("VXFileUploadBySdk"),
                                               answers ? sdk : sibling == "plain" ? &plain : nullptr);
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

void tst_VXFileUpload::nothingHappensBeforeInit()
{
    IVXFileUpload* upload = loadPlugin(false);
    upload->uploadFile(job("x"));
    upload->uploadFileByPost(job("y"));
    upload->uploadFileByList(QJsonArray{job("z")});
    upload->uploadFileByList(QVector<QVariant>{job("w").toVariantMap()});
    upload->stopUploadFile();
    upload->stopUploadFileByPost(job("x"));
    upload->stopUploadFileList();
    QVERIFY(CloudRecorder::instance().calls.isEmpty());
    QVERIFY(CloudRecorder::instance().components.isEmpty()); // no manager was made

    // A job handed in before initUploadManager is not kept for later.
    TestHost host;
    QSignalSpy finished(&host, &TestHost::sglUploadFinished);
    upload->initUploadManager(&host);
    QVERIFY(CloudRecorder::instance().calls.isEmpty());
    QCOMPARE(finished.count(), 0);
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
    QCOMPARE(firstFinished.count(), 1);
    QCOMPARE(firstFinished[0][0].toInt(), 7);
    QCOMPARE(firstFinished[0][1].toJsonObject(), report);
    QCOMPARE(firstProgress.count(), 1);
    QCOMPARE(firstProgress[0][1].toInt(), 42);
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
