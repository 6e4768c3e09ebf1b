// End to end: the shipped plugin, with the real request component and utility library, loaded
// the way a host loads it, uploading to the reference server and its local storage, which the
// CTest fixture runs (stack.sh; VX_E2E_STACK_FILE names its stack.env). Every stored object is
// downloaded again through its "downloadUrl" with curl and compared with the local file; which
// requests the server answered, and with which status, is read from its access log.
#include "E2EHost.h"
#include "IVXFileUpload.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QPluginLoader>
#include <QPointer>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

constexpr qint64 kMiB = 1024 * 1024;
constexpr qint64 kSliceLen = kMiB; // small, so that a few MiB make a multipart upload
constexpr int kUploadTimeoutMs = 30000;

struct HttpGet
{
    int status = 0; // 0: curl did not run or did not finish
    qint64 size = -1;
};

// A plain GET by curl, outside any code of ours; the body goes to `saveTo`.
HttpGet httpGet(const QString& url, const QString& saveTo)
{
    QProcess curl;
    curl.start(QStringLiteral("curl"), {QStringLiteral("-s"), QStringLiteral("--max-time"),
                                        QStringLiteral("60"), QStringLiteral("-o"), saveTo,
                                        QStringLiteral("-w"),
                                        QStringLiteral("%{http_code} %{size_download}"), url});
    if (!curl.waitForFinished(70000)) {
        curl.kill();
        curl.waitForFinished();
        return {};
    }
    const QList<QByteArray> fields = curl.readAllStandardOutput().trimmed().split(' ');
    if (fields.size() != 2)
        return {};
    return {fields.at(0).toInt(), fields.at(1).toLongLong()};
}

QByteArray sha256Of(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&file);
    return hash.result().toHex();
}

// A loopback URL on which nothing listens (the port was free a moment ago).
QString unusedLoopbackUrl()
{
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0))
        return QStringLiteral("http://127.0.0.1:1");
    return QStringLiteral("http://127.0.0.1:%1").arg(server.serverPort());
}

enum class Content { Random, Zeros };

} // namespace

class tst_E2EUpload : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void cleanup();

    void uploadReachesStorage_data();
    void uploadReachesStorage();
    void twoJobsInFlightThirdWaits();
    void stopDuringPut();
    void failureReachesHost_data();
    void failureReachesHost();

private:
    IVXFileUpload* startPlugin(const QString& cloudHost, const QString& token, qint64 sliceLen);
    QString makeFile(qint64 size, Content content);
    QJsonObject job(const QString& localPath) const;
    void checkStored(const QJsonObject& report, const QString& localPath);
    void checkProgress(const QString& remotePath, bool expected);
    int storageStatus(const QString& remotePath);
    QStringList serverRequests() const;

    QPluginLoader m_loader;
    QPointer<QObject> m_plugin;
    std::unique_ptr<E2EHost> m_host;
    QTemporaryDir m_dir;
    QString m_iniPath;
    QString m_apiUrl;
    QString m_storageUrl;
    QString m_bucket;
    QString m_token;
    QString m_logPath;
    qint64 m_logOffset = 0;
    int m_iFile = 0;
};

