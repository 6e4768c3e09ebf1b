// The fault matrix: the shipped plugin against the stack's server and storage, with a forward
// proxy in between (FaultProxy, this process's http_proxy) that injects one fault per row into
// the requests of two jobs. A third, untouched job is queued behind them: it can only start
// once one of them has ended, so a job that hangs shows as a follower that never reports.
// Every row checks the final reports (one per job, none for a stopped one, each naming its job,
// the expected code), the attempts on the wire, and for every success the stored bytes (read
// by curl, not through the proxy). cleanupTestCase prints the matrix: case, expected, observed.
#include "FaultProxy.h"
#include "e2ehost.h"

#include <QElapsedTimer>
#include <QJsonDocument>

#include <climits>
#include <memory>
#include <sys/stat.h>

using e2e::kMiB;

namespace {

constexpr qint64 kSliceLen = 5 * kMiB;
constexpr int kRetries = 2;
constexpr int kTries = kRetries + 1; // attempts of a request that keeps failing
// Well clear of every pause and held answer below, so that a loaded machine cannot turn one
// into a stall, nor let a stall slip past its pause.
constexpr int kStallSec = 3;
constexpr int kRetryDelayMs = 100;
constexpr int kHold = 1500; // ms a stop row holds its phase's request (under the stall)
constexpr int kNoReport = INT_MIN;
constexpr int kCurl = -1000; // a transport failure's code is kCurl - its CURLcode
constexpr int kSendError = kCurl - 55;
constexpr int kRecvError = kCurl - 56;

// The requests of an upload, as the proxy tells them apart.
enum Req { UploadUrl, MultipartStart, Completion, Put, Part };
const char* const kReqKinds[] = {"fileuploadurl", "initmultipart", "completemultipart", "put",
                                 "part"};
// What the proxy does to a matching request (faultproxy.js: "action").
enum Fault { Status, Reset, Close, Stall, Pause, DelayAnswer, Rewrite, Flip };
const char* const kFaultActions[] = {"status", "reset",       "close",   "stall",
                                     "pause",  "delayAnswer", "rewrite", "flip"};
// The local file of the faulted jobs.
enum Local { Small, Multipart, Fifo, ProcFile, Directory, Missing, ChangedDuringParts };
// Besides the fault: act on each faulted job when the proxy begins to hold one of its requests
// (stop it, or submit it again).
enum Twist { NoTwist, StopOnHold, ResubmitOnHold };

struct Rule
{
    Req req;
    Fault fault;
    int value = 0;  // HTTP status of Status; ms of Pause and DelayAnswer; body bytes read before
                    // a Stall (0: all of them)
    int times = -1; // the first `times` matching requests of each job; -1: all
    int part = 0;   // of Part: only this part number; 0: any
    const char* edit = nullptr; // of Rewrite: "notJson", "noData", "status503", ...
};

struct FaultCase
{
    Local file;
    Rule rule;
    int code;             // the result of each faulted job, kNoReport when stopped
    int attempts = -1;    // requests of the rule's kind (and part) per job; -1: unchecked
    QVector<Req> never{}; // requests never sent for a faulted job
    bool timed = false;   // each held attempt is given up within the stall time-out + 1 s
    Twist twist = NoTwist;
    int alsoAccepted = 0; // another code that says the same (a reset while libcurl sends the
                          // body, or while it waits for the answer); 0: none
};

struct Row
{
    const char* name;
    FaultCase fault;
};

const Rule kNoFault{UploadUrl, Status, 500, 0}; // applied to no request
const FaultCase kStopAt = {Small, kNoFault, kNoReport, 1, {}, false, StopOnHold};

FaultCase stopAt(Local file, Rule rule, QVector<Req> never)
{
    FaultCase c = kStopAt;
    c.file = file;
    c.rule = rule;
    c.never = never;
    return c;
}

// 5xx and refusals from the cloud server and the storage: transient ones are retried within
// the budget (retries + 1 attempts), a multipart start is never retried (the job goes up as a
// single PUT instead), other refusals end the job at once.
const Row kServerAndStorageFailures[] = {
    {"upload-URL request 503 once", {Small, {UploadUrl, Status, 503, 1}, 0, 2}},
    {"upload-URL request 503 always", {Small, {UploadUrl, Status, 503}, -1, kTries, {Put}}},
    {"upload-URL request 401, not retried", {Small, {UploadUrl, Status, 401}, -1, 1}},
    {"multipart start 503, single upload instead",
     {Multipart, {MultipartStart, Status, 503}, 0, 1, {Part}}},
    {"completion 503 once", {Multipart, {Completion, Status, 503, 1}, 0, 2}},
    {"completion 503 always", {Multipart, {Completion, Status, 503}, -1, kTries}},
    {"completion done, its answer replaced by 503 once",
     {Multipart, {Completion, Rewrite, 0, 1, 0, "status503"}, 0, 2}},
    {"PUT 503 once", {Small, {Put, Status, 503, 1}, 0, 2}},
    {"PUT 503 always", {Small, {Put, Status, 503}, 503, kTries}},
    {"PUT 403, not retried", {Small, {Put, Status, 403}, 403, 1}},
    {"part 2 503 once", {Multipart, {Part, Status, 503, 1, 2}, 0, 2}},
    {"part 2 503 always", {Multipart, {Part, Status, 503, -1, 2}, 503, kTries, {Completion}}},
};

// Connections reset while the body goes out (the code tells whether libcurl was still sending
// or already waiting for the answer), or closed without an answer (on a kept-alive connection,
// where libcurl would send the request again by itself).
const Row kBrokenConnections[] = {
    {"PUT reset mid-body once", {Small, {Put, Reset, 0, 1}, 0, 2}},
    {"PUT reset mid-body always",
     {Small, {Put, Reset}, kRecvError, kTries, {}, false, NoTwist, kSendError}},
    {"part 2 reset mid-body always",
     {Multipart, {Part, Reset, 0, -1, 2}, kSendError, kTries, {Completion}, false, NoTwist,
      kRecvError}},
    {"PUT closed without answer always", {Small, {Put, Close}, kCurl - 52, kTries}},
    {"upload-URL request closed without answer always", {Small, {UploadUrl, Close}, -1, kTries}},
    {"completion closed without answer once", {Multipart, {Completion, Close, 0, 1}, 0, 2}},
    {"completion closed without answer always", {Multipart, {Completion, Close}, -1, kTries}},
    {"completion done, connection closed before its answer once",
     {Multipart, {Completion, Rewrite, 0, 1, 0, "noAnswer"}, 0, 2}},
};

// A byte damaged on the way: the storage keeps what it received and names it by its MD5 ETag,
// which is not the MD5 of what the plugin sent; the request is sent again, and damage is never
// reported as stored (a success's stored bytes are compared with the file's).
const Row kDamagedBytes[] = {
    {"PUT body damaged once", {Small, {Put, Flip, 0, 1}, 0, 2}},
    {"part 2 damaged always",
     {Multipart, {Part, Flip, 0, -1, 2}, -2004, kTries, {Completion}}},
};

// A request moving no byte for the stall time-out ends within one more second
// (CURLE_OPERATION_TIMEDOUT); a shorter pause never fails it.
const int kStalled = kCurl - 28;
const Row kStallsAndPauses[] = {
    {"PUT answer never comes", {Small, {Put, Stall}, kStalled, kTries, {}, true}},
    {"part 1 no longer read mid-body",
     {Multipart, {Part, Stall, int(kMiB), -1, 1}, kStalled, kTries, {Completion}, true}},
    {"upload-URL answer never comes", {Small, {UploadUrl, Stall}, -1, kTries, {}, true}},
    {"PUT pauses 1.2 s, under the time-out", {Small, {Put, Pause, 1200}, 0, 1}},
    {"part 2 pauses 4.5 s once, over the time-out",
     {Multipart, {Part, Pause, 4500, 1, 2}, 0, 2, {}, true}},
    {"completion answer 1.2 s late", {Multipart, {Completion, DelayAnswer, 1200}, 0, 1}},
};

// Answers of the cloud server that cannot be used as they are: every completion answer ends
// its job, one without data or naming another upload as a success.
const Row kUnusableAnswers[] = {
    {"upload-URL answer not JSON",
     {Small, {UploadUrl, Rewrite, 0, -1, 0, "notJson"}, -1, 1, {Put}}},
    {"upload-URL answer without data",
     {Small, {UploadUrl, Rewrite, 0, -1, 0, "noData"}, -2002, 1, {Put}}},
    {"multipart start answer without data, single upload instead",
     {Multipart, {MultipartStart, Rewrite, 0, -1, 0, "noData"}, 0, 1, {Part}}},
    {"completion answer not JSON", {Multipart, {Completion, Rewrite, 0, -1, 0, "notJson"}, -1, 1}},
    {"completion answer without data",
     {Multipart, {Completion, Rewrite, 0, -1, 0, "noData"}, 0, 1}},
    {"completion refusal without data",
     {Multipart, {Completion, Rewrite, 0, -1, 0, "refusalNoData"}, -1, 1}},
    {"completion answer without uploadid",
     {Multipart, {Completion, Rewrite, 0, -1, 0, "noUploadId"}, 0, 1}},
    {"completion answer naming another upload",
     {Multipart, {Completion, Rewrite, 0, -1, 0, "otherUploadId"}, 0, 1}},
};

// Only plain files are uploaded; anything else fails at once without blocking the host. A file
// that changes between its parts fails the job before its completion.
const Row kOddLocalFiles[] = {
    {"FIFO", {Fifo, kNoFault, -2001, 0}},
    {"/proc file, size 0 with content", {ProcFile, kNoFault, -2001, 0}},
    {"directory", {Directory, kNoFault, -2001, 0}},
    {"missing file", {Missing, kNoFault, -1, 0}},
    {"file changed during a multipart upload",
     {ChangedDuringParts, {Part, Pause, 300, 1, 1}, -3003, -1, {Completion}}},
};

// The same job submitted again while its transfer is in flight: uploaded again after it.
const Row kResubmissionWhileInFlight[] = {
    {"single upload submitted again during its PUT",
     {Small, {Put, Pause, 800, 1}, 0, 2, {}, false, ResubmitOnHold}},
    {"multipart upload submitted again during part 1",
     {Multipart, {Part, Pause, 800, 1, 1}, 0, 2, {}, false, ResubmitOnHold}},
};

// A stop in any phase: no report for the stopped job, nothing more sent for it, its transfer
// abandoned (an API request may finish unheeded), and the place goes to the next job. (A job
// stopped while it waits: the manager's unit tests.)
const Row kStopInEveryPhase[] = {
    {"stop during the upload-URL request", stopAt(Small, {UploadUrl, DelayAnswer, kHold}, {Put})},
    {"stop during the PUT", stopAt(Small, {Put, Pause, kHold}, {})},
    {"stop before the multipart start answer",
     stopAt(Multipart, {MultipartStart, DelayAnswer, kHold}, {Part, UploadUrl})},
    {"stop during part 1", stopAt(Multipart, {Part, Pause, kHold}, {Completion})},
    {"stop during the completion", stopAt(Multipart, {Completion, DelayAnswer, kHold}, {})},
};

template <int N> void addRows(const Row (&rows)[N])
{
    QTest::addColumn<FaultCase>("fault");
    for (const Row& row : rows)
        QTest::newRow(row.name) << row.fault;
}

QString codeText(int code)
{
    return code == kNoReport ? QStringLiteral("no report") : QString::number(code);
}

QString expectedText(const FaultCase& c)
{
    QString text = "code " + codeText(c.code);
    if (c.alsoAccepted)
        text += '|' + QString::number(c.alsoAccepted);
    if (c.twist == ResubmitOnHold)
        text += " x2";
    if (c.attempts >= 0)
        text += QStringLiteral(", %1 %2").arg(c.attempts).arg(kReqKinds[c.rule.req]);
    for (Req req : c.never)
        text += QStringLiteral(", no ") + kReqKinds[req];
    if (c.timed)
        text += QStringLiteral(", given up <= %1 s").arg(kStallSec + 1);
    return text;
}

QJsonObject ruleJson(const Rule& rule)
{
    return {{"kind", kReqKinds[rule.req]},
            {"action", kFaultActions[rule.fault]},
            {"match", "/fault-"},
            {"value", rule.value},
            {"times", rule.times},
            {"part", rule.part},
            {"edit", QString::fromLatin1(rule.edit)}};
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
        int reports; // final reports it must get
        bool faulted;
        QString name() const { return remote.section('/', -1); }
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
        connect(this, &tst_Faults::sglUploadFinished, this, [this](int, const QJsonObject& job) {
            m_reportMs[job.value("remotePath").toString()].append(m_proxy->now());
        });
        m_runId = QString::number(QRandomGenerator::global()->generate(), 16);
        m_clock.start();
    }

