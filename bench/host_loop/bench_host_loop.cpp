// bench_host_loop: what an upload costs the host's thread, what the integrity check costs in
// wall time, and what many small jobs cost, through the built plugin, side by side in one run.
// It prints ratios and percentiles, never a bare time as a result.
//
//   gaps       A 1 GiB file (real bytes), integrity check on (the default): one whole-file PUT,
//              and multipart in 20 MiB slices (52 parts) with 1, 4 and 16 parts in flight, each
//              from a cold page cache (the file's pages dropped just before the run) and from a
//              warm one (read through just before). The host ticks a 1 ms timer
//              (Qt::PreciseTimer) from the submission to the final report; a gap is the time
//              between two ticks, so it counts the time the event loop was away plus up to the
//              1 ms it waits by design. Longest gap over all rounds, percentiles of all gaps
//              of all rounds, and the gaps longer than a 60 Hz frame (16.7 ms).
//   integrity  Multipart, 4 parts in flight, warm cache: check on against off, alternating;
//              ratios of the median wall and CPU times.
//   small      1,000 files of 4 KiB as 1,000 jobs of one host (2 jobs in flight, the default).
//              With --baseline PLUGIN: the same through that other build of the plugin,
//              alternating; ratio of the median wall times (below 1: this build is faster).
//
// With --baseline PLUGIN the gaps and the integrity ratio are measured for that build too, in
// the same rounds, so that a change can be judged against the build before it. A control runs
// beside the gaps: no plugin, a plain thread reading and hashing the same file, what this machine
// gives any thread waiting for a timer meanwhile. Everything runs against the local null sink
// (bench_http_sink as a fake cloud server, its own process); with --gateway DIR everything runs
// again through the reference server against the S3 gateway that DIR/rgw.env describes
// (scripts/rgw.sh start DIR).
//
// The host is this program copied into a run folder next to its fileUpload.ini and run with
// --host: it loads the plugin through QPluginLoader, as an application does, and takes its times
// itself. Resume records go to a temporary folder. Every upload must succeed; a multipart upload
// must also have left every byte with the sink (the size in its download URL) or the gateway
// (a HEAD request), a whole-file PUT with the gateway (a HEAD request), and the small files
// with the gateway (a listing; they keep their names from round to round).
#include "BenchChild.h"
#include "BenchCurlUpload.h"
#include "BenchFiles.h"
#include "BenchReferenceServer.h"
#include "BenchSink.h"
#include "BenchStats.h"
#include "BenchStreams.h"
#include "IVXFileUpload.h"
#include "VXHostRelay.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPluginLoader>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>

#include <ctime>
#include <functional>
#include <thread>
#include <utility>
#include <vector>

namespace {

constexpr qint64 kMiB = 1024 * 1024;
constexpr qint64 kSliceLen = 20 * kMiB;
constexpr double kFrameMs = 1000.0 / 60;
constexpr int kHostTimeoutMs = 15 * 60 * 1000;
const QString kBcode = QStringLiteral("BENCH");

// --- the host process ----------------------------------------------------------------------

double threadCpuMs()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

// The controls instead of the plugin, each the work of an upload without our code: a plain
// thread reading and hashing each job's file (the work the request component's workers get), or
// each job's "command" run as a process of its own (curl -T sending the file to the same
// storage). Their gaps are what this machine gives any thread that waits for a timer meanwhile.
std::thread startControl(VXHostRelay* host, const QJsonArray& jobs)
{
    QJsonArray reads;
    for (const QJsonValue& job : jobs) {
        const QJsonArray command = job.toObject().value("command").toArray();
        if (command.isEmpty()) {
            reads.append(job);
            continue;
        }
        auto* process = new QProcess(host);
        QObject::connect(process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), host,
                         [host, process](int code, QProcess::ExitStatus status) {
                             emit host->sglUploadFinished(
                                 status == QProcess::NormalExit && code == 0 ? 0 : 1, {});
                             process->deleteLater();
                         });
        QStringList arguments;
        for (const QJsonValue& argument : command)
            arguments << argument.toString();
        process->setStandardOutputFile(QProcess::nullDevice());
        process->start(arguments.takeFirst(), arguments);
    }
    return std::thread([host, reads] {
        for (const QJsonValue& job : reads) {
            QFile file(job.toObject().value("localPath").toString());
            QCryptographicHash md5(QCryptographicHash::Md5);
            const bool ok = file.open(QIODevice::ReadOnly) && md5.addData(&file);
            QMetaObject::invokeMethod(
                host, [host, ok] { emit host->sglUploadFinished(ok ? 0 : 1, QJsonObject()); },
                Qt::QueuedConnection);
        }
    });
}