void tst_E2EUpload::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QSettings stack(qEnvironmentVariable("VX_E2E_STACK_FILE"), QSettings::IniFormat);
    m_apiUrl = stack.value(QStringLiteral("VX_E2E_API_URL")).toString();
    m_storageUrl = stack.value(QStringLiteral("VX_E2E_STORAGE_URL")).toString();
    m_bucket = stack.value(QStringLiteral("VX_E2E_BUCKET")).toString();
    m_token = stack.value(QStringLiteral("VX_E2E_TOKEN")).toString();
    m_logPath = stack.value(QStringLiteral("VX_E2E_LOG")).toString();
    QVERIFY2(!m_apiUrl.isEmpty() && !m_storageUrl.isEmpty() && !m_bucket.isEmpty()
                 && !m_token.isEmpty() && QFileInfo::exists(m_logPath),
             "no running stack: VX_E2E_STACK_FILE must name the stack.env of stack.sh start");
    QVERIFY2(!QStandardPaths::findExecutable(QStringLiteral("curl")).isEmpty(), "curl is missing");

    // Only fileUpload.ini configures the plugin here.
    for (const char* name : {"VXUPLOAD_API_HOST", "VXUPLOAD_TOKEN", "VXUPLOAD_RETRIES"})
        qunsetenv(name);
    m_iniPath = QCoreApplication::applicationDirPath() + QStringLiteral("/fileUpload.ini");

    m_loader.setFileName(qEnvironmentVariable("VX_E2E_PLUGIN"));
    QVERIFY2(m_loader.load(), qPrintable(m_loader.errorString()));
}

void tst_E2EUpload::cleanupTestCase()
{
    delete m_plugin;
    m_host.reset();
    QFile::remove(m_iniPath);
}

void tst_E2EUpload::cleanup()
{
    qunsetenv("VXUPLOAD_API_HOST");
}

// A fresh facade (the old one is destroyed with its manager and transfers), whose manager and
// request components read the settings written here, and a fresh host.
IVXFileUpload* tst_E2EUpload::startPlugin(const QString& cloudHost, const QString& token,
                                          qint64 sliceLen)
{
    delete m_plugin;
    {
        QFile::remove(m_iniPath);
        QSettings ini(m_iniPath, QSettings::IniFormat);
        ini.setValue(QStringLiteral("HostInformation/cloudHost"), cloudHost);
        ini.setValue(QStringLiteral("HostInformation/token"), token);
        ini.setValue(QStringLiteral("PackageInformation/sliceLen"), QString::number(sliceLen));
        ini.sync();
        if (ini.status() != QSettings::NoError)
            return nullptr;
    }
    m_plugin = m_loader.instance();
    auto* upload = qobject_cast<IVXFileUpload*>(m_plugin);
    if (!upload)
        return nullptr;
    m_host = std::make_unique<E2EHost>();
    upload->initUploadManager(m_host.get());
    m_logOffset = QFileInfo(m_logPath).size();
    return upload;
}

QString tst_E2EUpload::makeFile(qint64 size, Content content)
{
    const QString path = m_dir.filePath(QStringLiteral("file%1.bin").arg(++m_iFile));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return {};
    if (content == Content::Zeros) {
        file.resize(size); // sparse: takes no disk space
        return path;
    }
    QVector<quint32> chunk(int(kMiB / sizeof(quint32)));
    for (qint64 left = size; left > 0;) {
        QRandomGenerator::global()->fillRange(chunk.data(), chunk.size());
        const qint64 n = qMin(left, kMiB);
        file.write(reinterpret_cast<const char*>(chunk.constData()), n);
        left -= n;
    }
    return path;
}

QJsonObject tst_E2EUpload::job(const QString& localPath) const
{
    return {{"localPath", localPath},
            {"remotePath", QStringLiteral("e2e/") + QFileInfo(localPath).fileName()},
            {"bucketName", m_bucket},
            {"project", "e2e"}};
}

// The report is a success's: its "downloadUrl" serves exactly the local file's bytes.
void tst_E2EUpload::checkStored(const QJsonObject& report, const QString& localPath)
{
    const QString url = report.value(QStringLiteral("downloadUrl")).toString();
    QVERIFY2(url.startsWith(m_storageUrl), qPrintable(QStringLiteral("downloadUrl: ") + url));
    const QString copy = localPath + QStringLiteral(".downloaded");
    const HttpGet got = httpGet(url, copy);
    QCOMPARE(got.status, 200);
    QCOMPARE(got.size, QFileInfo(localPath).size());
    QCOMPARE(sha256Of(copy), sha256Of(localPath));
    QFile::remove(copy);
}

