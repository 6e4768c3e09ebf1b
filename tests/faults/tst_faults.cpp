// The fault matrix: the shipped plugin against the stack's server and storage, with a forward
// proxy in between (FaultProxy, set as http_proxy for this process) that injects one fault per
// row into the requests of two jobs. A third, untouched job is queued behind them: it can only
// start once one of them has ended, so a job that hangs shows as a follower that never reports.
// Every row checks: one final report per job that was not stopped (none for a stopped one), the
// expected code, the attempts on the wire, every report naming its job, and for every success
// the stored object's SHA-256 against the file's (downloaded by curl, not through the proxy).
// cleanupTestCase prints the matrix: case, expected, observed.
#include "FaultProxy.h"
#include "e2ehost.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>

#include <climits>
#include <sys/stat.h>

using e2e::kMiB;

namespace {

constexpr qint64 kSliceLen = 5 * kMiB;
constexpr int kRetries = 2;
constexpr int kStallSec = 2;
constexpr int kRetryDelayMs = 100;
constexpr int kHoldMs = 1500; // how long a stop row holds its phase's request (under the stall)
constexpr int kNoReport = INT_MIN;

// The requests of an upload, as the proxy tells them apart.
enum class Req { UploadUrl, MultipartStart, Completion, Put, Part };
// What the proxy does to a matching request (faultproxy.js: "action").
enum class Fault { Status, Reset, Close, Stall, Pause, DelayAnswer, Rewrite };
// The local file of the faulted jobs.
enum class Local { Small, Multipart, Fifo, ProcFile, Directory, Missing, ChangedDuringParts };
// What the test does besides: nothing, stop a waiting third job, or act on the job when the
// proxy begins to hold one of its requests (stop it, or submit it again).
enum class Twist { None, StopQueued, StopOnHold, ResubmitOnHold };

const char* kindOf(Req req)
{
    switch (req) {
    case Req::UploadUrl:
        return "fileuploadurl";
    case Req::MultipartStart:
        return "initmultipart";
    case Req::Completion:
        return "completemultipart";
    case Req::Put:
        return "put";
    case Req::Part:
        return "part";
    }
    return "";
}

const char* actionOf(Fault fault)
{
    switch (fault) {
    case Fault::Status:
        return "status";
    case Fault::Reset:
        return "reset";
    case Fault::Close:
        return "close";
    case Fault::Stall:
        return "stall";
    case Fault::Pause:
        return "pause";
    case Fault::DelayAnswer:
        return "delayAnswer";
    case Fault::Rewrite:
        return "rewrite";
    }
    return "";
}

struct Rule
{
    Rule(Req req, Fault fault, int value = 0, int times = -1, const QString& edit = {},
         int part = 0)
        : req(req), fault(fault), value(value), times(times), edit(edit), part(part)
    {}

    Req req;
    Fault fault;
    int value = 0;  // HTTP status of Status, milliseconds of Pause and DelayAnswer, body
                    // bytes read before a Stall (0: all of them)
    int times = -1; // the first `times` matching requests of each job; -1: all
    QString edit;   // of Rewrite: "notJson", "noData", "refusalNoData", ...
    int part = 0;   // of Part: only this part number; 0: any
};

struct FaultCase
{
    Local file = Local::Small;
    Rule rule{Req::UploadUrl, Fault::Status, 500, 0}; // applied to no request
    int code = 0;         // the result of each faulted job, kNoReport when stopped
    int alsoAccepted = 0; // another code that says the same (nonzero when used)
    int attempts = -1;    // requests of the rule's kind (and part) per job; -1: unchecked
    QVector<Req> never;   // requests never sent for a faulted job
    bool timed = false;   // each held attempt ends within the stall time-out + 1 s
    Twist twist = Twist::None;
};

FaultCase hit(Local file, Rule rule, int code, int attempts = -1)
{
    FaultCase c;
    c.file = file;
    c.rule = rule;
    c.code = code;
    c.attempts = attempts;
    return c;
}

FaultCase withNever(FaultCase c, QVector<Req> never)
{
    c.never = never;
    return c;
}

FaultCase timed(FaultCase c)
{
    c.timed = true;
    return c;
}

FaultCase twisted(FaultCase c, Twist twist)
{
    c.twist = twist;
    return c;
}

QString codeText(int code)
{
    return code == kNoReport ? QStringLiteral("no report") : QString::number(code);
}

QString expectedText(const FaultCase& c)
{
    QString text = QStringLiteral("code %1").arg(codeText(c.code));
    if (c.alsoAccepted)
        text += QStringLiteral("|%1").arg(c.alsoAccepted);
    if (c.twist == Twist::ResubmitOnHold)
        text += QStringLiteral(" x2");
    if (c.attempts >= 0)
        text += QStringLiteral(", %1 %2").arg(c.attempts).arg(kindOf(c.rule.req));
    for (Req req : c.never)
        text += QStringLiteral(", no %1").arg(kindOf(req));
    if (c.timed)
        text += QStringLiteral(", given up <= %1 s").arg(kStallSec + 1);
    return text;
}

QByteArray sha256Of(const QString& path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        return {};
    return hash.result().toHex();
}

// The environment of the programs this test runs: straight to their targets, no proxy.
QProcessEnvironment withoutProxy()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY"})
        environment.remove(QString::fromLatin1(name));
    return environment;
}