// --host PLUGIN|control JOBS: submits every job of the JSON array in the file JOBS at once and
// ticks a 1 ms timer until the last final report. Prints "JOB <res> <downloadUrl>" per report,
// then "RESULT <seconds> <cpu seconds> <failed jobs>" and "GAPS <ms>:<thread CPU ms> ...".
int hostMain(const QStringList& arguments)
{
    if (arguments.size() != 2)
        return 2;
    const bool control = arguments.at(0) == "control";
    QPluginLoader loader(arguments.at(0));
    auto* upload = control ? nullptr : qobject_cast<IVXFileUpload*>(loader.instance());
    QFile jobsFile(arguments.at(1));
    if ((!control && !upload) || !jobsFile.open(QIODevice::ReadOnly)) {
        err() << "cannot load the plugin (" << loader.errorString() << ") or read the jobs\n";
        return 3;
    }
    const QJsonArray jobs = QJsonDocument::fromJson(jobsFile.readAll()).array();
    VXHostRelay host;
    if (upload)
        upload->initUploadManager(&host);

    QStringList reports;
    int failed = 0;
    QObject::connect(&host, &VXHostRelay::sglUploadFinished, &host,
                     [&](int res, const QJsonObject& job) {
                         reports << QStringLiteral("JOB %1 %2")
                                        .arg(res)
                                        .arg(job.value(QStringLiteral("downloadUrl")).toString());
                         failed += res != 0;
                         if (reports.size() == jobs.size())
                             QCoreApplication::quit();
                     });
    QTimer::singleShot(kHostTimeoutMs, &host, [] { QCoreApplication::quit(); });

    // Each gap with the CPU time this thread spent in it: a long gap the thread spent running
    // is work on the host's thread; one it spent waiting is a core the others held.
    std::vector<std::pair<double, double>> gaps;
    gaps.reserve(4 << 20);
    QElapsedTimer sinceTick;
    double threadCpuAtTick = threadCpuMs();
    const auto tick = [&] {
        const double threadCpu = threadCpuMs();
        gaps.emplace_back(double(sinceTick.nsecsElapsed()) / 1e6, threadCpu - threadCpuAtTick);
        threadCpuAtTick = threadCpu;
        sinceTick.restart();
    };
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(1);
    QObject::connect(&ticker, &QTimer::timeout, &host, tick);

    const double cpuBefore = benchCpuSeconds();
    QElapsedTimer wall;
    wall.start();
    sinceTick.start();
    ticker.start();
    std::thread reader;
    if (control)
        reader = startControl(&host, jobs);
    else {
        for (const QJsonValue& job : jobs)
            upload->uploadFileByPost(job.toObject());
    }
    if (reports.size() < jobs.size()) // reports from inside the calls came before the loop ran
        QCoreApplication::exec();
    const double seconds = double(wall.nsecsElapsed()) / 1e9;
    const double cpu = benchCpuSeconds() - cpuBefore;
    ticker.stop();
    tick();
    if (reader.joinable())
        reader.join();

    for (const QString& report : reports)
        out() << report << "\n";
    out() << "RESULT " << seconds << ' ' << cpu << ' ' << failed + (jobs.size() - reports.size())
          << "\nGAPS";
    for (const auto& gap : gaps)
        out() << ' ' << QString::number(gap.first, 'f', 3) << ':'
              << QString::number(gap.second, 'f', 3);
    out() << "\n";
    out().flush();
    return 0;
}