    void cleanup()
    {
        if (!m_matrix.isEmpty() && !QTest::currentTestFailed())
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
    }

    void serverAndStorageFailures_data() { addRows(kServerAndStorageFailures); }
    void serverAndStorageFailures() { runRow(); }
    void brokenConnections_data() { addRows(kBrokenConnections); }
    void brokenConnections() { runRow(); }
    void damagedBytes_data() { addRows(kDamagedBytes); }
    void damagedBytes() { runRow(); }
    void stallsAndPauses_data() { addRows(kStallsAndPauses); }
    void stallsAndPauses() { runRow(); }
    void unusableAnswers_data() { addRows(kUnusableAnswers); }
    void unusableAnswers() { runRow(); }
    void oddLocalFiles_data() { addRows(kOddLocalFiles); }
    void oddLocalFiles() { runRow(); }
    void resubmissionWhileInFlight_data() { addRows(kResubmissionWhileInFlight); }
    void resubmissionWhileInFlight() { runRow(); }
    void stopInEveryPhase_data() { addRows(kStopInEveryPhase); }
    void stopInEveryPhase() { runRow(); }

    // Runs last: what the plugin logged during every case above.
    void logsCarryNoCredentials()
    {
        // The failures above were logged (PUTs, refusals): the check below saw real lines.
        QVERIFY2(e2e::g_messages.size() > 10, qPrintable(QString::number(e2e::g_messages.size())));
        const QRegularExpression leak("X-Amz-Signature|X-Amz-Credential|" +
                                          QRegularExpression::escape(m_stack.value("TOKEN")),
                                      QRegularExpression::CaseInsensitiveOption);
        const int leaks = e2e::g_messages.filter(leak).size();
        m_matrix.append({"no signature or token in the log", "0 of the lines",
                         QStringLiteral("%1 of %2 lines").arg(leaks).arg(e2e::g_messages.size())});
        QCOMPARE(leaks, 0);
    }

private:
    void runRow()
    {
        QFETCH(FaultCase, fault);
        m_matrix.append({QTest::currentDataTag(), expectedText(fault), {}});
        runCase(fault);
    }