// The status of a GET by curl, not through the proxy; the body goes to `saveTo`.
int directGet(const QString& url, const QString& saveTo)
{
    QProcess curl;
    curl.setProcessEnvironment(withoutProxy());
    curl.start("curl", {"-s", "--noproxy", "*", "--max-time", "20", "-o", saveTo, "-w",
                        "%{http_code}", url});
    return curl.waitForFinished(30000) ? curl.readAllStandardOutput().toInt() : 0;
}

// Every Qt message of this process, as the plugin writes it at the default logging level.
QStringList g_messages;
QtMessageHandler g_previousHandler = nullptr;

void recordMessage(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    g_messages.append(QString::fromLatin1(context.category ? context.category : "") + ": " + text);
    if (g_previousHandler)
        g_previousHandler(type, context, text);
}

} // namespace

Q_DECLARE_METATYPE(FaultCase)

class tst_Faults : public E2EHost
{
    Q_OBJECT

    struct Job
    {
        QJsonObject json;
        QString local;
        QString remote;
        int reports = 1; // final reports it must get
        bool faulted = true;
    };

    struct MatrixRow
    {
        QString name;
        QString expected;
        QString observed;
        QString verdict = QStringLiteral("FAIL");
    };

private slots:
    void initTestCase()
    {
        setUpHost();
        g_previousHandler = qInstallMessageHandler(recordMessage);
        for (const char* name : {"VXUPLOAD_STALL_TIMEOUT_SEC", "VXUPLOAD_RETRY_DELAY_MS",
                                 "VXUPLOAD_CONNECT_TIMEOUT_SEC", "no_proxy", "NO_PROXY"})
            qunsetenv(name);
        QVERIFY2(m_proxy.start(qEnvironmentVariable("VX_FAULTS_NODE", "node"),
                               qEnvironmentVariable("VX_FAULTS_PROXY")),
                 qPrintable(m_proxy.errorString()));
        // libcurl takes its proxy from here for every request of the plugin.
        const QByteArray proxyUrl = "http://127.0.0.1:" + QByteArray::number(m_proxy.port());
        qputenv("http_proxy", proxyUrl);
        connect(&m_proxy, &FaultProxy::eventArrived, this, &tst_Faults::onProxyEvent);
        connect(this, &tst_Faults::sglUploadFinished, this, [this](int, const QJsonObject& job) {
            m_reportMs[job.value("remotePath").toString()].append(m_proxy.now());
        });
        m_runId = QString::number(QRandomGenerator::global()->generate(), 16);
        m_clock.start();
    }

    void cleanup()
    {
        if (!m_matrix.isEmpty() && m_matrix.last().verdict == QLatin1String("FAIL") &&
            !QTest::currentTestFailed())
            m_matrix.last().verdict = QStringLiteral("ok");
        m_jobs.clear();
        m_reportMs.clear();
    }

    void cleanupTestCase()
    {
        tearDownHost();
        if (m_fifoWriter.state() != QProcess::NotRunning)
            m_fifoWriter.waitForFinished(10000);
        printMatrix();
        qInstallMessageHandler(g_previousHandler);
    }

    // 5xx and refusals from the cloud server and the storage: transient ones are retried
    // within the budget (retries + 1 attempts), a multipart start is never retried (the job
    // goes up as a single PUT instead), other refusals end the job at once.
    void serverAndStorageFailures_data();
    void serverAndStorageFailures() { runRow(); }

    // Connections reset while the body goes out, or closed without an answer (on a kept-alive
    // connection, where libcurl would send the request again by itself).
    void brokenConnections_data();
    void brokenConnections() { runRow(); }

    // A request moving no byte for the stall time-out ends within one more second (-1028);
    // a shorter pause never fails it.
    void stallsAndPauses_data();
    void stallsAndPauses() { runRow(); }

    // Answers of the cloud server that cannot be used as they are: every completion answer
    // ends its job.
    void unusableAnswers_data();
    void unusableAnswers() { runRow(); }

    // Only plain files are uploaded; anything else fails at once without blocking the host.
    void oddLocalFiles_data();
    void oddLocalFiles() { runRow(); }