// --- the runs ------------------------------------------------------------------------------

// Where the jobs go and how a stored object is checked.
struct Cloud
{
    QString name;
    QString url;
    QString token;
    QString bucket;
    // True when the object stored under `remote` (answered with `downloadUrl`) holds `size`
    // bytes, as far as this cloud can tell.
    std::function<bool(const QString& remote, const QString& downloadUrl, qint64 size,
                       bool multipart)>
        holds;
    std::function<void(const QString& remote)> cleanUp;
    // A pre-signed PUT URL for `remote` (for curl -T), empty when there is none.
    std::function<QString(const QString& remote)> putUrl;
    // True when `count` objects of `size` bytes are stored under `prefix`.
    std::function<bool(const QString& prefix, int count, qint64 size)> holdsAll;
};

struct Upload
{
    Upload(QString plugin, bool multipart, int partsInFlight, bool verifyIntegrity,
           QString curlProgram = QString())
        : plugin(std::move(plugin)), multipart(multipart), partsInFlight(partsInFlight),
          verifyIntegrity(verifyIntegrity), curlProgram(std::move(curlProgram))
    {}

    QString plugin; // a plugin's path, or "control" (no plugin)
    bool multipart;
    int partsInFlight;
    bool verifyIntegrity;
    QString curlProgram; // a control that runs curl -T instead of reading the file itself
};

struct Sample
{
    bool ok = false;
    double wallSec = 0;
    double cpuSec = 0;
    std::vector<double> gaps;
    std::vector<double> gapCpu; // the host thread's CPU time in each gap
    QStringList downloadUrls;   // in the order the jobs ended
};

struct Bench
{
    QString hostProgram; // the copy of this program in its run folder
    QString resumeFolder;
    QString jobsPath;
    QString curlProgram; // empty when there is none: no curl control then
};

void writeSettings(const Bench& bench, const Cloud& cloud, const Upload& upload)
{
    QSettings ini(QFileInfo(bench.hostProgram).dir().filePath("fileUpload.ini"),
                  QSettings::IniFormat);
    ini.clear();
    ini.setValue("HostInformation/cloudHost", cloud.url);
    ini.setValue("HostInformation/apiHost", cloud.url);
    ini.setValue("HostInformation/token", cloud.token);
    ini.setValue("PackageInformation/sliceLen", QString::number(kSliceLen));
    ini.setValue("PackageInformation/partsInFlight", QString::number(upload.partsInFlight));
    ini.setValue("Network/verifyIntegrity", upload.verifyIntegrity ? "true" : "false");
    ini.setValue("Resume/folder", bench.resumeFolder);
}

QJsonObject job(const Cloud& cloud, const QString& path, const QString& remote, bool multipart)
{
    QJsonObject job{{"localPath", path}, {"bucketName", cloud.bucket}, {"remotePath", remote}};
    if (multipart)
        job.insert("bc_bcode", kBcode);
    return job;
}

