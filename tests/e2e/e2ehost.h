// The host of the end-to-end programs: the shipped plugin and its real libraries, loaded as an
// application loads it (the test object is the host), against the server and storage that a
// CTest fixture runs (stack.sh; VX_E2E_STACK_FILE names its stack.env). Stored objects are
// downloaded again by curl; the server's answers are read from its access log. Before each test
// function (and data row), and every second while a test waits through waitFor, the host asks
// the server for /healthz: a server that stops answering fails the test within seconds, with its
// log and its threads' stacks kept (stack.sh hung), instead of at the test's time-out.
#pragma once

#include "IVXFileUpload.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QPluginLoader>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QtTest>

#include <memory>

namespace e2e {

constexpr qint64 kMiB = 1024 * 1024;
constexpr int kTimeoutMs = 15000; // a failing QTRY waits three times as long
constexpr int kHealthTimeoutMs = 2000;

// The status of a GET by curl (0 when it did not run), outside any code of ours and never
// through a proxy; the body goes to `saveTo`.
inline int httpGet(const QString& url, const QString& saveTo)
{
    QProcess curl; // its destructor kills a curl that hangs
    curl.start("curl", {"-s", "--noproxy", "*", "--max-time", "20", "-o", saveTo, "-w",
                        "%{http_code}", url});
    return curl.waitForFinished(30000) ? curl.readAllStandardOutput().toInt() : 0;
}

inline QByteArray contentOf(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Whether `url` serves exactly the bytes of the file at `localPath`.
inline bool serves(const QString& url, const QString& localPath)
{
    QTemporaryFile copy;
    return copy.open() && httpGet(url, copy.fileName()) == 200 &&
           copy.readAll() == contentOf(localPath);
}

// Every Qt message of the process while a host is set up, as "category: text".
inline QStringList g_messages;
inline QtMessageHandler g_previousHandler = nullptr;

inline void recordMessage(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    g_messages.append(QString::fromLatin1(context.category ? context.category : "") + ": " + text);
    g_previousHandler(type, context, text);
}

} // namespace e2e

class E2EHost : public QObject
{
    Q_OBJECT

signals:
    // The plugin relays its reports into these, as into an application's host object.
    void sglUploadFinished(int res, const QJsonObject& jsonInfo);
    void sglUploadProgress(const QJsonObject& jsonInfo, int progress);

protected slots:
    // Before each test function and data row (a test class that has its own init calls this).
    void init() { QVERIFY2(stackAlive(), qPrintable(m_stackFailure)); }

protected:
    struct Report
    {
        bool isFinal;
        int value; // result code of a final report, percent of a progress report
        QJsonObject job;
    };

    // Whether the stack's server answers /healthz within 2 s (see healthAnswered).
    bool stackAlive()
    {
        if (m_stackGone)
            return false; // m_stackFailure still says why
        QNetworkReply* probe = askHealth();
        (void)QTest::qWaitFor([probe] { return probe->isFinished(); }, e2e::kHealthTimeoutMs + 500);
        return healthAnswered(probe);
    }

    // QTest::qWaitFor that meanwhile asks the stack's server for /healthz every second; false at
    // the time-out, or as soon as the server stopped answering (m_stackFailure then says so).
    template <typename Done> bool waitFor(Done done, int timeoutMs)
    {
        m_stackFailure.clear();
        QDeadlineTimer deadline(timeoutMs);
        QElapsedTimer sinceProbe;
        sinceProbe.start();
        std::unique_ptr<QNetworkReply> probe;
        bool alive = true, finished = false;
        while (alive && !(finished = QTest::qWaitFor(done, 50)) && !deadline.hasExpired()) {
            if (probe &&
                (probe->isFinished() || sinceProbe.elapsed() > e2e::kHealthTimeoutMs + 500)) {
                alive = healthAnswered(probe.release());
            } else if (!probe && sinceProbe.elapsed() >= 1000) {
                probe.reset(askHealth());
                sinceProbe.restart();
            }
        }
        return alive && finished;
    }