    // The same job submitted again while its transfer is in flight: uploaded again after it.
    void resubmissionWhileInFlight_data();
    void resubmissionWhileInFlight() { runRow(); }

    // A stop in any phase: no report for the stopped job, nothing more sent for it, and the
    // place goes to the next job.
    void stopInEveryPhase_data();
    void stopInEveryPhase() { runRow(); }

    void vxuploadTakesRelativePlugin();

    // Runs last: what the plugin logged during every case above.
    void logsCarryNoCredentials();

private:
    void runRow();
    void runCase(const FaultCase& c);
    void onProxyEvent(const FaultProxy::Event& event);
    QString makeLocal(Local file, int index);
    Job& addJob(const QString& local, const QString& remote, bool faulted);
    QVector<FaultProxy::Event> requestsOf(const Job& job, const Rule& rule) const;
    QVector<qint64> cutTimes(const Job& job, const Rule& rule) const;
    QString observe(const FaultCase& c, qint64 elapsedMs) const;
    void checkStoredCopy(const Job& job, const Report& report);
    void printMatrix() const;

    FaultProxy m_proxy;
    QString m_runId;
    int m_caseCount = 0;
    QElapsedTimer m_clock;
    QVector<Job> m_jobs; // of the current row
    Twist m_twist = Twist::None;
    Local m_file = Local::Small;
    QSet<QString> m_acted; // remote paths whose hold was acted upon
    QHash<QString, QVector<qint64>>
        m_reportMs; // final reports by remote path, on the proxy's clock
    QProcess m_fifoWriter;
    QVector<MatrixRow> m_matrix;
};

void tst_Faults::serverAndStorageFailures_data()
{
    QTest::addColumn<FaultCase>("fault");
    const Local small = Local::Small;
    const Local multi = Local::Multipart;
    QTest::newRow("upload-URL request 503 once")
        << hit(small, {Req::UploadUrl, Fault::Status, 503, 1}, 0, 2);
    QTest::newRow("upload-URL request 503 always") << withNever(
        hit(small, {Req::UploadUrl, Fault::Status, 503}, -1, kRetries + 1), {Req::Put});
    QTest::newRow("upload-URL request 401, not retried")
        << hit(small, {Req::UploadUrl, Fault::Status, 401}, -1, 1);
    QTest::newRow("multipart start 503, single upload instead")
        << withNever(hit(multi, {Req::MultipartStart, Fault::Status, 503}, 0, 1), {Req::Part});
    QTest::newRow("completion 503 once")
        << hit(multi, {Req::Completion, Fault::Status, 503, 1}, 0, 2);
    QTest::newRow("completion 503 always")
        << hit(multi, {Req::Completion, Fault::Status, 503}, -1, kRetries + 1);
    QTest::newRow("completion done, its answer replaced by 503 once")
        << hit(multi, {Req::Completion, Fault::Rewrite, 0, 1, "status503"}, 0, 2);
    QTest::newRow("PUT 503 once") << hit(small, {Req::Put, Fault::Status, 503, 1}, 0, 2);
    QTest::newRow("PUT 503 always")
        << hit(small, {Req::Put, Fault::Status, 503}, 503, kRetries + 1);
    QTest::newRow("PUT 403, not retried") << hit(small, {Req::Put, Fault::Status, 403}, 403, 1);
    const Rule part2Once{Req::Part, Fault::Status, 503, 1, {}, 2};
    QTest::newRow("part 2 503 once") << hit(multi, part2Once, 0, 2);
    QTest::newRow("part 2 503 always")
        << withNever(hit(multi, {Req::Part, Fault::Status, 503, -1, {}, 2}, 503, kRetries + 1),
                     {Req::Completion});
}

void tst_Faults::brokenConnections_data()
{
    QTest::addColumn<FaultCase>("fault");
    const Local small = Local::Small;
    const Local multi = Local::Multipart;
    const int transport = -1000;
    const int sendError = transport - 55; // CURLE_SEND_ERROR
    const int recvError = transport - 56; // CURLE_RECV_ERROR
    QTest::newRow("PUT reset mid-body once") << hit(small, {Req::Put, Fault::Reset, 0, 1}, 0, 2);
    FaultCase putReset = hit(small, {Req::Put, Fault::Reset}, recvError, kRetries + 1);
    putReset.alsoAccepted = sendError; // reset while sending, or while awaiting the answer
    QTest::newRow("PUT reset mid-body always") << putReset;
    FaultCase partReset =
        hit(multi, {Req::Part, Fault::Reset, 0, -1, {}, 2}, sendError, kRetries + 1);
    partReset.alsoAccepted = recvError;
    partReset.never = {Req::Completion};
    QTest::newRow("part 2 reset mid-body always") << partReset;
    QTest::newRow("PUT closed without answer always")
        << hit(small, {Req::Put, Fault::Close}, transport - 52, kRetries + 1);
    QTest::newRow("upload-URL request closed without answer always")
        << hit(small, {Req::UploadUrl, Fault::Close}, -1, kRetries + 1);
    QTest::newRow("completion closed without answer once")
        << hit(multi, {Req::Completion, Fault::Close, 0, 1}, 0, 2);
    QTest::newRow("completion closed without answer always")
        << hit(multi, {Req::Completion, Fault::Close}, -1, kRetries + 1);
    QTest::newRow("completion done, connection closed before its answer once")
        << hit(multi, {Req::Completion, Fault::Rewrite, 0, 1, "noAnswer"}, 0, 2);
}

