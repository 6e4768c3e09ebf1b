// The fault matrix: the shipped plugin against the stack's server and storage, with a forward
// proxy in between (FaultProxy, this process's http_proxy) that injects one fault per row into
// the requests of two jobs. A third, untouched job is queued behind them: it can only start
// once one of them has ended, so a job that hangs shows as a follower that never reports.
// Every row checks the final reports (one per job, none for a stopped one, each naming its job
// and the submission it belongs to, the expected code), the attempts on the wire, that no
// request body carries the plugin's own bookkeeping, that no report as the hosts print it and
// no log line carries a credential, and for every success the stored bytes (read by curl, not
// through the proxy). cleanupTestCase prints the matrix: case, expected, observed.
#include "FaultProxy.h"
#include "VXFormat.h"
#include "VXResultCodes.h"
#include "e2ehost.h"

#include <QElapsedTimer>
#include <QJsonDocument>

#include <climits>
#include <cstdio>
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
constexpr int kCurl = VXResult::TransportBase; // a transport failure: kCurl - its CURLcode
constexpr int kSendError = VXResult::SendFailed;
constexpr int kRecvError = VXResult::ReceiveFailed;
constexpr int kChanged = VXResult::FileChanged;

// The requests of an upload, as the proxy tells them apart.
enum Req { UploadUrl, MultipartStart, Completion, Put, Part };
const char* const kReqKinds[] = {"fileuploadurl", "initmultipart", "completemultipart", "put",
                                 "part"};
// What the proxy does to a matching request (faultproxy.js: "action").
enum Fault { Status, Reset, Close, Stall, Pause, DelayAnswer, Rewrite, Flip };
const char* const kFaultActions[] = {"status", "reset",       "close",   "stall",
                                     "pause",  "delayAnswer", "rewrite", "flip"};
// The local file of the faulted jobs.
enum Local { Small, Multipart, Fifo, ProcFile, Directory, Missing };
// Besides the fault: act on each faulted job when the proxy begins to hold one of its requests
// (stop it; submit it again; stop it and submit it again at once, which the proxy tells apart
// from the stopped submission by a field of the job, "try": "2" instead of "1").
enum Twist { NoTwist, StopOnHold, ResubmitOnHold, StopResubmitOnHold };
// What happens to the faulted jobs' local files when the proxy begins to hold a request.
enum Change { NoChange, Grow, Shrink, RewriteInPlace };

struct Rule
{
    Req req;
    Fault fault;
    int value = 0;  // HTTP status of Status; ms of Pause and DelayAnswer; body bytes read before
                    // a Stall (0: all of them)
    int times = -1; // the first `times` matching requests of each job; -1: all
    int part = 0;   // of Part: only this part number; 0: any
    const char* edit = nullptr; // of Rewrite: "notJson", "noData", "status503", ...
    int holdMs = 0;             // of Status: how long its answer is held first
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
    Change change = NoChange;
    int sends = -1; // PUT and part requests of each faulted job in all; -1: unchecked
    int lateMs = 0; // how long a row waits after the reports for a stopped attempt's late outcome
    bool shortUrls = false; // the stack's second server, whose pre-signed URLs live 4 s
    int starts = -1;        // multipart start requests of each faulted job at least; -1: unchecked
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

// Stopped when the rule's request is held and submitted again at once: one report, success,
// for the new submission; `sends` PUTs and parts in all; nothing of kinds `never`.
FaultCase resubmitAt(Local file, Rule rule, int sends, QVector<Req> never = {}, int lateMs = 0)
{
    FaultCase c{file, rule, 0};
    c.twist = StopResubmitOnHold;
    c.sends = sends;
    c.never = never;
    c.lateMs = lateMs;
    return c;
}

// A whole file that changes while its PUT (paused at half its body) goes out.
FaultCase changedDuringPut(Change change)
{
    FaultCase c{Small, {Put, Pause, 800, 1}, kChanged, 1};
    c.change = change;
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
     {Multipart,
      {Part, Reset, 0, -1, 2},
      kSendError,
      kTries,
      {Completion},
      false,
      NoTwist,
      kRecvError}},
    {"PUT closed without answer always", {Small, {Put, Close}, VXResult::EmptyReply, kTries}},
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
    {"part 2 damaged always", {Multipart, {Part, Flip, 0, -1, 2}, -2004, kTries, {Completion}}},
    {"part 2 answered 200 without an ETag always",
     {Multipart, {Part, Rewrite, 0, -1, 2, "noEtag"}, -2004, kTries, {Completion}}},
};

// A request moving no byte for the stall time-out ends within one more second
// (CURLE_OPERATION_TIMEDOUT); a shorter pause never fails it.
const int kStalled = VXResult::TimedOut;
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
};