    void runCase(const FaultCase& c);
    void checkRow(const FaultCase& c, qint64 elapsedMs);
    void onProxyEvent(const FaultProxy::Event& event);
    QString makeLocal(Local file, int index);
    void addJob(const QString& local, const QString& remote, int reports, bool faulted);
    // The proxy's events called `event` of the job's requests of the rule's kind (and part).
    QVector<FaultProxy::Event> eventsOf(const char* event, const Job& job, const Rule& rule) const
    {
        return m_proxy->eventsOf(event, kReqKinds[rule.req], job.remote, rule.part);
    }
    QVector<qint64> cutTimes(const Job& job, const Rule& rule) const;
    void printMatrix() const;

    std::unique_ptr<FaultProxy> m_proxy; // of the current row
    QString m_runId;
    int m_caseCount = 0;
    QElapsedTimer m_clock;
    QVector<Job> m_jobs; // of the current row
    FaultCase m_case{Small, kNoFault, 0};
    QSet<QString> m_acted;                      // remote paths whose hold was acted upon
    QHash<QString, QVector<qint64>> m_reportMs; // final reports by remote path, proxy's clock
    QProcess m_fifoWriter;
    QVector<MatrixRow> m_matrix;
};

void tst_Faults::runCase(const FaultCase& c)
{
    ++m_caseCount;
    m_case = c;
    m_acted.clear();
    m_proxy = std::make_unique<FaultProxy>(); // the previous one ends with its connections
    QVERIFY2(m_proxy->start(qEnvironmentVariable("VX_FAULTS_NODE", "node"),
                            qEnvironmentVariable("VX_FAULTS_PROXY"), {ruleJson(c.rule)}),
             qPrintable(m_proxy->errorString()));
    // libcurl takes its proxy from here for every request of the plugin.
    qputenv("http_proxy", "http://127.0.0.1:" + QByteArray::number(m_proxy->port()));
    connect(m_proxy.get(), &FaultProxy::eventArrived, this, &tst_Faults::onProxyEvent);
    {
        // Read by the request components the plugin creates; startPlugin adds the rest.
        QSettings ini(m_iniPath, QSettings::IniFormat);
        ini.setValue("Network/retries", kRetries);
        ini.setValue("Network/retryDelayMs", kRetryDelayMs);
        ini.setValue("Network/stallTimeoutSec", kStallSec);
        ini.setValue("Network/connectTimeoutSec", 5);
    }
    QVERIFY(startPlugin(m_stack.value("TOKEN"), kSliceLen));

    const QString base = QStringLiteral("faults/%1/%2/").arg(m_runId).arg(m_caseCount);
    const int reports = c.code == kNoReport ? 0 : c.twist == ResubmitOnHold ? 2 : 1;
    for (int i = 1; i <= 2; ++i) {
        const QString local = makeLocal(c.file, i);
        QVERIFY2(!local.isEmpty(), "the local file could not be made");
        addJob(local, base + QStringLiteral("fault-%1.bin").arg(i), reports, true);
    }
    addJob(makeFile(100000), base + "follower.bin", 1, false);

    QElapsedTimer elapsed;
    elapsed.start();
    for (const Job& job : qAsConst(m_jobs))
        m_upload->uploadFileByPost(job.json);
    // Local files that cannot be uploaded fail at once, inside the submission or right after.
    if (c.file != Small && c.file != Multipart && c.file != ChangedDuringParts)
        QVERIFY2(elapsed.elapsed() < 1000, qPrintable(QString::number(elapsed.elapsed())));

    const auto allReported = [this] {
        for (const Job& job : qAsConst(m_jobs)) {
            if (reportsOf(job.remote, true).size() < job.reports)
                return false;
        }
        return true;
    };
    (void)waitFor(allReported, 40000); // the checks below say what is missing
    QVERIFY2(m_stackFailure.isEmpty(), qPrintable(m_stackFailure));
    // Late or second reports, requests sent after a stop and its abandoned requests show up
    // meanwhile (a paused request only once the proxy reads again).
    QTest::qWait(c.twist == StopOnHold ? kHold + 1500 : 500);
    checkRow(c, elapsed.elapsed());
}