void tst_Faults::stallsAndPauses_data()
{
    QTest::addColumn<FaultCase>("fault");
    const Local small = Local::Small;
    const Local multi = Local::Multipart;
    const int stall = -1000 - 28; // CURLE_OPERATION_TIMEDOUT
    QTest::newRow("PUT answer never comes")
        << timed(hit(small, {Req::Put, Fault::Stall}, stall, kRetries + 1));
    QTest::newRow("part 1 no longer read mid-body") << timed(
        withNever(hit(multi, {Req::Part, Fault::Stall, int(kMiB), -1, {}, 1}, stall, kRetries + 1),
                  {Req::Completion}));
    QTest::newRow("upload-URL answer never comes")
        << timed(hit(small, {Req::UploadUrl, Fault::Stall}, -1, kRetries + 1));
    QTest::newRow("completion answer never comes")
        << timed(hit(multi, {Req::Completion, Fault::DelayAnswer, -1}, -1, kRetries + 1));
    QTest::newRow("PUT pauses 1.2 s, under the time-out")
        << hit(small, {Req::Put, Fault::Pause, 1200}, 0, 1);
    QTest::newRow("part 2 pauses 3.5 s once, over the time-out")
        << timed(hit(multi, {Req::Part, Fault::Pause, 3500, 1, {}, 2}, 0, 2));
    QTest::newRow("completion answer 1.2 s late")
        << hit(multi, {Req::Completion, Fault::DelayAnswer, 1200}, 0, 1);
}

void tst_Faults::unusableAnswers_data()
{
    QTest::addColumn<FaultCase>("fault");
    const Local small = Local::Small;
    const Local multi = Local::Multipart;
    const auto rewrite = [](Req req, const char* edit) {
        return Rule{req, Fault::Rewrite, 0, -1, QString::fromLatin1(edit)};
    };
    QTest::newRow("upload-URL answer not JSON")
        << withNever(hit(small, rewrite(Req::UploadUrl, "notJson"), -1, 1), {Req::Put});
    QTest::newRow("upload-URL answer without data")
        << withNever(hit(small, rewrite(Req::UploadUrl, "noData"), -2002, 1), {Req::Put});
    QTest::newRow("multipart start answer not JSON, single upload instead")
        << withNever(hit(multi, rewrite(Req::MultipartStart, "notJson"), 0, 1), {Req::Part});
    QTest::newRow("multipart start answer without data, single upload instead")
        << withNever(hit(multi, rewrite(Req::MultipartStart, "noData"), 0, 1), {Req::Part});
    QTest::newRow("completion answer not JSON")
        << hit(multi, rewrite(Req::Completion, "notJson"), -1, 1);
    QTest::newRow("completion answer without data")
        << hit(multi, rewrite(Req::Completion, "noData"), 0, 1);
    QTest::newRow("completion refusal without data")
        << hit(multi, rewrite(Req::Completion, "refusalNoData"), -1, 1);
    QTest::newRow("completion answer without uploadid")
        << hit(multi, rewrite(Req::Completion, "noUploadId"), 0, 1);
    QTest::newRow("completion answer naming another upload")
        << hit(multi, rewrite(Req::Completion, "otherUploadId"), 0, 1);
}

void tst_Faults::oddLocalFiles_data()
{
    QTest::addColumn<FaultCase>("fault");
    const Rule none{Req::UploadUrl, Fault::Status, 500, 0}; // never applied
    QTest::newRow("FIFO") << hit(Local::Fifo, none, -2001, 0);
    QTest::newRow("/proc file, size 0 with content") << hit(Local::ProcFile, none, -2001, 0);
    QTest::newRow("directory") << hit(Local::Directory, none, -2001, 0);
    QTest::newRow("missing file") << hit(Local::Missing, none, -1, 0);
    QTest::newRow("file changed during a multipart upload") << withNever(
        hit(Local::ChangedDuringParts, {Req::Part, Fault::Pause, 300, 1, {}, 1}, -3003),
        {Req::Completion});
}