// A file that changes while it is read is never stored as a success: in parts (checked before
// each part) or whole (checked when the storage has answered), whatever the storage answered.
const Row kFilesChangedDuringUpload[] = {
    {"grown during a multipart upload",
     {Multipart, {Part, Pause, 300, 1, 1}, kChanged, -1, {Completion}, false, NoTwist, 0, Grow}},
    {"grown during a whole-file PUT", changedDuringPut(Grow)},
    {"shrunk during a whole-file PUT", changedDuringPut(Shrink)},
    {"rewritten in place during a whole-file PUT", changedDuringPut(RewriteInPlace)},
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

// Part URLs that run out mid-upload (they live 4 s, counted from the whole second they were
// signed in; every part is held 1.5 s): fresh ones are fetched with a further multipart start
// for the same upload (once or twice, as the seconds fall), no part is sent twice, the object
// is whole.
FaultCase partUrlsRunOut()
{
    FaultCase c{Multipart, {Part, Pause, 1500}, 0, 3};
    c.shortUrls = true;
    c.starts = 2;
    return c;
}
const Row kPartUrlsRunOut[] = {
    {"part URLs live 4 s, parts take 1.5 s each", partUrlsRunOut()},
};

// Stopped in any phase and submitted again at once, the stopped attempt's request coming back
// late (answered, refused, failed after its retries, or never answered until the stall
// time-out): it acts on nothing; the new submission goes its own road, with one report. A
// multipart file is 3 parts; submitted again, it resumes its upload where the server still
// holds it, sending only the parts not stored yet.
const Row kStopThenResubmit[] = {
    {"upload-URL request out, answered late",
     resubmitAt(Small, {UploadUrl, DelayAnswer, kHold}, 1)},
    {"upload-URL request out, refused late (403)",
     resubmitAt(Small, {UploadUrl, Status, 403, -1, 0, nullptr, kHold}, 1)},
    {"upload-URL request out, 503 late on every try",
     resubmitAt(Small, {UploadUrl, Status, 503, -1, 0, nullptr, kHold}, 1, {}, kTries* kHold)},
    {"upload-URL request out, never answered",
     resubmitAt(Small, {UploadUrl, Stall}, 1, {}, kTries*(kStallSec + 1) * 1000)},
    {"PUT in flight", resubmitAt(Small, {Put, Pause, kHold, 1}, 2)},
    {"multipart start out, answered late",
     resubmitAt(Multipart, {MultipartStart, DelayAnswer, kHold}, 3)},
    {"multipart start out, refused late (503): no single upload instead",
     resubmitAt(Multipart, {MultipartStart, Status, 503, -1, 0, nullptr, kHold}, 3, {UploadUrl})},
    {"part 1 in flight", resubmitAt(Multipart, {Part, Pause, kHold, 1, 1}, 4)},
    {"part 3 in flight: parts 1 and 2 not sent again",
     resubmitAt(Multipart, {Part, Pause, kHold, 1, 3}, 4)},
    {"completion out, answered late: the upload is done, a new one",
     resubmitAt(Multipart, {Completion, DelayAnswer, kHold}, 6)},
    {"completion out, refused late (403): every part stored, none sent again",
     resubmitAt(Multipart, {Completion, Status, 403, -1, 0, nullptr, kHold}, 3)},
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
    if (c.twist == StopResubmitOnHold)
        text += " (try 2)";
    if (c.sends >= 0)
        text += QStringLiteral(", %1 put+part").arg(c.sends);
    if (c.starts >= 0)
        text += QStringLiteral(", >= %1 initmultipart").arg(c.starts);
    if (c.attempts >= 0)
        text += QStringLiteral(", %1 %2").arg(c.attempts).arg(kReqKinds[c.rule.req]);
    for (Req req : c.never)
        text += QStringLiteral(", no ") + kReqKinds[req];
    if (c.timed)
        text += QStringLiteral(", given up <= %1 s").arg(kStallSec + 1);
    return text;
}

QJsonObject ruleJson(const Rule& rule, const char* body = "")
{
    return {{"kind", kReqKinds[rule.req]},
            {"action", kFaultActions[rule.fault]},
            {"match", "/fault-"},
            {"body", body},
            {"value", rule.value},
            {"times", rule.times},
            {"part", rule.part},
            {"holdMs", rule.holdMs},
            {"edit", QString::fromLatin1(rule.edit)}};
}

QJsonArray rulesJson(const FaultCase& c)
{
    if (c.twist != StopResubmitOnHold || c.rule.req == Put || c.rule.req == Part)
        return {ruleJson(c.rule)};
    // Stopped and submitted again while a server request is out: the fault is the first
    // submission's; the second one's request of the same kind is answered later still, so that
    // the stopped request's outcome comes while the new submission waits for the same answer.
    const Rule later{c.rule.req, DelayAnswer, kHold + 1000};
    return {ruleJson(c.rule, R"("try":"1")"), ruleJson(later, R"("try":"2")")};
}

// Whether a text the hosts would show carries a credential: a signature, the token, or the
// completion's authorization.
bool carriesCredential(const QString& text, const QString& token, const QString& authorization)
{
    static const QRegularExpression signature("X-Amz-Signature|X-Amz-Credential",
                                              QRegularExpression::CaseInsensitiveOption);
    return text.contains(signature) || (!token.isEmpty() && text.contains(token)) ||
           (!authorization.isEmpty() && text.contains(authorization));
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
    void filesChangedDuringUpload_data() { addRows(kFilesChangedDuringUpload); }
    void filesChangedDuringUpload() { runRow(); }
    void resubmissionWhileInFlight_data() { addRows(kResubmissionWhileInFlight); }
    void resubmissionWhileInFlight() { runRow(); }
    void stopInEveryPhase_data() { addRows(kStopInEveryPhase); }
    void stopInEveryPhase() { runRow(); }
    void stopThenResubmit_data() { addRows(kStopThenResubmit); }
    void stopThenResubmit() { runRow(); }
    void partUrlsRunOut_data() { addRows(kPartUrlsRunOut); }
    void partUrlsRunOut() { runRow(); }

    // Runs last: every case above checked its own output; here the sum, which shows that the
    // check saw real reports (slice job reports with part URLs among them) and log lines.
    void outputsCarryNoCredentials()
    {
        m_matrix.append({"no credential in any output", "0 of the texts",
                         QStringLiteral("%1 of %2 texts (%3 reports with part URLs)")
                             .arg(m_leakCount)
                             .arg(m_textCount)
                             .arg(m_signedReportCount)});
        QVERIFY2(m_textCount > 100 && m_signedReportCount > 0,
                 qPrintable(QString::number(m_textCount)));
        QCOMPARE(m_leakCount, 0);
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
    // What a host shows of this case, each report as vxupload prints it (plain line on standard
    // output, JSON line there and in the --report file) and each log line (standard error):
    // the texts that carry a credential.
    QStringList leakedOutputs(int firstMessage);
    void onProxyEvent(const FaultProxy::Event& event);
    void changeFile(const QString& path, Change change);
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
    int m_textCount = 0;         // host outputs checked for credentials, all cases
    int m_leakCount = 0;         // ... that carried one
    int m_signedReportCount = 0; // reports that came with signed part URLs
};

void tst_Faults::runCase(const FaultCase& c)
{
    ++m_caseCount;
    m_case = c;
    m_acted.clear();
    m_proxy = std::make_unique<FaultProxy>(); // the previous one ends with its connections
    QVERIFY2(m_proxy->start(qEnvironmentVariable("VX_FAULTS_NODE", "node"),
                            qEnvironmentVariable("VX_FAULTS_PROXY"), rulesJson(c)),
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
        // A job stopped and submitted again is in flight again at once, not behind the others:
        // the stopped attempt's late outcome meets the new one mid-road.
        ini.setValue("PackageInformation/jobsInFlight", c.twist == StopResubmitOnHold ? 3 : 2);
    }
    const QString apiUrl = c.shortUrls ? m_stack.value("SHORT_URL_API_URL") : QString();
    if (c.shortUrls && apiUrl.isEmpty())
        QSKIP("this stack has no server with short-lived URLs");
    QVERIFY(startPlugin(m_stack.value("TOKEN"), kSliceLen, 1, apiUrl));

    const QString base = QStringLiteral("faults/%1/%2/").arg(m_runId).arg(m_caseCount);
    const int reports = c.code == kNoReport ? 0 : c.twist == ResubmitOnHold ? 2 : 1;
    for (int i = 1; i <= 2; ++i) {
        const QString local = makeLocal(c.file, i);
        QVERIFY2(!local.isEmpty(), "the local file could not be made");
        addJob(local, base + QStringLiteral("fault-%1.bin").arg(i), reports, true);
    }
    addJob(makeFile(100000), base + "follower.bin", 1, false);

    const int firstMessage = e2e::g_messages.size();
    QElapsedTimer elapsed;
    elapsed.start();
    for (const Job& job : qAsConst(m_jobs))
        m_upload->uploadFileByPost(job.json);
    // Local files that cannot be uploaded fail at once, inside the submission or right after.
    if (c.file != Small && c.file != Multipart)
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
    const bool stops = c.twist == StopOnHold || c.twist == StopResubmitOnHold;
    QTest::qWait(qMax(stops ? kHold + 1500 : 500, c.lateMs - int(elapsed.elapsed()) + 500));
    const QStringList leaks = leakedOutputs(firstMessage);
    QVERIFY2(leaks.isEmpty(), qPrintable("a credential in: " + leaks.join(" | ")));
    checkRow(c, elapsed.elapsed());
}

QStringList tst_Faults::leakedOutputs(int firstMessage)
{
    QStringList texts = e2e::g_messages.mid(firstMessage);
    QStringList downloadUrls;
    QStringList authorizations;
    for (const Job& job : qAsConst(m_jobs)) {
        for (const Report& report : reportsOf(job.remote, true)) {
            m_signedReportCount += report.job.contains("partUrl") ? 1 : 0;
            texts << QString::fromUtf8(VXFormat::plainLine(report.value, report.job))
                  << QString::fromUtf8(VXFormat::jsonLine(report.value, report.job));
            if (!report.job.value("downloadUrl").toString().isEmpty())
                downloadUrls << report.job.value("downloadUrl").toString();
            authorizations << report.job.value("authorization").toString();
        }
    }
    QStringList leaks;
    for (QString text : qAsConst(texts)) {
        // The address a user downloads the object from is the one signed URL a host shows.
        for (const QString& url : qAsConst(downloadUrls))
            text.remove(url);
        bool leaked = carriesCredential(text, m_stack.value("TOKEN"), {});
        for (const QString& authorization : qAsConst(authorizations))
            leaked = leaked || carriesCredential(text, {}, authorization);
        if (leaked)
            leaks << text.left(200);
    }
    m_textCount += texts.size();
    m_leakCount += leaks.size();
    return leaks;
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
            if (c.twist == StopResubmitOnHold &&
                report.job.value("try").toString() != job.json.value("try").toString())
                problems << job.name() + ": a report of the stopped submission";
            if (report.value != 0)
                continue;
            // A completion answer without "data" gives no Location: read from the storage then.
            QString url = report.job.value("downloadUrl").toString();
            if (url.isEmpty())
                seen.last() += " (no downloadUrl)";
            if (c.shortUrls) // its download address has run out by now
                url = m_stack.value("SHORT_URL_STORAGE_URL") + '/' + m_stack.value("BUCKET") + '/' +
                      job.remote;
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
        const int starts =
            m_proxy->eventsOf("request", kReqKinds[MultipartStart], job.remote).size();
        if (c.starts >= 0 && starts < c.starts)
            problems << QStringLiteral("%1 multipart starts, expected %2 or more")
                            .arg(starts)
                            .arg(c.starts);
        const int sends = m_proxy->eventsOf("request", kReqKinds[Put], job.remote).size() +
                          m_proxy->eventsOf("request", kReqKinds[Part], job.remote).size();
        if (c.sends >= 0 && sends != c.sends)
            problems << QStringLiteral("%1 PUTs and parts, expected %2").arg(sends).arg(c.sends);
        // The stopped submission's server request came back (answered, or given up) before
        // these checks: whatever it did is in them.
        const bool apiRule = c.rule.req != Put && c.rule.req != Part;
        if (c.twist == StopResubmitOnHold && apiRule &&
            eventsOf("answered", job, c.rule).size() + eventsOf("aborted", job, c.rule).size() !=
                sent)
            problems << "a request of the stopped submission was still out";
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
    for (const FaultProxy::Event& event : m_proxy->events()) {
        if (!event.fields.filter(QRegularExpression("^vx:")).isEmpty())
            problems << "a request body carried " + event.fields.join(',');
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
    const QJsonObject json{
        {"localPath", local},  {"remotePath", remote},   {"bucketName", m_stack.value("BUCKET")},
        {"project", "faults"}, {"bc_bcode", "FAULTS-1"}, {"try", "1"}};
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
        if (m_case.twist == StopOnHold || m_case.twist == StopResubmitOnHold)
            m_upload->stopUploadFileByPost(job.json);
        if (m_case.twist == StopResubmitOnHold) {
            Job& again = m_jobs[int(&job - m_jobs.constData())];
            again.json["try"] = "2";
            m_upload->uploadFileByPost(again.json);
        }
        if (m_case.twist == ResubmitOnHold)
            m_upload->uploadFileByPost(job.json);
        changeFile(job.local, m_case.change);
        return;
    }
}

void tst_Faults::changeFile(const QString& path, Change change)
{
    QFile file(path);
    switch (change) {
    case NoChange:
        return;
    case Grow: // one byte more: size and time change
        QVERIFY(file.open(QIODevice::Append) && file.write("x") == 1);
        return;
    case Shrink:
        QVERIFY(file.resize(1000));
        return;
    case RewriteInPlace: { // the same size, other bytes
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.write(QByteArray(int(file.size()), 'z')) == file.size());
        return;
    }
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