// Percentages reached the host (when `expected`), rose monotonically and stayed within 0..100.
void tst_E2EUpload::checkProgress(const QString& remotePath, bool expected)
{
    const QVector<int> percents = m_host->progressOf(remotePath);
    if (expected)
        QVERIFY2(!percents.isEmpty(), "no progress report reached the host");
    for (int i = 0; i < percents.size(); ++i) {
        QVERIFY2(percents.at(i) >= 0 && percents.at(i) <= 100, qPrintable(QString::number(i)));
        if (i > 0)
            QVERIFY2(percents.at(i) >= percents.at(i - 1), qPrintable(QString::number(i)));
    }
}

// Status of an unsigned GET of the object straight from the storage.
int tst_E2EUpload::storageStatus(const QString& remotePath)
{
    return httpGet(m_storageUrl + QLatin1Char('/') + m_bucket + QLatin1Char('/') + remotePath,
                   QStringLiteral("/dev/null"))
        .status;
}

// The server's answers since startPlugin, from its access log, as "<endpoint> <status>":
// "fileuploadurl 200", "initmultipart 400", "completemultipart 200", ...
QStringList tst_E2EUpload::serverRequests() const
{
    static const QRegularExpression line(QStringLiteral(
        R"( POST /(?:api/bucket|coscenter/v1/bucket)/(\w+) (\d{3}) )"));
    QFile log(m_logPath);
    if (!log.open(QIODevice::ReadOnly) || !log.seek(m_logOffset))
        return {QStringLiteral("(log unreadable)")};
    QStringList requests;
    while (!log.atEnd()) {
        const QRegularExpressionMatch match = line.match(QString::fromUtf8(log.readLine()));
        if (match.hasMatch())
            requests.append(match.captured(1) + QLatin1Char(' ') + match.captured(2));
    }
    return requests;
}

void tst_E2EUpload::uploadReachesStorage_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<bool>("withBcode");
    QTest::addColumn<qint64>("sliceLen");
    QTest::addColumn<bool>("cloudHostUnreachable");
    QTest::addColumn<QStringList>("requests");

    const QStringList single{"fileuploadurl 200"};
    const qint64 threeAndAHalf = 3 * kSliceLen + kSliceLen / 2;
    QTest::newRow("single, small file") << 200000LL << false << kSliceLen << false << single;
    QTest::newRow("single, long file without bc_bcode")
        << threeAndAHalf << false << kSliceLen << false << single;
    QTest::newRow("multipart, short last part")
        << threeAndAHalf << true << kSliceLen << false
        << QStringList{"initmultipart 200", "completemultipart 200"};
    // 12000 parts of one byte: more than the server starts (400), so the job goes single.
    QTest::newRow("multipart start refused, single instead")
        << 12000LL << true << 1LL << false
        << QStringList{"initmultipart 400", "fileuploadurl 200"};
    // The multipart requests go to cloudHost, the upload-URL request to VXUPLOAD_API_HOST.
    QTest::newRow("multipart host unreachable, single instead")
        << threeAndAHalf << true << kSliceLen << true << single;
}