void tst_Faults::resubmissionWhileInFlight_data()
{
    QTest::addColumn<FaultCase>("fault");
    const Local small = Local::Small;
    const Local multi = Local::Multipart;
    QTest::newRow("single upload submitted again during its PUT")
        << twisted(hit(small, {Req::Put, Fault::Pause, 800, 1}, 0, 2), Twist::ResubmitOnHold);
    QTest::newRow("multipart upload submitted again during part 1") << twisted(
        hit(multi, {Req::Part, Fault::Pause, 800, 1, {}, 1}, 0, 2), Twist::ResubmitOnHold);
}

void tst_Faults::stopInEveryPhase_data()
{
    QTest::addColumn<FaultCase>("fault");
    const Local small = Local::Small;
    const Local multi = Local::Multipart;
    QTest::newRow("stop while waiting in the queue")
        << twisted(hit(small, {Req::Put, Fault::Pause, 1000, 1}, 0, 1), Twist::StopQueued);
    const auto stopAt = [](Local file, Rule rule, int attempts, QVector<Req> never) {
        return twisted(withNever(hit(file, rule, kNoReport, attempts), never), Twist::StopOnHold);
    };
    QTest::newRow("stop during the upload-URL request")
        << stopAt(small, {Req::UploadUrl, Fault::DelayAnswer, kHoldMs}, 1, {Req::Put});
    QTest::newRow("stop during the PUT")
        << stopAt(small, {Req::Put, Fault::Pause, kHoldMs}, 1, QVector<Req>());
    QTest::newRow("stop before the multipart start answer") << stopAt(
        multi, {Req::MultipartStart, Fault::DelayAnswer, kHoldMs}, 1, {Req::Part, Req::UploadUrl});
    QTest::newRow("stop during part 1")
        << stopAt(multi, {Req::Part, Fault::Pause, kHoldMs}, 1, {Req::Completion});
    QTest::newRow("stop during the completion")
        << stopAt(multi, {Req::Completion, Fault::DelayAnswer, kHoldMs}, 1, {});
}

void tst_Faults::runRow()
{
    QFETCH(FaultCase, fault);
    m_matrix.append({QString::fromLatin1(QTest::currentDataTag()), expectedText(fault), {}});
    runCase(fault);
}

QString tst_Faults::makeLocal(Local file, int index)
{
    const QString name = m_dir.filePath(QStringLiteral("c%1-%2").arg(m_caseCount).arg(index));
    switch (file) {
    case Local::Small:
        return makeFile(300000);
    case Local::Multipart:
    case Local::ChangedDuringParts:
        return makeFile(2 * kSliceLen + kMiB);
    case Local::Fifo:
        if (mkfifo(QFile::encodeName(name).constData(), 0600) != 0)
            return {};
        // Should the plugin open them after all, a writer turns up after 3 s: the row then
        // fails on time instead of hanging the whole suite. Opened read-write, a FIFO never
        // blocks its writer.
        if (index == 2 && m_fifoWriter.state() == QProcess::NotRunning) {
            m_fifoWriter.start("sh", {"-c", "sleep 3; exec 3<>\"$0\" 4<>\"$1\"; sleep 1",
                                      name.left(name.size() - 1) + '1', name});
        }
        return name;
    case Local::ProcFile:
        return QStringLiteral("/proc/self/status");
    case Local::Directory:
        return QDir().mkpath(name) ? name : QString();
    case Local::Missing:
        return name;
    }
    return {};
}

tst_Faults::Job& tst_Faults::addJob(const QString& local, const QString& remote, bool faulted)
{
    Job job;
    job.local = local;
    job.remote = remote;
    job.faulted = faulted;
    // bc_bcode allows multipart: a file longer than one slice goes up in parts.
    job.json = QJsonObject{{"localPath", local},
                           {"remotePath", remote},
                           {"bucketName", m_stack.value("BUCKET")},
                           {"project", "faults"},
                           {"bc_bcode", "FAULTS-1"}};
    m_jobs.append(job);
    return m_jobs.last();
}

void tst_Faults::onProxyEvent(const FaultProxy::Event& event)
{
    if (event.event != QLatin1String("held") || m_acted.contains(event.remote))
        return;
    for (const Job& job : qAsConst(m_jobs)) {
        if (job.remote != event.remote || !job.faulted)
            continue;
        m_acted.insert(event.remote);
        if (m_twist == Twist::StopOnHold)
            m_upload->stopUploadFileByPost(job.json);
        else if (m_twist == Twist::ResubmitOnHold)
            m_upload->uploadFileByPost(job.json);
        if (m_file == Local::ChangedDuringParts) {
            QFile file(job.local); // one byte more: size and time change before part 2
            if (file.open(QIODevice::Append))
                file.write("x");
        }
        return;
    }
}

