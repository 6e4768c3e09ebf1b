// End to end: the shipped plugin and its real libraries, loaded as a host loads it (the test
// object is the host), against the server and storage that the CTest fixture runs (stack.sh;
// VX_E2E_STACK_FILE names its stack.env). Stored objects are downloaded again by curl through
// their "downloadUrl"; the server's answers are read from its access log.
#include "IVXFileUpload.h"

#include <QPluginLoader>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

namespace {

constexpr qint64 kMiB = 1024 * 1024;
constexpr int kTimeoutMs = 15000; // a failing QTRY waits three times as long

// The status of a plain GET by curl (0 when it did not run), outside any code of ours; the
// body goes to `saveTo`.
int httpGet(const QString& url, const QString& saveTo)
{
    QProcess curl; // its destructor kills a curl that hangs
    curl.start("curl", {"-s", "--max-time", "20", "-o", saveTo, "-w", "%{http_code}", url});
    return curl.waitForFinished(30000) ? curl.readAllStandardOutput().toInt() : 0;
}

QByteArray contentOf(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class tst_E2EUpload : public QObject
{
    Q_OBJECT

signals:
    // The plugin relays its reports into these, as into an application's host object.
    void sglUploadFinished(int res, const QJsonObject& jsonInfo);
    void sglUploadProgress(const QJsonObject& jsonInfo, int progress);

private slots:
    void initTestCase()
    {
        QSettings stack(qEnvironmentVariable("VX_E2E_STACK_FILE"), QSettings::IniFormat);
        for (const QString& key : stack.allKeys()) // VX_E2E_TOKEN as "TOKEN", ...
            m_stack.insert(QString(key).remove("VX_E2E_"), stack.value(key).toString());
        QVERIFY2(!m_stack.value("TOKEN").isEmpty() && QFileInfo::exists(m_stack.value("LOG")),
                 "no running stack: VX_E2E_STACK_FILE must name the stack.env of stack.sh start");
        QVERIFY(m_dir.isValid());
        // Only fileUpload.ini (m_iniPath) configures the plugin here.
        for (const char* name : {"VXUPLOAD_API_HOST", "VXUPLOAD_TOKEN", "VXUPLOAD_RETRIES"})
            qunsetenv(name);
        m_loader.setFileName(qEnvironmentVariable("VX_E2E_PLUGIN"));
        QVERIFY2(m_loader.load(), qPrintable(m_loader.errorString()));

        connect(this, &tst_E2EUpload::sglUploadFinished, this,
                [this](int res, const QJsonObject& job) {
                    m_reports.append({true, res, job});
                });
        connect(this, &tst_E2EUpload::sglUploadProgress, this,
                [this](const QJsonObject& job, int percent) {
                    m_reports.append({false, percent, job});
                    // As a cancel button would, while the job's PUT is surely under way.
                    if (job.value("remotePath") == m_stopRemotePath) {
                        m_stopRemotePath.clear();
                        m_upload->stopUploadFileByPost(job);
                    }
                });
    }

    void cleanupTestCase()
    {
        delete m_plugin;
        QFile::remove(m_iniPath);
    }

    void uploadReachesStorage_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<qint64>("sliceLen");
        QTest::addColumn<QStringList>("requests");
        // Every job here carries bc_bcode: the file's size against the slice length decides.
        QTest::newRow("single") << 200000LL << kMiB << QStringList{"fileuploadurl 200"};
        QTest::newRow("multipart, short last part")
            << 3 * kMiB + kMiB / 2 << kMiB
            << QStringList{"initmultipart 200", "completemultipart 200"};
        // 12000 parts of one byte: more than the server starts (400), so the job goes single.
        QTest::newRow("multipart start refused, single instead")
            << 12000LL << 1LL << QStringList{"initmultipart 400", "fileuploadurl 200"};
    }

    void uploadReachesStorage()
    {
        QFETCH(qint64, size);
        QFETCH(qint64, sliceLen);
        QFETCH(QStringList, requests);
        QVERIFY(startPlugin(m_stack.value("TOKEN"), sliceLen));
        const QString local = makeFile(size);
        checkStored(submit(local, true), local, size >= kMiB);
        QTRY_COMPARE_WITH_TIMEOUT(serverRequests(), requests, 5000);
    }

    void twoJobsInFlightThirdWaits()
    {
        QVERIFY(startPlugin(m_stack.value("TOKEN"), kMiB));
        QStringList locals;
        QStringList remotes;
        for (int i = 0; i < 3; ++i) {
            locals.append(makeFile(8 * kMiB));
            remotes.append(submit(locals.last()));
        }
        for (int i = 0; i < 3; ++i)
            checkStored(remotes.at(i), locals.at(i), true);

        // Before the first final report, the first two jobs had reported and the third not.
        QSet<QString> before;
        for (int i = 0; i < m_reports.size() && !m_reports.at(i).isFinal; ++i)
            before.insert(m_reports.at(i).job.value("remotePath").toString());
        QVERIFY2(before == (QSet<QString>{remotes.at(0), remotes.at(1)}),
                 qPrintable(before.values().join(' ')));
        const QString single = "fileuploadurl 200";
        QTRY_COMPARE_WITH_TIMEOUT(serverRequests(), (QStringList{single, single, single}), 5000);
    }

    void stopDuringPut()
    {
        QVERIFY(startPlugin(m_stack.value("TOKEN"), kMiB));
        const QString remote = m_stopRemotePath = submit(makeFile(128 * kMiB, false));
        QTRY_VERIFY_WITH_TIMEOUT(m_stopRemotePath.isEmpty(), kTimeoutMs);
        QSignalSpy finals(this, &tst_E2EUpload::sglUploadFinished);
        QVERIFY2(!finals.wait(2000) && reportsOf(remote, true).isEmpty(),
                 "a stopped job was reported");
        // Real S3 stores nothing of an aborted PUT; the local storage keeps the bytes that
        // arrived as an object. What must never be there is the whole file.
        const QString stored = m_dir.filePath("stored.bin");
        const int status = storageGet(remote, stored);
        QVERIFY2(status == 404 || (status == 200 && QFileInfo(stored).size() < 128 * kMiB),
                 qPrintable(QString::number(status)));
        QCOMPARE(serverRequests(), QStringList{"fileuploadurl 200"});

        const QString next = makeFile(100000); // the plugin goes on working after the stop
        checkStored(submit(next), next, false);
    }

    void failureReachesHost_data()
    {
        QTest::addColumn<bool>("fileExists");
        QTest::addColumn<QString>("token");
        QTest::addColumn<QStringList>("requests");
        QTest::newRow("missing local file") << false << m_stack.value("TOKEN") << QStringList();
        QTest::newRow("wrong token")
            << true << QStringLiteral("wrong-token") << QStringList{"fileuploadurl 401"};
    }

    void failureReachesHost()
    {
        QFETCH(bool, fileExists);
        QFETCH(QString, token);
        QFETCH(QStringList, requests);
        QVERIFY(startPlugin(token, kMiB));
        const QString local = fileExists ? makeFile(100000) : m_dir.filePath("missing.bin");
        const QString remote = submit(local);
        QTRY_VERIFY_WITH_TIMEOUT(!reportsOf(remote, true).isEmpty(), kTimeoutMs);
        QCOMPARE(reportsOf(remote, true).first().value, -1);
        QCOMPARE(reportsOf(remote, true).first().job.value("localPath").toString(), local);
        QTRY_COMPARE_WITH_TIMEOUT(serverRequests(), requests, 5000);
        QCOMPARE(storageGet(remote, "/dev/null"), 404);
        QCOMPARE(reportsOf(remote, true).size(), 1);
    }

private:
    struct Report
    {
        bool isFinal;
        int value; // result code of a final report, percent of a progress report
        QJsonObject job;
    };

    // A fresh facade (the old one goes with its manager and transfers) whose components read
    // the settings written here.
    bool startPlugin(const QString& token, qint64 sliceLen)
    {
        delete m_plugin;
        m_reports.clear();
        {
            QSettings ini(m_iniPath, QSettings::IniFormat);
            ini.setValue("HostInformation/cloudHost", m_stack.value("API_URL"));
            ini.setValue("HostInformation/token", token);
            ini.setValue("PackageInformation/sliceLen", sliceLen);
        }
        m_plugin = m_loader.instance();
        m_upload = qobject_cast<IVXFileUpload*>(m_plugin);
        if (m_upload)
            m_upload->initUploadManager(this);
        m_logOffset = QFileInfo(m_stack.value("LOG")).size();
        return m_upload;
    }

    QString makeFile(qint64 size, bool random = true)
    {
        const QString path = m_dir.filePath(QStringLiteral("file%1.bin").arg(++m_fileCount));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || !file.resize(size)) // zeros, sparse
            return {};
        if (random) {
            QVector<quint32> words(int((size + 3) / 4));
            QRandomGenerator::global()->fillRange(words.data(), words.size());
            file.write(reinterpret_cast<const char*>(words.constData()), size);
        }
        return path;
    }