    // Reads the stack's settings and loads the plugin; for initTestCase.
    void setUpHost()
    {
        readStack();
        QVERIFY2(!m_stack.value("TOKEN").isEmpty() && QFileInfo::exists(m_stack.value("LOG")),
                 "no running stack: VX_E2E_STACK_FILE must name the stack.env of stack.sh start");
        QVERIFY(m_dir.isValid());
        // Only the fileUpload.ini written here configures the plugin, and no host bypasses
        // a proxy that a test sets.
        for (const QString& name : QProcessEnvironment::systemEnvironment().keys()) {
            if (name.startsWith("VXUPLOAD_") || name.compare("no_proxy", Qt::CaseInsensitive) == 0)
                qunsetenv(qPrintable(name));
        }
        e2e::g_previousHandler = qInstallMessageHandler(e2e::recordMessage);
        m_loader.setFileName(qEnvironmentVariable("VX_E2E_PLUGIN"));
        QVERIFY2(m_loader.load(), qPrintable(m_loader.errorString()));
        // Hosts may pick the plugin by this name before they load it.
        QCOMPARE(m_loader.metaData().value("IID").toString(),
                 QStringLiteral("TransferDepot.VXFileUpload.Plugin"));

        connect(this, &E2EHost::sglUploadFinished, this, [this](int res, const QJsonObject& job) {
            m_reports.append({true, res, job});
        });
        connect(this, &E2EHost::sglUploadProgress, this,
                [this](const QJsonObject& job, int percent) {
                    m_reports.append({false, percent, job});
                    // As a cancel button would, while the job's transfer is surely under way.
                    if (job.value("remotePath") == m_stopRemotePath) {
                        m_stopRemotePath.clear();
                        m_upload->stopUploadFileByPost(job);
                    }
                });
    }

    // What stack.sh wrote, by name without "VX_E2E_": "TOKEN", "API_URL", ...
    void readStack()
    {
        m_stack.clear();
        QSettings stack(qEnvironmentVariable("VX_E2E_STACK_FILE"), QSettings::IniFormat);
        for (const QString& key : stack.allKeys())
            m_stack.insert(QString(key).remove("VX_E2E_"), stack.value(key).toString());
    }

    // A GET of /healthz that ends within 2 s, never through a proxy (a test may set one).
    QNetworkReply* askHealth()
    {
        if (!m_network) {
            m_network = new QNetworkAccessManager(this);
            m_network->setProxy(QNetworkProxy::NoProxy);
        }
        QNetworkRequest request(QUrl(m_stack.value("API_URL") + "/healthz"));
        request.setTransferTimeout(e2e::kHealthTimeoutMs);
        return m_network->get(request);
    }

    // Whether the probe got its 200; it is released. Otherwise stack.sh hung keeps the server's
    // log and stacks, ends the stack and starts a fresh one, whose settings are read again.
    bool healthAnswered(QNetworkReply* probe)
    {
        probe->deleteLater();
        if (probe->isFinished() && probe->error() == QNetworkReply::NoError &&
            probe->attribute(QNetworkRequest::HttpStatusCodeAttribute) == 200)
            return true;
        // A transfer time-out shows as a cancelled request.
        const bool silent =
            !probe->isFinished() || probe->error() == QNetworkReply::OperationCanceledError;
        const QString url = m_stack.value("API_URL"),
                      seen = QStringLiteral("did not answer /healthz within %1 s (%2)")
                                 .arg(e2e::kHealthTimeoutMs / 1000)
                                 .arg(silent ? QStringLiteral("no answer") : probe->errorString());
        probe->abort();
        QProcess script; // the restart of a gateway stack takes a minute or two
        script.setProcessChannelMode(QProcess::MergedChannels);
        script.start(
            m_stack.value("STACK_SCRIPT"),
            {"hung", QFileInfo(qEnvironmentVariable("VX_E2E_STACK_FILE")).absolutePath(), seen});
        const bool ran = script.waitForFinished(300000);
        m_stackFailure = QString::fromUtf8(script.readAll()).trimmed();
        if (!ran || m_stackFailure.isEmpty())
            m_stackFailure = "the stack's server at " + url + ' ' + seen +
                             ": hung? its log: " + m_stack.value("LOG") +
                             " (stack.sh hung did not run)";
        readStack();
        m_stackGone = m_stack.value("API_URL") == url; // no fresh stack took its place
        return false;
    }