QVector<FaultProxy::Event> tst_Faults::requestsOf(const Job& job, const Rule& rule) const
{
    QVector<FaultProxy::Event> requests;
    for (const FaultProxy::Event& e : m_proxy.eventsOf("request", kindOf(rule.req), job.remote)) {
        if (rule.part == 0 || e.part == rule.part)
            requests.append(e);
    }
    return requests;
}

// How long the plugin let each held attempt of the job wait before giving up on it, as seen
// from here: until its next attempt arrived (less the back-off before it) or, after the last,
// until the job's report. The proxy cannot see a close while it does not read.
QVector<qint64> tst_Faults::cutTimes(const Job& job, const Rule& rule) const
{
    const QVector<FaultProxy::Event> requests = requestsOf(job, rule);
    QVector<qint64> cuts;
    for (const FaultProxy::Event& held : m_proxy.eventsOf("held", kindOf(rule.req), job.remote)) {
        if (rule.part != 0 && held.part != rule.part)
            continue;
        int attempt = 0; // the held one, counted from 1
        while (attempt < requests.size() && requests.at(attempt).seenMs <= held.seenMs)
            ++attempt;
        if (attempt < requests.size()) {
            const qint64 backOff = qint64(kRetryDelayMs) << (attempt - 1);
            cuts.append(requests.at(attempt).seenMs - held.seenMs - backOff);
            continue;
        }
        for (qint64 reportMs : m_reportMs.value(job.remote)) {
            if (reportMs >= held.seenMs) {
                cuts.append(reportMs - held.seenMs);
                break;
            }
        }
    }
    return cuts;
}

void tst_Faults::runCase(const FaultCase& c)
{
    ++m_caseCount;
    m_twist = c.twist;
    m_file = c.file;
    m_acted.clear();

    QJsonObject rule{
        {"kind", kindOf(c.rule.req)}, {"action", actionOf(c.rule.fault)}, {"match", "/fault-"}};
    if (c.rule.times >= 0)
        rule.insert("times", c.rule.times);
    if (c.rule.part > 0)
        rule.insert("part", c.rule.part);
    if (c.rule.fault == Fault::Status)
        rule.insert("status", c.rule.value);
    if (c.rule.fault == Fault::Pause || c.rule.fault == Fault::DelayAnswer)
        rule.insert("ms", c.rule.value);
    if (c.rule.fault == Fault::Stall && c.rule.value > 0)
        rule.insert("afterBytes", c.rule.value);
    if (!c.rule.edit.isEmpty())
        rule.insert("edit", c.rule.edit);
    QVERIFY(m_proxy.setRules(QJsonArray{rule}));

    {
        // Read by the request components the plugin creates; startPlugin adds the hosts.
        QSettings ini(m_iniPath, QSettings::IniFormat);
        ini.setValue("Network/retries", kRetries);
        ini.setValue("Network/retryDelayMs", kRetryDelayMs);
        ini.setValue("Network/stallTimeoutSec", kStallSec);
        ini.setValue("Network/connectTimeoutSec", 5);
    }
    QVERIFY(startPlugin(m_stack.value("TOKEN"), kSliceLen));

    const QString base = QStringLiteral("faults/%1/%2/").arg(m_runId).arg(m_caseCount);
    for (int i = 1; i <= 2; ++i) {
        const QString local = makeLocal(c.file, i);
        QVERIFY2(!local.isEmpty(), "the local file could not be made");
        addJob(local, base + QStringLiteral("fault-%1.bin").arg(i), true).reports =
            c.code == kNoReport                ? 0
            : c.twist == Twist::ResubmitOnHold ? 2
                                               : 1;
    }
    if (c.twist == Twist::StopQueued)
        addJob(makeFile(100000), base + "waiting.bin", false).reports = 0;
    addJob(makeFile(100000), base + "follower.bin", false);

    QElapsedTimer elapsed;
    elapsed.start();
    for (const Job& job : qAsConst(m_jobs)) {
        m_upload->uploadFileByPost(job.json);
        if (job.remote.endsWith("waiting.bin"))
            m_upload->stopUploadFileByPost(job.json); // still waiting behind the first two
    }
    const qint64 submittedMs = elapsed.elapsed();

    const auto allReported = [this] {
        for (const Job& job : qAsConst(m_jobs)) {
            if (reportsOf(job.remote, true).size() < job.reports)
                return false;
        }
        return true;
    };
    (void)QTest::qWaitFor(allReported, 40000); // the checks below say what is missing
    // Late or second reports, and requests sent after a stop, show up meanwhile.
    QTest::qWait(c.twist == Twist::StopOnHold ? kHoldMs + 1500 : 500);
    m_matrix.last().observed = observe(c, elapsed.elapsed());

    // Every job got the reports it must get, each naming it; a faulted job with the code.
    for (const Job& job : qAsConst(m_jobs)) {
        const QVector<Report> finals = reportsOf(job.remote, true);
        QVERIFY2(finals.size() == job.reports,
                 qPrintable(QStringLiteral("%1: %2 final reports, expected %3")
                                .arg(job.remote.section('/', -1))
                                .arg(finals.size())
                                .arg(job.reports)));
        for (const Report& report : finals) {
            QCOMPARE(report.job.value("localPath").toString(), job.local);
            QCOMPARE(report.job.value("bucketName").toString(), m_stack.value("BUCKET"));
            const int want = job.faulted ? c.code : 0;
            QVERIFY2(report.value == want ||
                         (job.faulted && c.alsoAccepted && report.value == c.alsoAccepted),
                     qPrintable(QStringLiteral("%1: code %2, expected %3")
                                    .arg(job.remote.section('/', -1))
                                    .arg(report.value)
                                    .arg(codeText(want))));
            if (report.value == 0)
                checkStoredCopy(job, report);
        }
        if (job.reports == 0) {
            const bool waited = job.remote.endsWith("waiting.bin");
            for (const FaultProxy::Event& e : m_proxy.events())
                QVERIFY2(!(waited && e.remote == job.remote), "a stopped waiting job was sent");
        }
    }

    // Local files that cannot be uploaded fail at once, inside the submission or right after.
    if (c.file != Local::Small && c.file != Local::Multipart &&
        c.file != Local::ChangedDuringParts) {
        QVERIFY2(submittedMs < 1000,
                 qPrintable(QStringLiteral("submission took %1 ms").arg(submittedMs)));
    }

    for (const Job& job : qAsConst(m_jobs)) {
        if (!job.faulted)
            continue;
        if (c.attempts >= 0) {
            QVERIFY2(requestsOf(job, c.rule).size() == c.attempts,
                     qPrintable(QStringLiteral("%1 %2 requests, expected %3")
                                    .arg(requestsOf(job, c.rule).size())
                                    .arg(kindOf(c.rule.req))
                                    .arg(c.attempts)));
        }
        for (Req req : c.never) {
            QVERIFY2(m_proxy.eventsOf("request", kindOf(req), job.remote).isEmpty(),
                     qPrintable(QStringLiteral("a %1 request was sent").arg(kindOf(req))));
        }
        if (c.timed) {
            const QVector<qint64> cuts = cutTimes(job, c.rule);
            QVERIFY2(!cuts.isEmpty(), "no held attempt was given up");
            for (qint64 cut : cuts) {
                QVERIFY2(cut >= kStallSec * 1000 - 500 && cut <= kStallSec * 1000 + 1000,
                         qPrintable(QStringLiteral("an attempt given up after %1 ms").arg(cut)));
            }
        }
    }
}