void tst_E2EUpload::uploadReachesStorage()
{
    QFETCH(qint64, size);
    QFETCH(bool, withBcode);
    QFETCH(qint64, sliceLen);
    QFETCH(bool, cloudHostUnreachable);
    QFETCH(QStringList, requests);

    QString cloudHost = m_apiUrl;
    if (cloudHostUnreachable) {
        qputenv("VXUPLOAD_API_HOST", m_apiUrl.toUtf8());
        cloudHost = unusedLoopbackUrl();
    }
    IVXFileUpload* upload = startPlugin(cloudHost, m_token, sliceLen);
    QVERIFY(upload);
    const QString local = makeFile(size, Content::Random);
    QJsonObject submitted = job(local);
    if (withBcode)
        submitted.insert(QStringLiteral("bc_bcode"), QStringLiteral("E2E-7"));
    const QString remote = submitted.value(QStringLiteral("remotePath")).toString();

    upload->uploadFileByPost(submitted);
    QTRY_VERIFY_WITH_TIMEOUT(m_host->finalReport(remote), kUploadTimeoutMs);
    const QJsonObject report = m_host->finalReport(remote)->job;
    QCOMPARE(m_host->finalReport(remote)->value, 0);
    QCOMPARE(report.value(QStringLiteral("project")).toString(), QStringLiteral("e2e"));
    checkStored(report, local);
    if (QTest::currentTestFailed())
        return;
    checkProgress(remote, size >= kMiB);
    if (QTest::currentTestFailed())
        return;
    QTRY_COMPARE_WITH_TIMEOUT(serverRequests(), requests, 5000);
    QCOMPARE(m_host->finalCount(), 1);
}

void tst_E2EUpload::twoJobsInFlightThirdWaits()
{
    IVXFileUpload* upload = startPlugin(m_apiUrl, m_token, kSliceLen);
    QVERIFY(upload);
    QStringList locals;
    QStringList remotes;
    for (int i = 0; i < 3; ++i) {
        locals.append(makeFile(8 * kMiB, Content::Random));
        const QJsonObject submitted = job(locals.last());
        remotes.append(submitted.value(QStringLiteral("remotePath")).toString());
        upload->uploadFileByPost(submitted);
    }
    QTRY_COMPARE_WITH_TIMEOUT(m_host->finalCount(), 3, 2 * kUploadTimeoutMs);
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(m_host->finalReport(remotes.at(i))->value, 0);
        checkStored(m_host->finalReport(remotes.at(i))->job, locals.at(i));
        checkProgress(remotes.at(i), true);
        if (QTest::currentTestFailed())
            return;
    }

    // A job counts as active from its first report to its final one.
    QSet<QString> active;
    QSet<QString> done;
    int mostActive = 0;
    int firstFinal = -1;
    const QVector<E2EHost::Report>& reports = m_host->reports();
    for (int i = 0; i < reports.size(); ++i) {
        const E2EHost::Report& report = reports.at(i);
        if (report.isFinal) {
            active.remove(report.remotePath);
            done.insert(report.remotePath);
            if (firstFinal < 0)
                firstFinal = i;
        } else if (!done.contains(report.remotePath)) {
            active.insert(report.remotePath);
        }
        mostActive = qMax(mostActive, active.size());
    }
    QVERIFY2(mostActive <= 2, qPrintable(QString::number(mostActive)));
    // The third job waited for a place: nothing of it before the first job ended.
    QVERIFY2(m_host->firstReportIndex(remotes.at(2)) > firstFinal,
             qPrintable(QStringLiteral("first report of the third job at %1, first final at %2")
                            .arg(m_host->firstReportIndex(remotes.at(2)))
                            .arg(firstFinal)));
    QTRY_COMPARE_WITH_TIMEOUT(serverRequests().size(), 3, 5000);
}