// Collects every check that fails, for one message, while it writes the matrix's observations.
void tst_Faults::checkRow(const FaultCase& c, qint64 elapsedMs)
{
    QStringList problems;
    QStringList codes;
    QStringList attempts;
    QStringList cuts;
    QString follower;
    for (const Job& job : qAsConst(m_jobs)) {
        const QVector<Report> finals = reportsOf(job.remote, true);
        if (finals.size() != job.reports)
            problems << QStringLiteral("%1: %2 final reports").arg(job.name()).arg(finals.size());
        QStringList seen;
        for (const Report& report : finals) {
            seen << QString::number(report.value);
            const int want = job.faulted ? c.code : 0;
            const bool also = job.faulted && c.alsoAccepted && report.value == c.alsoAccepted;
            if (report.value != want && !also)
                problems << job.name() + ": code " + seen.last() + ", expected " + codeText(want);
            if (report.job.value("localPath").toString() != job.local ||
                report.job.value("bucketName").toString() != m_stack.value("BUCKET"))
                problems << job.name() + ": a report naming another job";
            if (report.value != 0)
                continue;
            // A completion answer without "data" gives no Location: read from the storage then.
            QString url = report.job.value("downloadUrl").toString();
            if (url.isEmpty())
                seen.last() += " (no downloadUrl)";
            if (!e2e::serves(url.isEmpty() ? objectUrl(job.remote) : url, job.local))
                problems << job.name() + ": the stored bytes differ from the file";
        }
        const QString seenText = seen.isEmpty() ? QStringLiteral("none") : seen.join('+');
        if (job.name() == "follower.bin")
            follower = seenText;
        if (!job.faulted)
            continue;
        codes << seenText;
        const int sent = eventsOf("request", job, c.rule).size();
        attempts << QString::number(sent);
        if (c.attempts >= 0 && sent != c.attempts)
            problems << QStringLiteral("%1 requests, expected %2").arg(sent).arg(c.attempts);
        for (Req req : c.never) {
            if (!m_proxy->eventsOf("request", kReqKinds[req], job.remote).isEmpty())
                problems << QStringLiteral("a %1 request was sent").arg(kReqKinds[req]);
        }
        if (c.twist == StopOnHold && (c.rule.req == Put || c.rule.req == Part) &&
            (!eventsOf("answered", job, c.rule).isEmpty() ||
             eventsOf("aborted", job, c.rule).isEmpty()))
            problems << "the stop did not abandon the transfer it held";
        if (!c.timed)
            continue;
        const QVector<qint64> jobCuts = cutTimes(job, c.rule);
        if (jobCuts.isEmpty())
            problems << "no held attempt was given up";
        for (qint64 cut : jobCuts) {
            cuts << QString::number(cut);
            if (cut < kStallSec * 1000 - 500 || cut > kStallSec * 1000 + 1000)
                problems << QStringLiteral("an attempt given up after %1 ms").arg(cut);
        }
    }
    m_matrix.last().observed =
        QStringLiteral("codes %1; %2 %3; next job %4; %5 s")
            .arg(codes.join(','), attempts.join(','), kReqKinds[c.rule.req], follower)
            .arg(elapsedMs / 1000.0, 0, 'f', 1);
    if (c.timed)
        m_matrix.last().observed += "; given up after " + cuts.join(',') + " ms";
    QVERIFY2(problems.isEmpty(), qPrintable(problems.join("; ")));
}