QString tst_Faults::observe(const FaultCase& c, qint64 elapsedMs) const
{
    QStringList codes;
    QStringList attempts;
    QStringList held;
    QString follower = QStringLiteral("none");
    for (const Job& job : m_jobs) {
        QStringList own;
        for (const Report& report : reportsOf(job.remote, true)) {
            own.append(QString::number(report.value));
            if (report.value == 0 && report.job.value("downloadUrl").toString().isEmpty())
                own.last() += QStringLiteral(" (no downloadUrl)");
        }
        if (!job.faulted) {
            if (job.remote.endsWith("follower.bin"))
                follower = own.isEmpty() ? QStringLiteral("none") : own.join('+');
            continue;
        }
        codes.append(own.isEmpty() ? QStringLiteral("none") : own.join('+'));
        attempts.append(QString::number(requestsOf(job, c.rule).size()));
        for (qint64 cut : cutTimes(job, c.rule))
            held.append(QString::number(cut));
    }
    QString text = QStringLiteral("codes %1; %2 %3; next job %4; %5 s")
                       .arg(codes.join(','), attempts.join(','), kindOf(c.rule.req), follower)
                       .arg(elapsedMs / 1000.0, 0, 'f', 1);
    if (c.timed)
        text += QStringLiteral("; given up after %1 ms").arg(held.join(','));
    return text;
}

void tst_Faults::checkStoredCopy(const Job& job, const Report& report)
{
    // A completion answer without "data" gives no Location: the object is read from the
    // storage then (it allows unsigned reads).
    QString url = report.job.value("downloadUrl").toString();
    if (url.isEmpty())
        url = m_stack.value("STORAGE_URL") + '/' + m_stack.value("BUCKET") + '/' + job.remote;
    const QString copy = m_dir.filePath("downloaded.bin");
    QFile::remove(copy);
    QCOMPARE(directGet(url, copy), 200);
    QVERIFY2(sha256Of(copy) == sha256Of(job.local),
             qPrintable(job.remote.section('/', -1) + ": the stored bytes differ from the file"));
}