void tst_E2EUpload::stopDuringPut()
{
    IVXFileUpload* upload = startPlugin(m_apiUrl, m_token, kSliceLen);
    QVERIFY(upload);
    const qint64 size = 128 * kMiB;
    const QString local = makeFile(size, Content::Zeros);
    const QJsonObject submitted = job(local);
    const QString remote = submitted.value(QStringLiteral("remotePath")).toString();

    m_host->stopOnFirstProgress(upload, remote);
    upload->uploadFileByPost(submitted);
    QTRY_VERIFY_WITH_TIMEOUT(m_host->hasStopped(), kUploadTimeoutMs);
    QSignalSpy finals(m_host.get(), &E2EHost::sglUploadFinished);
    QVERIFY2(!finals.wait(3000), "a stopped job was reported");

    // Real S3 stores nothing of an aborted PUT. The local storage (s3rver) keeps the bytes that
    // arrived as an object; what must never be there is the whole file.
    const HttpGet stored = httpGet(m_storageUrl + QLatin1Char('/') + m_bucket + QLatin1Char('/')
                                       + remote,
                                   QStringLiteral("/dev/null"));
    if (stored.status == 200) {
        QVERIFY2(stored.size < size, "the whole file was stored although the job was stopped");
        qInfo("the storage keeps %lld of %lld bytes of the aborted PUT", stored.size, size);
    } else {
        QCOMPARE(stored.status, 404);
    }
    QCOMPARE(serverRequests(), QStringList{"fileuploadurl 200"});

    // The plugin goes on working after the stop.
    const QString next = makeFile(100000, Content::Random);
    upload->uploadFileByPost(job(next));
    const QString nextRemote = job(next).value(QStringLiteral("remotePath")).toString();
    QTRY_VERIFY_WITH_TIMEOUT(m_host->finalReport(nextRemote), kUploadTimeoutMs);
    QCOMPARE(m_host->finalReport(nextRemote)->value, 0);
    checkStored(m_host->finalReport(nextRemote)->job, next);
    QCOMPARE(m_host->finalCount(), 1);
}

void tst_E2EUpload::failureReachesHost_data()
{
    QTest::addColumn<bool>("fileExists");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<bool>("withBcode");
    QTest::addColumn<QString>("token"); // empty: the stack's token
    QTest::addColumn<QString>("bucket"); // empty: the stack's bucket
    QTest::addColumn<QStringList>("requests");

    const qint64 multipartSize = 3 * kSliceLen + 1000;
    QTest::newRow("missing local file")
        << false << 0LL << false << QString() << QString() << QStringList();
    QTest::newRow("wrong token") << true << 100000LL << false << QStringLiteral("wrong-token")
                                 << QString() << QStringList{"fileuploadurl 401"};
    QTest::newRow("wrong token, multipart")
        << true << multipartSize << true << QStringLiteral("wrong-token") << QString()
        << QStringList{"initmultipart 401", "fileuploadurl 401"};
    QTest::newRow("bucket not allowed") << true << 100000LL << false << QString()
                                        << QStringLiteral("not-allowed")
                                        << QStringList{"fileuploadurl 400"};
}

void tst_E2EUpload::failureReachesHost()
{
    QFETCH(bool, fileExists);
    QFETCH(qint64, size);
    QFETCH(bool, withBcode);
    QFETCH(QString, token);
    QFETCH(QString, bucket);
    QFETCH(QStringList, requests);

    IVXFileUpload* upload =
        startPlugin(m_apiUrl, token.isEmpty() ? m_token : token, kSliceLen);
    QVERIFY(upload);
    const QString local = fileExists ? makeFile(size, Content::Random)
                                     : m_dir.filePath(QStringLiteral("missing.bin"));
    QJsonObject submitted = job(local);
    if (withBcode)
        submitted.insert(QStringLiteral("bc_bcode"), QStringLiteral("E2E-7"));
    if (!bucket.isEmpty())
        submitted.insert(QStringLiteral("bucketName"), bucket);
    const QString remote = submitted.value(QStringLiteral("remotePath")).toString();

    upload->uploadFileByPost(submitted);
    QTRY_VERIFY_WITH_TIMEOUT(m_host->finalReport(remote), kUploadTimeoutMs);
    QCOMPARE(m_host->finalReport(remote)->value, -1);
    QCOMPARE(m_host->finalReport(remote)->job.value(QStringLiteral("localPath")).toString(),
             local);
    QTRY_COMPARE_WITH_TIMEOUT(serverRequests(), requests, 5000);
    QCOMPARE(storageStatus(remote), 404);
    QCOMPARE(m_host->finalCount(), 1);
}

QTEST_GUILESS_MAIN(tst_E2EUpload)
#include "tst_e2eupload.moc"