QString tst_Faults::makeLocal(Local file, int index)
{
    const QString name = m_dir.filePath(QStringLiteral("c%1-%2").arg(m_caseCount).arg(index));
    switch (file) {
    case Small:
        return makeFile(300000);
    case Multipart:
    case ChangedDuringParts:
        return makeFile(2 * kSliceLen + kMiB);
    case Fifo:
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
    case ProcFile:
        return QStringLiteral("/proc/self/status");
    case Directory:
        return QDir().mkpath(name) ? name : QString();
    case Missing:
        return name;
    }
    return {};
}

void tst_Faults::addJob(const QString& local, const QString& remote, int reports, bool faulted)
{
    // bc_bcode allows multipart: a file longer than one slice goes up in parts.
    const QJsonObject json{{"localPath", local},
                           {"remotePath", remote},
                           {"bucketName", m_stack.value("BUCKET")},
                           {"project", "faults"},
                           {"bc_bcode", "FAULTS-1"}};
    m_jobs.append({json, local, remote, reports, faulted});
}

void tst_Faults::onProxyEvent(const FaultProxy::Event& event)
{
    if (event.event != QLatin1String("held") || m_acted.contains(event.remote))
        return;
    for (const Job& job : qAsConst(m_jobs)) {
        if (job.remote != event.remote || !job.faulted)
            continue;
        m_acted.insert(event.remote);
        if (m_case.twist == StopOnHold)
            m_upload->stopUploadFileByPost(job.json);
        else if (m_case.twist == ResubmitOnHold)
            m_upload->uploadFileByPost(job.json);
        if (m_case.file == ChangedDuringParts) {
            QFile file(job.local); // one byte more: size and time change before part 2
            if (file.open(QIODevice::Append))
                file.write("x");
        }
        return;
    }
}