    // Submits a job for the file and returns its remote path, "e2e" + local path: unique to the
    // run, as m_dir is. "project" must come back in the reports; "bc_bcode" allows multipart.
    QString submit(const QString& localPath, bool withBcode = false)
    {
        const QString remotePath = "e2e" + localPath;
        QJsonObject job{{"localPath", localPath},
                        {"remotePath", remotePath},
                        {"bucketName", m_stack.value("BUCKET")},
                        {"project", "e2e"}};
        if (withBcode)
            job.insert("bc_bcode", "E2E-7");
        m_upload->uploadFileByPost(job);
        return remotePath;
    }

    QVector<Report> reportsOf(const QString& remotePath, bool isFinal) const
    {
        QVector<Report> reports;
        for (const Report& report : m_reports) {
            if (report.isFinal == isFinal && report.job.value("remotePath") == remotePath)
                reports.append(report);
        }
        return reports;
    }

    // The job ends with one success report whose "downloadUrl" serves exactly the local file's
    // bytes; its percentages (at least one `withProgress`) rise monotonically up to 100 at most.
    void checkStored(const QString& remotePath, const QString& localPath, bool withProgress)
    {
        QTRY_VERIFY_WITH_TIMEOUT(!reportsOf(remotePath, true).isEmpty(), kTimeoutMs);
        const Report report = reportsOf(remotePath, true).first();
        QCOMPARE(report.value, 0);
        QCOMPARE(report.job.value("project").toString(), QStringLiteral("e2e"));
        const QString url = report.job.value("downloadUrl").toString();
        QVERIFY2(url.startsWith(m_stack.value("STORAGE_URL")), qPrintable("downloadUrl: " + url));
        const QString copy = m_dir.filePath("downloaded.bin");
        QCOMPARE(httpGet(url, copy), 200);
        QVERIFY2(contentOf(copy) == contentOf(localPath), "the stored bytes differ");

        const QVector<Report> progress = reportsOf(remotePath, false);
        QVERIFY2(!withProgress || !progress.isEmpty(), "no progress report reached the host");
        for (int i = 0, previous = 0; i < progress.size(); previous = progress.at(i++).value) {
            QVERIFY2(progress.at(i).value >= previous && progress.at(i).value <= 100,
                     qPrintable(QString::number(progress.at(i).value)));
        }
        QCOMPARE(reportsOf(remotePath, true).size(), 1);
    }