    void tearDownHost()
    {
        delete m_plugin;
        m_plugin = nullptr;
        QFile::remove(m_iniPath);
        if (e2e::g_previousHandler)
            qInstallMessageHandler(e2e::g_previousHandler);
    }

    // A fresh facade (the old one goes with its manager and transfers) whose components read
    // the settings written here; `apiUrl` defaults to the stack's server.
    bool startPlugin(const QString& token, qint64 sliceLen, int partsInFlight = 1,
                     const QString& apiUrl = QString())
    {
        delete m_plugin;
        m_reports.clear();
        {
            QSettings ini(m_iniPath, QSettings::IniFormat);
            ini.setValue("HostInformation/cloudHost",
                         apiUrl.isEmpty() ? m_stack.value("API_URL") : apiUrl);
            ini.setValue("HostInformation/token", token);
            ini.setValue("PackageInformation/sliceLen", sliceLen);
            ini.setValue("PackageInformation/partsInFlight", partsInFlight);
            ini.setValue("Resume/folder", m_dir.filePath("resume")); // this run's own records
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
    QString submit(const QString& localPath, bool withBcode = false,
                   const QString& bucket = QString())
    {
        const QString remotePath = "e2e" + localPath;
        QJsonObject job{{"localPath", localPath},
                        {"remotePath", remotePath},
                        {"bucketName", bucket.isEmpty() ? m_stack.value("BUCKET") : bucket},
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
        QTRY_VERIFY_WITH_TIMEOUT(!reportsOf(remotePath, true).isEmpty(), e2e::kTimeoutMs);
        const Report report = reportsOf(remotePath, true).first();
        QCOMPARE(report.value, 0);
        QCOMPARE(report.job.value("project").toString(), QStringLiteral("e2e"));
        const QString url = report.job.value("downloadUrl").toString();
        QVERIFY2(url.startsWith(m_stack.value("STORAGE_URL")), qPrintable("downloadUrl: " + url));
        QVERIFY2(e2e::serves(url, localPath), "the stored bytes differ");

        const QVector<Report> progress = reportsOf(remotePath, false);
        QVERIFY2(!withProgress || !progress.isEmpty(), "no progress report reached the host");
        for (int i = 0, previous = 0; i < progress.size(); previous = progress.at(i++).value) {
            QVERIFY2(progress.at(i).value >= previous && progress.at(i).value <= 100,
                     qPrintable(QString::number(progress.at(i).value)));
        }
        QCOMPARE(reportsOf(remotePath, true).size(), 1);
    }

    // Where the storage keeps the object, readable without a signature.
    QString objectUrl(const QString& remotePath) const
    {
        return m_stack.value("STORAGE_URL") + '/' + m_stack.value("BUCKET") + '/' + remotePath;
    }

    // What the server logged since startPlugin.
    QString serverLog() const
    {
        QFile log(m_stack.value("LOG"));
        if (!log.open(QIODevice::ReadOnly) || !log.seek(m_logOffset))
            return QStringLiteral("(log unreadable)");
        return QString::fromUtf8(log.readAll());
    }

    // The server's answers since startPlugin, from its access log, as "<endpoint> <status>":
    // "fileuploadurl 200", "initmultipart 400", "completemultipart 200", ...
    QStringList serverRequests() const
    {
        static const QRegularExpression line(
            R"( POST /(?:api/bucket|coscenter/v1/bucket)/(\w+) (\d{3}) )");
        QStringList requests;
        for (auto match = line.globalMatch(serverLog()); match.hasNext();) {
            const QRegularExpressionMatch request = match.next();
            requests.append(request.captured(1) + ' ' + request.captured(2));
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
    QNetworkAccessManager* m_network = nullptr; // of the /healthz probes
    QString m_stackFailure;                     // why the last check of the stack failed
    bool m_stackGone = false;                   // it hung and no fresh one could be started
};