// Runs the host with `jobs`; ok when every job reported success.
Sample runHost(const Bench& bench, const Cloud& cloud, const Upload& upload, const QJsonArray& jobs)
{
    writeSettings(bench, cloud, upload);
    QFile jobsFile(bench.jobsPath);
    if (!jobsFile.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        jobsFile.write(QJsonDocument(jobs).toJson()) < 0)
        return {};
    jobsFile.close();
    const BenchChildRun run =
        runBenchChild(bench.hostProgram, {"--host", upload.plugin, bench.jobsPath});
    Sample sample;
    QStringList downloadUrls;
    for (const QByteArray& line : run.output.split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.value(0) == "JOB")
            downloadUrls << QString::fromUtf8(fields.value(2));
        else if (fields.value(0) == "RESULT" && fields.size() == 4) {
            sample.wallSec = fields.at(1).toDouble();
            sample.cpuSec = fields.at(2).toDouble();
            sample.ok = fields.at(3) == "0";
        } else if (fields.value(0) == "GAPS") {
            for (int i = 1; i < fields.size(); ++i) {
                const QList<QByteArray> pair = fields.at(i).split(':');
                sample.gaps.push_back(pair.value(0).toDouble());
                sample.gapCpu.push_back(pair.value(1).toDouble());
            }
        }
    }
    if (!sample.ok) {
        err() << "  an upload failed (host exit " << run.exitCode << "):\n"
              << run.output.left(2000);
        return sample;
    }
    sample.downloadUrls = downloadUrls;
    return sample;
}

Sample runBigFile(const Bench& bench, const Cloud& cloud, const Upload& upload, const QString& path,
                  bool warm)
{
    const bool ready = warm ? benchReadThrough(path) : benchDropFromPageCache(path);
    const double cached = benchCachedFraction(path);
    if (!ready || cached < 0 || (warm ? cached < 0.99 : cached > 0.01)) {
        err() << "  cannot make the page cache " << (warm ? "warm" : "cold") << " for " << path
              << " (" << int(cached * 100) << "% of it cached)\n";
        return {};
    }
    const qint64 size = QFileInfo(path).size();
    const QString remote = QStringLiteral("bench/host-loop.bin");
    QJsonObject work = job(cloud, path, remote, upload.multipart);
    if (!upload.curlProgram.isEmpty()) {
        const QString url = cloud.putUrl(remote);
        if (url.isEmpty()) {
            err() << "  no upload URL for the curl control\n";
            return {};
        }
        work.insert("command", QJsonArray{upload.curlProgram, "-sS", "-g", "--fail", "-H",
                                          "Expect:", "-T", path, url});
    }
    Sample sample = runHost(bench, cloud, upload, {work});
    if (!upload.curlProgram.isEmpty())
        cloud.cleanUp(remote);
    if (!sample.ok || upload.plugin == QLatin1String("control")) // checked by its exit code
        return sample;
    sample.ok = cloud.holds(remote, sample.downloadUrls.value(0), size, upload.multipart);
    cloud.cleanUp(remote);
    if (!sample.ok)
        err() << "  the upload reported success, but " << remote << " is not complete\n";
    return sample;
}

// --- the sections ----------------------------------------------------------------------------

struct GapCase
{
    GapCase(QString title, Upload upload, bool warm)
        : title(std::move(title)), upload(std::move(upload)), warm(warm)
    {}

    QString title;
    Upload upload;
    bool warm;
    std::vector<double> gaps;
    double longest = 0;
    // Gaps above 2 ms, and the host thread's CPU time in them.
    double longGapsMs = 0;
    double longGapsCpuMs = 0;
};