    // An unsigned GET of the object straight from the storage.
    int storageGet(const QString& remotePath, const QString& saveTo) const
    {
        const QString bucketUrl = m_stack.value("STORAGE_URL") + '/' + m_stack.value("BUCKET");
        return httpGet(bucketUrl + '/' + remotePath, saveTo);
    }

    // The server's answers since startPlugin, from its access log, as "<endpoint> <status>":
    // "fileuploadurl 200", "initmultipart 400", "completemultipart 200", ...
    QStringList serverRequests() const
    {
        static const QRegularExpression line(
            R"( POST /(?:api/bucket|coscenter/v1/bucket)/(\w+) (\d{3}) )");
        QFile log(m_stack.value("LOG"));
        if (!log.open(QIODevice::ReadOnly) || !log.seek(m_logOffset))
            return {"(log unreadable)"};
        QStringList requests;
        while (!log.atEnd()) {
            const QRegularExpressionMatch match = line.match(QString::fromUtf8(log.readLine()));
            if (match.hasMatch())
                requests.append(match.captured(1) + ' ' + match.captured(2));
        }
        return requests;
    }

    QPluginLoader m_loader;
    QObject* m_plugin = nullptr;
    IVXFileUpload* m_upload = nullptr;
    QVector<Report> m_reports; // of the current plugin instance, in arrival order
    QString m_stopRemotePath;  // stopped (and cleared) at its first progress report
    QTemporaryDir m_dir;
    int m_fileCount = 0;
    const QString m_iniPath = QCoreApplication::applicationDirPath() + "/fileUpload.ini";
    QHash<QString, QString> m_stack; // what stack.sh wrote, by name without "VX_E2E_"
    qint64 m_logOffset = 0;
};

QTEST_GUILESS_MAIN(tst_E2EUpload)
#include "tst_e2eupload.moc"
