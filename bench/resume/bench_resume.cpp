// bench_resume: what resuming a multipart upload saves, and what its resume record costs,
// measured side by side in one run through the built plugin. It prints ratios, never a bare time.
//
//   resume   A 1 GiB file in 20 MiB slices (52 parts), partsInFlight 1. Each round uploads it
//            whole once (the full upload) and once stopped as soon as half of its parts are
//            stored, then submitted again at once in the same host process (the resumed run);
//            which goes first turns every round. Ratios, medians of the rounds:
//              resumed / full             the second submission to its final report, against
//                                         the full upload's submission to its final report
//              (first half + resumed) / full   what the stop and the resume cost in all
//   record   The same full upload with the resume record on and off (VXUPLOAD_RESUME),
//            alternating, the order turning every round: on / off of the median wall times.
// Each also prints the ratio of the fastest rounds: other work on a shared machine only adds
// time, and the fastest round is the one it disturbed least.
//
// Both run against the local null sink (bench_http_sink as a fake cloud server, which resumes
// an upload it knows as the reference server does) and, with --gateway DIR, against the S3
// gateway that DIR/rgw.env describes (scripts/rgw.sh start DIR) through the reference server.
//
// The host process loads libVXFileUpload.so through QPluginLoader, as an application does: this
// program copied into a run folder next to its fileUpload.ini, run with --host. Times are taken
// inside it. "Half of the parts stored" is read from the job's resume record, which gains one
// line per part the storage confirmed; it is looked at on every progress report, so the stop
// comes at most one percent of the file after the 26th part. That the second submission did
// resume is taken from the plugin's own log line ("resumes upload <id> with <n> parts stored",
// vx.uploadmanager at info level); a run that started over counts as a failure. The resume
// records live in a temporary folder (VXUPLOAD_RESUME_FOLDER), never in the user's; after each
// successful upload the folder must hold no record. Every upload is checked: the sink or the
// gateway must hold every byte.
#include "BenchChild.h"
#include "BenchFiles.h"
#include "BenchReferenceServer.h"
#include "BenchSink.h"
#include "BenchStats.h"
#include "BenchStreams.h"
#include "IVXFileUpload.h"
#include "VXHostRelay.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QPluginLoader>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <sched.h>

#include <algorithm>
#include <functional>
#include <vector>