void tst_Faults::vxuploadTakesRelativePlugin()
{
    m_matrix.append({QStringLiteral("vxupload with a relative --plugin"),
                     QStringLiteral("exit 0, code 0"),
                     {}});
    const QString tool = qEnvironmentVariable("VX_FAULTS_VXUPLOAD");
    QVERIFY2(QFileInfo(tool).isExecutable(), "VX_FAULTS_VXUPLOAD names no vxupload");
    // A copy with its own fileUpload.ini, as a user installs it; the plugin named relative to
    // the working directory, which is not the tool's folder.
    const QString cli = m_dir.filePath("cli");
    QVERIFY(QDir().mkpath(cli));
    QVERIFY(QFile::copy(tool, cli + "/vxupload"));
    {
        QSettings ini(cli + "/fileUpload.ini", QSettings::IniFormat);
        ini.setValue("HostInformation/cloudHost", m_stack.value("API_URL"));
        ini.setValue("HostInformation/token", m_stack.value("TOKEN"));
    }
    const QFileInfo plugin(qEnvironmentVariable("VX_E2E_PLUGIN"));
    const QString workDir = plugin.dir().absoluteFilePath("..");
    const QString relative = QDir(workDir).relativeFilePath(plugin.absoluteFilePath());
    QVERIFY(QDir::isRelativePath(relative));

    const QString local = makeFile(150000);
    const QString remote = QStringLiteral("faults/%1/vxupload.bin").arg(m_runId);
    QProcess run;
    QProcessEnvironment environment = withoutProxy();
    for (const char* name : {"VXUPLOAD_PLUGIN", "VXUPLOAD_API_HOST", "VXUPLOAD_TOKEN"})
        environment.remove(QString::fromLatin1(name));
    run.setProcessEnvironment(environment);
    run.setWorkingDirectory(workDir);
    run.start(cli + "/vxupload", {"--plugin", relative, "--json", "--timeout", "30", "--bucket",
                                  m_stack.value("BUCKET"), local + ':' + remote});
    QVERIFY(run.waitForFinished(40000));
    const QByteArray out = run.readAllStandardOutput();
    const QByteArray err = run.readAllStandardError();
    g_messages.append(QString::fromUtf8(err)); // its diagnostics are checked like ours
    const QJsonObject line = QJsonDocument::fromJson(out.trimmed()).object();
    m_matrix.last().observed =
        QStringLiteral("exit %1, code %2")
            .arg(run.exitCode())
            .arg(line.isEmpty() ? QStringLiteral("none")
                                : QString::number(line.value("result").toInt()));
    QVERIFY2(run.exitStatus() == QProcess::NormalExit && run.exitCode() == 0, err.constData());
    QCOMPARE(line.value("result").toInt(-99), 0);
    const Job job{{}, local, remote, 1, false};
    checkStoredCopy(job, {true, 0, line.value("job").toObject()});
}

void tst_Faults::logsCarryNoCredentials()
{
    // The failures above were logged (PUTs, refusals): the check below saw real lines.
    QVERIFY2(g_messages.size() > 10, qPrintable(QString::number(g_messages.size())));
    const QString token = m_stack.value("TOKEN");
    int leaks = 0;
    for (const QString& message : qAsConst(g_messages)) {
        if (message.contains("X-Amz-Signature", Qt::CaseInsensitive) ||
            message.contains("X-Amz-Credential", Qt::CaseInsensitive) || message.contains(token))
            ++leaks;
    }
    m_matrix.append({QStringLiteral("no signature or token in the log"),
                     QStringLiteral("0 of the lines"),
                     QStringLiteral("%1 of %2 lines").arg(leaks).arg(g_messages.size())});
    QCOMPARE(leaks, 0);
}

void tst_Faults::printMatrix() const
{
    int nameWidth = 4;
    int expectedWidth = 8;
    for (const MatrixRow& row : m_matrix) {
        nameWidth = qMax(nameWidth, row.name.size());
        expectedWidth = qMax(expectedWidth, row.expected.size());
    }
    QString table = QStringLiteral("\nFault matrix (%1 cases, %2 s)\n")
                        .arg(m_matrix.size())
                        .arg(m_clock.elapsed() / 1000.0, 0, 'f', 1);
    const auto line = [&](const QString& verdict, const QString& name, const QString& expected,
                          const QString& observed) {
        table += verdict.leftJustified(5) + name.leftJustified(nameWidth + 2) +
                 expected.leftJustified(expectedWidth + 2) + observed + '\n';
    };
    line("", "case", "expected", "observed");
    for (const MatrixRow& row : m_matrix)
        line(row.verdict, row.name, row.expected, row.observed);
    fputs(table.toUtf8().constData(), stdout);
    fflush(stdout);
}

QTEST_GUILESS_MAIN(tst_Faults)
#include "tst_faults.moc"