bool measureGaps(const Bench& bench, const Cloud& cloud, const QStringList& plugins,
                 const QString& path, int rounds)
{
    std::vector<GapCase> cases;
    for (bool warm : {false, true}) {
        const QString cache = warm ? QStringLiteral("warm") : QStringLiteral("cold");
        cases.push_back({"control: read + MD5, " + cache,
                         {QStringLiteral("control"), false, 1, true, QString()},
                         warm});
        if (!bench.curlProgram.isEmpty())
            cases.push_back({"control: curl -T, " + cache,
                             {QStringLiteral("control"), false, 1, true, bench.curlProgram},
                             warm});
    }
    for (const QString& plugin : plugins) {
        const QString who = plugins.size() > 1 && plugin != plugins.first()
                                ? QStringLiteral(" [baseline]")
                                : QString();
        for (bool warm : {false, true}) {
            const QString cache = warm ? QStringLiteral("warm") : QStringLiteral("cold");
            cases.push_back({"whole file, " + cache + who, {plugin, false, 1, true}, warm});
            for (int inFlight : {1, 4, 16})
                cases.push_back({QStringLiteral("%1 in flight, %2%3").arg(inFlight).arg(cache, who),
                                 {plugin, true, inFlight, true},
                                 warm});
        }
    }
    out() << "\nEvent-loop gaps, 1 GiB, integrity on, " << cloud.name << ", " << rounds
          << " rounds\n";
    out().flush();
    for (int round = 0; round < rounds; ++round) {
        // The order turns every round, so that no case always follows the same one.
        for (size_t turn = 0; turn < cases.size(); ++turn) {
            GapCase& gapCase = cases[(turn + size_t(round) * 3) % cases.size()];
            const Sample sample = runBigFile(bench, cloud, gapCase.upload, path, gapCase.warm);
            if (!sample.ok)
                return false;
            gapCase.gaps.insert(gapCase.gaps.end(), sample.gaps.begin(), sample.gaps.end());
            for (size_t i = 0; i < sample.gaps.size(); ++i) {
                if (sample.gaps[i] > 2) {
                    gapCase.longGapsMs += sample.gaps[i];
                    gapCase.longGapsCpuMs += sample.gapCpu[i];
                }
            }
            const double longest = benchPercentile(sample.gaps, 1.0);
            gapCase.longest = std::max(gapCase.longest, longest);
            err() << QStringLiteral("  round %1, %2: %3 s, longest gap %4 ms\n")
                         .arg(round + 1)
                         .arg(gapCase.title)
                         .arg(sample.wallSec, 0, 'f', 2)
                         .arg(longest, 0, 'f', 1);
        }
    }
    out() << QStringLiteral("  %1 %2 %3 %4 %5 %6 %7  %8\n")
                 .arg("case", -32)
                 .arg("longest", 8)
                 .arg("p99", 6)
                 .arg("p99.9", 6)
                 .arg("ticks", 7)
                 .arg("> 1 frame", 9)
                 .arg("busy", 5)
                 .arg("targets: longest <= 16.7 ms, p99 <= 4 ms");
    bool met = true;
    for (const GapCase& gapCase : cases) {
        const double p99 = benchPercentile(gapCase.gaps, 0.99);
        const auto overFrame = std::count_if(gapCase.gaps.begin(), gapCase.gaps.end(),
                                             [](double gap) { return gap > kFrameMs; });
        const bool caseMet = gapCase.longest <= kFrameMs && p99 <= 4;
        if (gapCase.upload.plugin == plugins.first())
            met = met && caseMet;
        const double busy =
            gapCase.longGapsMs > 0 ? 100 * gapCase.longGapsCpuMs / gapCase.longGapsMs : 0;
        out() << QStringLiteral("  %1 %2 %3 %4 %5 %6 %7%  %8\n")
                     .arg(gapCase.title, -32)
                     .arg(gapCase.longest, 8, 'f', 1)
                     .arg(p99, 6, 'f', 1)
                     .arg(benchPercentile(gapCase.gaps, 0.999), 6, 'f', 1)
                     .arg(gapCase.gaps.size(), 7)
                     .arg(overFrame, 9)
                     .arg(busy, 4, 'f', 0)
                     .arg(caseMet ? "met" : "NOT met");
    }
    out() << "  (ms; a gap is the time between two ticks of a 1 ms timer; busy: the host thread's\n"
             "  CPU time in the gaps above 2 ms, against their length)\n"
          << "  this build: " << (met ? "every case met" : "NOT every case met") << "\n";
    out().flush();
    return true;
}

// Two configurations measured alternately: each round runs both, the one that goes first
// turning from round to round.
struct SideBySide
{
    std::vector<double> wall[2];
    std::vector<double> cpu[2];

    // Runs round `round` (`first` goes first in round 0); false when a run failed.
    bool round(int round, int first, const std::function<Sample(int side)>& run)
    {
        for (int turn = 0; turn < 2; ++turn) {
            const int side = (first + turn + round) % 2;
            const Sample sample = run(side);
            if (!sample.ok)
                return false;
            wall[side].push_back(sample.wallSec);
            cpu[side].push_back(sample.cpuSec);
        }
        return true;
    }
};