namespace {

constexpr qint64 kMiB = 1024 * 1024;
constexpr qint64 kSliceLen = 20 * kMiB;
constexpr int kHostTimeoutMs = 15 * 60 * 1000;
const QString kBcode = QStringLiteral("BENCH");

// --- the host process ----------------------------------------------------------------------

// Parts the job's resume record holds: the lines after its first, each one ending in a newline.
int recordedParts(const QString& folder)
{
    const QFileInfoList records = QDir(folder).entryInfoList({"*.json"}, QDir::Files);
    if (records.isEmpty())
        return 0;
    QFile file(records.first().filePath());
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    return std::max(0, int(file.readAll().count('\n')) - 1);
}

// The plugin's "resumes upload <id> with <n> parts stored" line gives n; every message still
// reaches standard error.
int g_partsResumed = -1;
QtMessageHandler g_defaultHandler = nullptr;

void captureResume(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    static const QRegularExpression resumes(
        QStringLiteral("resumes upload \\S+ with (\\d+) parts"));
    const auto match = resumes.match(message);
    if (match.hasMatch())
        g_partsResumed = match.captured(1).toInt();
    else
        g_defaultHandler(type, context, message);
}

// --host PLUGIN FILE BUCKET REMOTE STOP_AT_PARTS: uploads one job; with STOP_AT_PARTS > 0 it
// stops the job once its resume record holds that many parts and submits it again at once.
// Prints "RESULT <res> <total s> <first half s> <resumed s> <parts at the stop>
// <parts the resume kept> <CPU s> <downloadUrl>", the CPU (user + system) of the whole upload.
int hostMain(const QStringList& arguments)
{
    if (arguments.size() != 5)
        return 2;
    const int stopAtParts = arguments.at(4).toInt();
    const QString recordFolder = qEnvironmentVariable("VXUPLOAD_RESUME_FOLDER");
    QLoggingCategory::setFilterRules(QStringLiteral("vx.uploadmanager.info=true"));
    g_defaultHandler = qInstallMessageHandler(captureResume);

    QPluginLoader loader(arguments.at(0));
    auto* upload = qobject_cast<IVXFileUpload*>(loader.instance());
    if (!upload) {
        err() << "cannot load the plugin: " << loader.errorString() << "\n";
        return 3;
    }
    VXHostRelay host;
    upload->initUploadManager(&host);
    const QJsonObject job{{"localPath", arguments.at(1)},
                          {"bucketName", arguments.at(2)},
                          {"remotePath", arguments.at(3)},
                          {"bc_bcode", kBcode}};
    const int noReport = -999999;
    int result = noReport;
    QString downloadUrl;
    QElapsedTimer timer;
    qint64 stoppedNs = -1;
    qint64 resubmittedNs = 0;
    int partsAtStop = 0;
    QObject::connect(&host, &VXHostRelay::sglUploadFinished, &host,
                     [&](int res, const QJsonObject& report) {
                         result = res;
                         downloadUrl = report.value(QStringLiteral("downloadUrl")).toString();
                         QCoreApplication::quit();
                     });
    QObject::connect(&host, &VXHostRelay::sglUploadProgress, &host, [&](const QJsonObject&, int) {
        if (stopAtParts <= 0 || stoppedNs >= 0)
            return;
        partsAtStop = recordedParts(recordFolder);
        if (partsAtStop < stopAtParts)
            return;
        // Stopped and submitted again from the event loop, as a host's buttons would.
        stoppedNs = timer.nsecsElapsed();
        QTimer::singleShot(0, &host, [&] {
            upload->stopUploadFileByPost(job);
            resubmittedNs = timer.nsecsElapsed();
            upload->uploadFileByPost(job);
        });
    });
    QTimer::singleShot(kHostTimeoutMs, &host, [] { QCoreApplication::quit(); });
    const double cpuBefore = benchCpuSeconds();
    timer.start();
    upload->uploadFileByPost(job);
    if (result == noReport) // a report from inside the call has come before the loop could run
        QCoreApplication::exec();
    const qint64 endNs = timer.nsecsElapsed();
    const double cpu = benchCpuSeconds() - cpuBefore;
    if (stopAtParts > 0 && stoppedNs < 0) {
        err() << "the upload ended before its record held " << stopAtParts << " parts\n";
        result = noReport;
    }
    out() << "RESULT " << result << ' ' << endNs / 1e9 << ' '
          << std::max<qint64>(stoppedNs, 0) / 1e9 << ' '
          << (stoppedNs < 0 ? 0 : endNs - resubmittedNs) / 1e9 << ' ' << partsAtStop << ' '
          << g_partsResumed << ' ' << cpu << ' ' << downloadUrl << "\n";
    out().flush();
    return result == 0 ? 0 : 1;
}

// --- the measurements ----------------------------------------------------------------------

struct Sample
{
    bool ok = false;
    double wallSec = 0;      // submission (the first) to the final report
    double firstHalfSec = 0; // submission to the stop
    double resumedSec = 0;   // second submission to the final report
    int partsAtStop = 0;
    int partsResumed = -1; // parts the plugin kept on resuming; -1: it did not resume
    double cpuSec = 0;     // the host's user + system time over the upload
};

// Other work on the machine only ever adds time: the fastest round is the one it disturbed least.
double fastest(const std::vector<double>& values)
{
    return values.empty() ? 0 : *std::min_element(values.begin(), values.end());
}

// "median (min to max)" of per-round values.
QString spread(const std::vector<double>& values, int decimals)
{
    const auto range = std::minmax_element(values.begin(), values.end());
    return QStringLiteral("%1 (%2 to %3)")
        .arg(benchMedian(values), 0, 'f', decimals)
        .arg(*range.first, 0, 'f', decimals)
        .arg(*range.second, 0, 'f', decimals);
}

struct Cloud
{
    QString name;
    QString url;
    QString token;
    QString bucket;
    // True when the object behind `downloadUrl` holds `size` bytes.
    std::function<bool(const QString& downloadUrl, qint64 size)> holds;
    std::function<void(const QString& key)> cleanUp;
};

struct Bench
{
    QString pluginPath;
    QString hostProgram; // the copy of this program in its run folder
    QString recordFolder;
};

int partCount(qint64 size)
{
    return int((size + kSliceLen - 1) / kSliceLen);
}

// The host's RESULT line, checked: the object is whole, no record is left, and a stopped job
// kept on resuming every part stored before its stop.
Sample checkedSample(const Bench& bench, const Cloud& cloud, const BenchChildRun& run, qint64 size,
                     int stopAtParts)
{
    Sample sample;
    const QStringList fields = QString::fromUtf8(run.output).trimmed().split(' ');
    if (fields.size() < 9 || fields.at(0) != "RESULT" || fields.at(1) != "0") {
        err() << "upload failed: exit " << run.exitCode << ", " << run.output << "\n";
        return sample;
    }
    if (!cloud.holds(fields.at(8), size)) {
        err() << "the upload reported success but the object is not complete: " << fields.at(8)
              << "\n";
        return sample;
    }
    sample.wallSec = fields.at(2).toDouble();
    sample.firstHalfSec = fields.at(3).toDouble();
    sample.resumedSec = fields.at(4).toDouble();
    sample.partsAtStop = fields.at(5).toInt();
    sample.partsResumed = fields.at(6).toInt();
    sample.cpuSec = fields.at(7).toDouble();
    if (!QDir(bench.recordFolder).entryList({"*.json"}, QDir::Files).isEmpty()) {
        err() << "a resume record is left after a successful upload\n";
        return sample;
    }
    if (stopAtParts > 0 && sample.partsResumed != sample.partsAtStop) {
        err() << "the second submission kept " << sample.partsResumed << " of the "
              << sample.partsAtStop << " parts stored (-1: it did not resume)\n";
        return sample;
    }
    sample.ok = true;
    return sample;
}

Sample runHost(const Bench& bench, const Cloud& cloud, const QString& file, qint64 size,
               bool recordOn, int stopAtParts, const QString& remote)
{
    {
        QSettings ini(QFileInfo(bench.hostProgram).dir().filePath("fileUpload.ini"),
                      QSettings::IniFormat);
        ini.clear();
        ini.setValue("HostInformation/cloudHost", cloud.url);
        ini.setValue("HostInformation/apiHost", cloud.url);
        ini.setValue("HostInformation/token", cloud.token);
        ini.setValue("PackageInformation/sliceLen", QString::number(kSliceLen));
        ini.setValue("PackageInformation/partsInFlight", "1");
        ini.setValue("Network/verifyIntegrity", "false");
    }
    qputenv("VXUPLOAD_RESUME", recordOn ? "true" : "false");
    const BenchChildRun run =
        runBenchChild(bench.hostProgram, {"--host", bench.pluginPath, file, cloud.bucket, remote,
                                          QString::number(stopAtParts)});
    const Sample sample = checkedSample(bench, cloud, run, size, stopAtParts);
    cloud.cleanUp(remote);
    return sample;
}

// Full uploads against stopped-at-half-and-resumed ones, alternating.
bool benchResume(const Bench& bench, const Cloud& cloud, const QString& file, qint64 size,
                 int rounds)
{
    const int parts = partCount(size);
    const int half = parts / 2;
    out() << "\nresume, " << cloud.name << ": " << size / kMiB << " MiB, " << parts
          << " parts of 20 MiB, partsInFlight 1, record on; stopped once " << half
          << " parts are stored, submitted again at once\n";
    out().flush();
    std::vector<double> full, resumed, firstHalf, resumedRatio, totalRatio;
    for (int round = 1; round <= rounds; ++round) {
        Sample whole;
        Sample stopped;
        for (int turn = 0; turn < 2; ++turn) {
            if ((turn == 0) == (round % 2 == 1))
                whole = runHost(bench, cloud, file, size, true, 0, "bench/resume.bin");
            else
                stopped = runHost(bench, cloud, file, size, true, half, "bench/resume.bin");
        }
        if (!whole.ok || !stopped.ok)
            return false;
        full.push_back(whole.wallSec);
        resumed.push_back(stopped.resumedSec);
        firstHalf.push_back(stopped.firstHalfSec);
        resumedRatio.push_back(stopped.resumedSec / whole.wallSec);
        totalRatio.push_back((stopped.firstHalfSec + stopped.resumedSec) / whole.wallSec);
        out() << QStringLiteral("  round %1: full %2 s | first half %3 s (%4 parts stored), "
                                "resumed %5 s (%6 parts kept) | resumed/full %7, total/full %8\n")
                     .arg(round)
                     .arg(whole.wallSec, 0, 'f', 3)
                     .arg(stopped.firstHalfSec, 0, 'f', 3)
                     .arg(stopped.partsAtStop)
                     .arg(stopped.resumedSec, 0, 'f', 3)
                     .arg(stopped.partsResumed)
                     .arg(resumedRatio.back(), 0, 'f', 3)
                     .arg(totalRatio.back(), 0, 'f', 3);
        out().flush();
    }
    const double resumedOverFull = benchMedian(resumed) / benchMedian(full);
    const double totalOverFull =
        (benchMedian(firstHalf) + benchMedian(resumed)) / benchMedian(full);
    out() << QStringLiteral("  medians of %1 rounds: full %2 s, first half %3 s, resumed %4 s\n")
                 .arg(rounds)
                 .arg(benchMedian(full), 0, 'f', 3)
                 .arg(benchMedian(firstHalf), 0, 'f', 3)
                 .arg(benchMedian(resumed), 0, 'f', 3);
    out() << QStringLiteral("  resumed / full: %1 (per round %2)  target <= 0.55: %3\n")
                 .arg(resumedOverFull, 0, 'f', 3)
                 .arg(spread(resumedRatio, 3))
                 .arg(resumedOverFull <= 0.55 ? "met" : "NOT met");
    out() << QStringLiteral("  (first half + resumed) / full: %1 (per round %2)\n")
                 .arg(totalOverFull, 0, 'f', 3)
                 .arg(spread(totalRatio, 3));
    out() << QStringLiteral("  fastest of %1 rounds: resumed / full %2, (first half + resumed) / "
                            "full %3\n")
                 .arg(rounds)
                 .arg(fastest(resumed) / fastest(full), 0, 'f', 3)
                 .arg((fastest(firstHalf) + fastest(resumed)) / fastest(full), 0, 'f', 3);
    out().flush();
    return true;
}

// Full uploads with the resume record on and off, alternating.
bool benchRecordCost(const Bench& bench, const Cloud& cloud, const QString& file, qint64 size,
                     int rounds)
{
    out() << "\nrecord cost, " << cloud.name << ": " << size / kMiB << " MiB, " << partCount(size)
          << " parts of 20 MiB, partsInFlight 1, resume record on / off\n";
    out().flush();
    std::vector<double> on, off, ratio, cpuOn, cpuOff;
    for (int round = 1; round <= rounds; ++round) {
        Sample withRecord;
        Sample without;
        for (int turn = 0; turn < 2; ++turn) {
            if ((turn == 0) == (round % 2 == 1))
                withRecord = runHost(bench, cloud, file, size, true, 0, "bench/record.bin");
            else
                without = runHost(bench, cloud, file, size, false, 0, "bench/record.bin");
        }
        if (!withRecord.ok || !without.ok)
            return false;
        on.push_back(withRecord.wallSec);
        off.push_back(without.wallSec);
        ratio.push_back(withRecord.wallSec / without.wallSec);
        cpuOn.push_back(withRecord.cpuSec);
        cpuOff.push_back(without.cpuSec);
        out() << QStringLiteral("  round %1: on %2 s (%3 s CPU), off %4 s (%5 s CPU), on/off %6\n")
                     .arg(round)
                     .arg(withRecord.wallSec, 0, 'f', 3)
                     .arg(withRecord.cpuSec, 0, 'f', 3)
                     .arg(without.wallSec, 0, 'f', 3)
                     .arg(without.cpuSec, 0, 'f', 3)
                     .arg(ratio.back(), 0, 'f', 3);
        out().flush();
    }
    const double onOverOff = benchMedian(on) / benchMedian(off);
    out() << QStringLiteral("  medians of %1 rounds: on %2 s, off %3 s\n")
                 .arg(rounds)
                 .arg(benchMedian(on), 0, 'f', 3)
                 .arg(benchMedian(off), 0, 'f', 3);
    out() << QStringLiteral("  on / off, wall: %1 (per round %2)  target <= 1.02: %3\n")
                 .arg(onOverOff, 0, 'f', 3)
                 .arg(spread(ratio, 3))
                 .arg(onOverOff <= 1.02 ? "met" : "NOT met");
    out() << QStringLiteral("  fastest of %1 rounds: on %2 s, off %3 s, on / off %4\n")
                 .arg(rounds)
                 .arg(fastest(on), 0, 'f', 3)
                 .arg(fastest(off), 0, 'f', 3)
                 .arg(fastest(on) / fastest(off), 0, 'f', 3);
    out() << QStringLiteral("  on / off, host CPU: %1 (medians %2 s and %3 s)\n")
                 .arg(benchMedian(cpuOn) / benchMedian(cpuOff), 0, 'f', 3)
                 .arg(benchMedian(cpuOn), 0, 'f', 3)
                 .arg(benchMedian(cpuOff), 0, 'f', 3);
    out().flush();
    return true;
}

bool benchCloud(const Bench& bench, const Cloud& cloud, const QString& file, qint64 size,
                const QString& warmUp, int rounds, int costRounds)
{
    // One untimed upload first: a gateway creates its data pool on the first write.
    if (!runHost(bench, cloud, warmUp, 41 * kMiB, true, 0, "bench/warm-up.bin").ok)
        return false;
    bool ok = true;
    if (rounds > 0)
        ok = benchResume(bench, cloud, file, size, rounds) && ok;
    if (costRounds > 0)
        ok = benchRecordCost(bench, cloud, file, size, costRounds) && ok;
    return ok;
}

void usage()
{
    err() << "usage: bench_resume [--rounds N] [--cost-rounds N] [--size-mib N] [--no-local]\n"
             "                    [--gateway DIR] [--plugin PATH]\n"
             "  --rounds N       rounds of full against stopped-and-resumed (default 9; 0: none)\n"
             "  --cost-rounds N  rounds of record on against off (default 21; 0: none)\n"
             "  --gateway DIR    also through the reference server to the S3 gateway that\n"
             "                   DIR/rgw.env describes (env VXBENCH_GATEWAY_DIR)\n";
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QStringList arguments = app.arguments().mid(1);
    if (arguments.value(0) == "--host")
        return hostMain(arguments.mid(1));

    int rounds = 9;
    int costRounds = 21;
    qint64 sizeMiB = 1024;
    bool local = true;
    QString gatewayDir = qEnvironmentVariable("VXBENCH_GATEWAY_DIR");
    Bench bench;
    bench.pluginPath = QDir(app.applicationDirPath()).filePath("libVXFileUpload.so");
    while (!arguments.isEmpty()) {
        const QString option = arguments.takeFirst();
        if (option == "--no-local") {
            local = false;
            continue;
        }
        if (arguments.isEmpty()) {
            usage();
            return 2;
        }
        const QString value = arguments.takeFirst();
        if (option == "--rounds")
            rounds = value.toInt();
        else if (option == "--cost-rounds")
            costRounds = value.toInt();
        else if (option == "--size-mib")
            sizeMiB = value.toLongLong();
        else if (option == "--gateway")
            gatewayDir = value;
        else if (option == "--plugin")
            bench.pluginPath = value;
        else {
            usage();
            return 2;
        }
    }
    if (rounds < 0 || costRounds < 0 || sizeMiB < 41) {
        usage();
        return 2;
    }
    const QString curlProgram = QStandardPaths::findExecutable("curl");
    if (!gatewayDir.isEmpty() && curlProgram.isEmpty()) {
        err() << "the curl program is missing (it checks the gateway): apt-get install curl\n";
        return 2;
    }
    // Only this run's fileUpload.ini and VXUPLOAD_RESUME configure the plugin.
    for (const char* name :
         {"VXUPLOAD_API_HOST", "VXUPLOAD_TOKEN", "VXUPLOAD_RETRIES", "VXUPLOAD_CONNECT_TIMEOUT_SEC",
          "VXUPLOAD_STALL_TIMEOUT_SEC", "VXUPLOAD_VERIFY_INTEGRITY"})
        qunsetenv(name);

    QTemporaryDir work;
    const QString hostDir = work.filePath("host");
    bench.hostProgram = hostDir + "/bench_resume";
    bench.recordFolder = work.filePath("resume-records");
    qputenv("VXUPLOAD_RESUME_FOLDER", QFile::encodeName(bench.recordFolder));
    const QString file = work.filePath("bench-resume.bin");
    const QString warmUp = work.filePath("warm-up.bin");
    if (!work.isValid() || !QDir().mkpath(hostDir) ||
        !QFile::copy(app.applicationFilePath(), bench.hostProgram)) {
        err() << "cannot prepare the host's run folder in " << work.path() << "\n";
        return 2;
    }
    if (!benchWriteRandomFile(file, sizeMiB * kMiB, quint64(sizeMiB)) ||
        !benchWriteRandomFile(warmUp, 41 * kMiB, 41)) {
        err() << "cannot write the test files in " << work.path() << "\n";
        return 2;
    }

    out() << "bench_resume " << QDateTime::currentDateTime().toString(Qt::ISODate) << ", nproc "
          << benchProcessorCount() << ", plugin " << bench.pluginPath << "\n"
          << "the plugin in a host process (QPluginLoader), verifyIntegrity=false; files of "
             "real bytes, written and synced before the first round\n";
    out().flush();

    bool ok = true;
    if (local) {
        BenchSink sink;
        if (!sink.start())
            return 2;
        const Cloud cloud{QStringLiteral("local null sink (fake cloud server, 127.0.0.1)"),
                          sink.baseUrl(),
                          QString(),
                          QStringLiteral("bench"),
                          &BenchSink::holdsAssembled,
                          [](const QString&) {}};
        ok = benchCloud(bench, cloud, file, sizeMiB * kMiB, warmUp, rounds, costRounds) && ok;
    }
    if (!gatewayDir.isEmpty()) {
        BenchReferenceServer server;
        QString error;
        if (!server.start(gatewayDir, QStringLiteral(VXBENCH_SERVER_MAIN), &error)) {
            err() << "gateway: " << error << "\n";
            return 1;
        }
        const QRegularExpression range(QStringLiteral("content-range: bytes 0-0/(\\d+)"),
                                       QRegularExpression::CaseInsensitiveOption);
        const Cloud cloud{
            QStringLiteral("S3 gateway through the reference server (%1)").arg(gatewayDir),
            server.url(),
            server.token(),
            server.bucket(),
            [&](const QString& url, qint64 size) {
                const BenchChildRun run = runBenchChild(
                    curlProgram, {"-sS", "-g", "-r", "0-0", "-o", "/dev/null", "-D", "-", url});
                const auto match = range.match(QString::fromLatin1(run.output));
                return match.hasMatch() && match.captured(1).toLongLong() == size;
            },
            [&](const QString& key) {
                if (!server.removeObject(curlProgram, key))
                    err() << "gateway: could not remove " << key << "\n";
            }};
        ok = benchCloud(bench, cloud, file, sizeMiB * kMiB, warmUp, rounds, costRounds) && ok;
    }
    if (!ok)
        err() << "\nan upload failed: see above\n";
    return ok ? 0 : 1;
}