// How long the plugin let each held attempt of the job wait before giving up on it, as seen
// from here: until its next attempt arrived (less the back-off before it) or, after the last,
// until the job's report. The proxy cannot see a close while it does not read.
QVector<qint64> tst_Faults::cutTimes(const Job& job, const Rule& rule) const
{
    const QVector<FaultProxy::Event> requests = eventsOf("request", job, rule);
    QVector<qint64> cuts;
    for (const FaultProxy::Event& held : eventsOf("held", job, rule)) {
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

void tst_Faults::printMatrix() const
{
    const QVector<MatrixRow> rows =
        QVector<MatrixRow>{{"case", "expected", "observed", ""}} + m_matrix;
    int nameWidth = 0;
    int expectedWidth = 0;
    for (const MatrixRow& row : rows) {
        nameWidth = qMax(nameWidth, row.name.size() + 2);
        expectedWidth = qMax(expectedWidth, row.expected.size() + 2);
    }
    QString table = QStringLiteral("\nFault matrix (%1 cases, %2 s)\n")
                        .arg(m_matrix.size())
                        .arg(m_clock.elapsed() / 1000.0, 0, 'f', 1);
    for (const MatrixRow& row : rows)
        table += row.verdict.leftJustified(5) + row.name.leftJustified(nameWidth) +
                 row.expected.leftJustified(expectedWidth) + row.observed + '\n';
    fputs(table.toUtf8().constData(), stdout);
    fflush(stdout);
}

QTEST_GUILESS_MAIN(tst_Faults)
#include "tst_faults.moc"