bool measureIntegrity(const Bench& bench, const Cloud& cloud, const QStringList& plugins,
                      const QString& path, int rounds)
{
    out() << "\nIntegrity check on / off, 1 GiB multipart, 4 parts in flight, warm cache, "
          << cloud.name << ", medians of " << rounds << " rounds\n";
    out().flush();
    for (const QString& plugin : plugins) {
        SideBySide runs; // side 1: the check on
        const auto& wall = runs.wall;
        const auto& cpu = runs.cpu;
        for (int round = 0; round < rounds; ++round) {
            const bool ok = runs.round(round, 1, [&](int check) {
                return runBigFile(bench, cloud, {plugin, true, 4, check == 1}, path, true);
            });
            if (!ok)
                return false;
            err() << QStringLiteral("  round %1: on %2 s, off %3 s\n")
                         .arg(round + 1)
                         .arg(wall[1].back(), 0, 'f', 2)
                         .arg(wall[0].back(), 0, 'f', 2);
        }
        const double ratio = benchMedian(wall[1]) / benchMedian(wall[0]);
        const bool baseline = plugin != plugins.first();
        out() << QStringLiteral("  %1 wall %2 (fastest rounds %3), CPU %4%5\n")
                     .arg(baseline ? "baseline:  " : "this build:")
                     .arg(ratio, 0, 'f', 2)
                     .arg(benchPercentile(wall[1], 0) / benchPercentile(wall[0], 0), 0, 'f', 2)
                     .arg(benchMedian(cpu[1]) / benchMedian(cpu[0]), 0, 'f', 2)
                     .arg(baseline ? QString()
                                   : QStringLiteral("   target: wall <= 2.8 on 2 cores: %1")
                                         .arg(ratio <= 2.8 ? "met" : "NOT met"));
        out().flush();
    }
    return true;
}

bool measureSmallFiles(const Bench& bench, const Cloud& cloud, const QStringList& plugins,
                       const QString& dir, int count, int rounds)
{
    QJsonArray jobs;
    for (int i = 0; i < count; ++i) {
        const QString name = QStringLiteral("small-%1.bin").arg(i, 5, 10, QChar('0'));
        jobs.append(job(cloud, QDir(dir).filePath(name), "bench/small/" + name, false));
    }
    out() << "\n"
          << count << " files of 4 KiB, one host, 2 jobs in flight, " << cloud.name
          << ", medians of " << rounds << " rounds\n";
    if (plugins.size() < 2) {
        out() << "  skipped: needs --baseline PLUGIN to compare with\n";
        return true;
    }
    SideBySide runs; // side 0: this build, 1: the baseline
    const auto& wall = runs.wall;
    const auto& cpu = runs.cpu;
    for (int round = 0; round < rounds; ++round) {
        const bool ok = runs.round(round, 0, [&](int which) {
            Sample sample = runHost(bench, cloud, {plugins.at(which), false, 1, true}, jobs);
            if (sample.ok && !cloud.holdsAll("bench/small/", count, 4096)) {
                err() << "  the uploads reported success, but not every small file is stored\n";
                sample.ok = false;
            }
            return sample;
        });
        if (!ok)
            return false;
        err() << QStringLiteral("  round %1: this build %2 s, baseline %3 s\n")
                     .arg(round + 1)
                     .arg(wall[0].back(), 0, 'f', 3)
                     .arg(wall[1].back(), 0, 'f', 3);
    }
    const double ratio = benchMedian(wall[0]) / benchMedian(wall[1]);
    out() << QStringLiteral("  this build / baseline: wall %1 (fastest rounds %2), host CPU %3;"
                            " %4 files/s   target: wall <= 1: %5\n")
                 .arg(ratio, 0, 'f', 2)
                 .arg(benchPercentile(wall[0], 0) / benchPercentile(wall[1], 0), 0, 'f', 2)
                 .arg(benchMedian(cpu[0]) / benchMedian(cpu[1]), 0, 'f', 2)
                 .arg(count / benchMedian(wall[0]), 0, 'f', 0)
                 .arg(ratio <= 1 ? "met" : "NOT met");
    out().flush();
    return true;
}

bool writeSmallFiles(const QString& dir, int count)
{
    if (!QDir().mkpath(dir))
        return false;
    for (int i = 0; i < count; ++i) {
        const QString name = QStringLiteral("small-%1.bin").arg(i, 5, 10, QChar('0'));
        if (!benchWriteRandomFile(QDir(dir).filePath(name), 4096, quint64(i)))
            return false;
    }
    return true;
}

bool sinkHolds(const QString&, const QString& downloadUrl, qint64 size, bool multipart)
{
    // Of a single PUT the sink knows nothing after its answer.
    return !multipart || BenchSink::holdsAssembled(downloadUrl, size);
}

void usage()
{
    err() << "usage: bench_host_loop [--rounds N] [--small-rounds N] [--size-mib N]\n"
             "                       [--only gaps|integrity|small] [--no-local]\n"
             "                       [--baseline PLUGIN] [--gateway DIR] [--plugin PATH]\n"
             "  --baseline PLUGIN  another build's libVXFileUpload.so, measured side by side\n"
             "  --no-local         not against the local null sink (with --gateway)\n"
             "  --gateway DIR      also through the reference server to the S3 gateway that\n"
             "                     DIR/rgw.env describes (env VXBENCH_GATEWAY_DIR)\n";
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QStringList arguments = app.arguments().mid(1);
    if (arguments.value(0) == "--host")
        return hostMain(arguments.mid(1));

    int rounds = 3;
    int smallRounds = 15; // a small-file run is short: more rounds for the same confidence
    qint64 sizeMiB = 1024;
    QString only;
    bool local = true;
    QString baseline;
    QString gatewayDir = qEnvironmentVariable("VXBENCH_GATEWAY_DIR");
    QString plugin = QDir(app.applicationDirPath()).filePath("libVXFileUpload.so");
    while (!arguments.isEmpty()) {
        const QString option = arguments.takeFirst();
        if (option == "--no-local") {
            local = false;
            continue;
        }
        const QString value = arguments.isEmpty() ? QString() : arguments.takeFirst();
        if (option == "--rounds")
            rounds = value.toInt();
        else if (option == "--small-rounds")
            smallRounds = value.toInt();
        else if (option == "--size-mib")
            sizeMiB = value.toLongLong();
        else if (option == "--only" && QStringList{"gaps", "integrity", "small"}.contains(value))
            only = value;
        else if (option == "--baseline")
            baseline = value;
        else if (option == "--gateway")
            gatewayDir = value;
        else if (option == "--plugin")
            plugin = value;
        else
            rounds = 0;
    }
    if (rounds < 1 || smallRounds < 1 || sizeMiB < 21) {
        usage();
        return 2;
    }
    const QString curlProgram = QStandardPaths::findExecutable("curl");
    if (!gatewayDir.isEmpty() && curlProgram.isEmpty()) {
        err() << "the curl program is missing (it checks the gateway): apt-get install curl\n";
        return 2;
    }
    // Only the fileUpload.ini written for each run configures the plugin.
    for (const char* name :
         {"VXUPLOAD_API_HOST", "VXUPLOAD_TOKEN", "VXUPLOAD_RETRIES", "VXUPLOAD_CONNECT_TIMEOUT_SEC",
          "VXUPLOAD_STALL_TIMEOUT_SEC", "VXUPLOAD_VERIFY_INTEGRITY", "VXUPLOAD_RESUME",
          "VXUPLOAD_RESUME_FOLDER"})
        qunsetenv(name);

    QTemporaryDir work;
    Bench bench{work.filePath("host/bench_host_loop"), work.filePath("resume"),
                work.filePath("jobs.json"), curlProgram};
    if (!work.isValid() || !QDir().mkpath(work.filePath("host")) ||
        !QDir().mkpath(bench.resumeFolder) ||
        !QFile::copy(app.applicationFilePath(), bench.hostProgram)) {
        err() << "cannot prepare the host's run folder in " << work.path() << "\n";
        return 2;
    }
    const QString bigFile = work.filePath("bench-host-loop.bin");
    const QString smallDir = work.filePath("small");
    const int smallCount = 1000;
    if (!benchWriteRandomFile(bigFile, sizeMiB * kMiB, 19) ||
        !writeSmallFiles(smallDir, smallCount)) {
        err() << "cannot write the test files in " << work.path() << "\n";
        return 2;
    }
    QStringList plugins{plugin};
    if (!baseline.isEmpty())
        plugins << baseline;

    out() << "bench_host_loop " << QDateTime::currentDateTime().toString(Qt::ISODate) << ", nproc "
          << benchProcessorCount() << "\n  plugin " << plugin
          << (baseline.isEmpty() ? QString() : "\n  baseline " + baseline) << "\n";
    out().flush();

    bool ok = true;
    if (local) {
        BenchSink sink;
        if (!sink.start())
            return 2;
        // The sink keeps nothing of a single PUT: the plugin's success is all it can tell.
        const Cloud cloud{"local null sink",
                          sink.baseUrl(),
                          QString(),
                          "bench",
                          &sinkHolds,
                          [](const QString&) {},
                          [&sink](const QString& remote) { return sink.putUrl(remote); },
                          [](const QString&, int, qint64) { return true; }};
        if (only.isEmpty() || only == "gaps")
            ok = measureGaps(bench, cloud, plugins, bigFile, rounds) && ok;
        if (only.isEmpty() || only == "integrity")
            ok = measureIntegrity(bench, cloud, plugins, bigFile, rounds) && ok;
        if (only.isEmpty() || only == "small")
            ok = measureSmallFiles(bench, cloud, plugins, smallDir, smallCount, smallRounds) && ok;
    }
    if (!gatewayDir.isEmpty()) {
        BenchReferenceServer server;
        QString error;
        if (!server.start(gatewayDir, QStringLiteral(VXBENCH_SERVER_MAIN), &error)) {
            err() << "gateway: " << error << "\n";
            return 1;
        }
        const Cloud cloud{
            "S3 gateway (" + gatewayDir + ") through the reference server",
            server.url(),
            server.token(),
            server.bucket(),
            [&](const QString& remote, const QString&, qint64 size, bool) {
                return server.storedSize(curlProgram, remote) == size;
            },
            [&](const QString& remote) {
                if (!server.removeObject(curlProgram, remote))
                    err() << "gateway: could not remove " << remote << "\n";
            },
            [&](const QString& remote) {
                return benchCurlUploadUrl(curlProgram,
                                          {server.url(), server.token(), server.bucket()}, remote);
            },
            [&](const QString& prefix, int count, qint64 size) {
                QMap<QString, qint64> sizes;
                return server.listObjects(curlProgram, prefix, &sizes) && sizes.size() == count &&
                       std::all_of(sizes.cbegin(), sizes.cend(),
                                   [size](qint64 each) { return each == size; });
            }};
        if (only.isEmpty() || only == "gaps")
            ok = measureGaps(bench, cloud, plugins, bigFile, rounds) && ok;
        if (only.isEmpty() || only == "integrity")
            ok = measureIntegrity(bench, cloud, plugins, bigFile, rounds) && ok;
        if (only.isEmpty() || only == "small")
            ok = measureSmallFiles(bench, cloud, plugins, smallDir, smallCount, smallRounds) && ok;
    }
    if (!ok)
        err() << "\nan upload failed: see above\n";
    return ok ? 0 : 1;
}
