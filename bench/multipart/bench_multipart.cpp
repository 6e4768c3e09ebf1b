// bench_multipart: multipart uploads through the built plugin against the curl program, side by
// side and alternating in one run, medians of N rounds. It prints ratios, never a bare time.
//
//   local    a 1 GiB file, 20 MiB slices (52 parts, the last one short), to the local null sink
//            (bench_http_sink as a fake cloud server, its own process): wall time and client
//            CPU ours/curl, and our peak resident memory against 64 MiB + partsInFlight x slice.
//   gateway  the same against an S3-compatible gateway through the reference server
//            (--gateway DIR, DIR/rgw.env as written by scripts/rgw.sh start DIR).
//   wan      the sink with a rate cap per connection and a delay before each answer: our upload
//            with partsInFlight 1, 4 and 8, the speed-up of 4 and 8 against 1.
//
// Our side is a host process that loads libVXFileUpload.so through QPluginLoader, as an
// application does: this program copied into a run folder next to its fileUpload.ini, run with
// --host. Its time and CPU are taken inside it from the job's submission to its final report;
// its peak memory is the process's own VmHWM at the end. The curl side is three curl processes:
// the start request, then all parts one after another in ONE process (one kept-alive
// connection; each -T/URL pair reuses it), then the completion request; its time runs from the
// first spawn to the last exit, its CPU is the processes' own (wait4) and its memory their
// largest VmHWM. curl sends the parts from part files cut from the test file beforehand
// (untimed). Both files are real bytes, not sparse, written and synced before the first round,
// so that the page cache serves them as it would a real file. Every upload is checked: the sink
// or the gateway must hold every byte.
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
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
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
constexpr double kRssBaseMiB = 64;
constexpr int kHostTimeoutMs = 15 * 60 * 1000;
const QString kBcode = QStringLiteral("BENCH");

// --- our side: the host process ------------------------------------------------------------

// --host PLUGIN FILE BUCKET REMOTE: uploads one job, prints
// "RESULT <res> <seconds> <cpu seconds> <VmHWM MiB> <downloadUrl>".
int hostMain(const QStringList& arguments)
{
    if (arguments.size() != 4)
        return 2;
    QPluginLoader loader(arguments.at(0));
    auto* upload = qobject_cast<IVXFileUpload*>(loader.instance());
    if (!upload) {
        err() << "cannot load the plugin: " << loader.errorString() << "\n";
        return 3;
    }
    VXHostRelay host;
    upload->initUploadManager(&host);
    const int noReport = -999999;
    int result = noReport;
    QString downloadUrl;
    QObject::connect(&host, &VXHostRelay::sglUploadFinished, &host,
                     [&](int res, const QJsonObject& job) {
                         result = res;
                         downloadUrl = job.value(QStringLiteral("downloadUrl")).toString();
                         QCoreApplication::quit();
                     });
    QTimer::singleShot(kHostTimeoutMs, &host, [] { QCoreApplication::quit(); });
    const QJsonObject job{{"localPath", arguments.at(1)},
                          {"bucketName", arguments.at(2)},
                          {"remotePath", arguments.at(3)},
                          {"bc_bcode", kBcode}};
    const double cpuBefore = benchCpuSeconds();
    QElapsedTimer timer;
    timer.start();
    upload->uploadFileByPost(job);
    if (result == noReport) // a report from inside the call has come before the loop could run
        QCoreApplication::exec();
    const double seconds = timer.nsecsElapsed() / 1e9;
    const double cpu = benchCpuSeconds() - cpuBefore;
    out() << "RESULT " << result << ' ' << seconds << ' ' << cpu << ' '
          << benchPeakRssMiB(QCoreApplication::applicationPid()) << ' ' << downloadUrl << "\n";
    out().flush();
    return result == 0 ? 0 : 1;
}

// --- the measurements ----------------------------------------------------------------------

struct Sample
{
    bool ok = false;
    double wallSec = 0;
    double cpuSec = 0;
    double peakRssMiB = 0;
    // Ours as a whole process: start, plugin load, upload, exit. curl: its parts process
    // alone, without the start and completion requests.
    double otherWallSec = 0;
    double otherCpuSec = 0;
};

struct Series
{
    std::vector<double> wall, cpu, rss, otherWall, otherCpu;

    void add(const Sample& sample)
    {
        wall.push_back(sample.wallSec);
        cpu.push_back(sample.cpuSec);
        rss.push_back(sample.peakRssMiB);
        otherWall.push_back(sample.otherWallSec);
        otherCpu.push_back(sample.otherCpuSec);
    }
};

struct TestFile
{
    QString path;
    qint64 size = 0;
    qint64 sliceLen = 0;
    QStringList partFiles; // the same bytes cut at the slice boundaries, for curl

    int partCount() const { return int((size + sliceLen - 1) / sliceLen); }
};

// Real bytes, synced, and the same bytes cut at the slice boundaries for curl.
bool writeTestFile(TestFile& file, const QString& dir)
{
    if (!benchWriteRandomFile(file.path, file.size, quint64(file.size)))
        return false;
    file.partFiles = benchCutParts(file.path, file.sliceLen, dir);
    return file.partFiles.size() == file.partCount();
}

// Where the three requests go, and how a stored object is checked.
struct Cloud
{
    QString url;
    QString token;
    QString bucket;
    // True when the object behind `downloadUrl` holds `size` bytes.
    std::function<bool(const QString& downloadUrl, qint64 size)> holds;
};

bool gatewayHolds(const QString& curlProgram, const QString& downloadUrl, qint64 size)
{
    const BenchChildRun run = runBenchChild(
        curlProgram, {"-sS", "-g", "-r", "0-0", "-o", "/dev/null", "-D", "-", downloadUrl});
    const QRegularExpression range(QStringLiteral("content-range: bytes 0-0/(\\d+)"),
                                   QRegularExpression::CaseInsensitiveOption);
    const auto match = range.match(QString::fromLatin1(run.output));
    return match.hasMatch() && match.captured(1).toLongLong() == size;
}

struct Bench
{
    QString curlProgram;
    QString pluginPath;
    QString hostProgram; // the copy of this program in its run folder
};

Sample runOurs(const Bench& bench, const Cloud& cloud, const TestFile& file, int partsInFlight,
               const QString& remote)
{
    {
        QSettings ini(QFileInfo(bench.hostProgram).dir().filePath("fileUpload.ini"),
                      QSettings::IniFormat);
        ini.clear();
        ini.setValue("HostInformation/cloudHost", cloud.url);
        ini.setValue("HostInformation/apiHost", cloud.url);
        ini.setValue("HostInformation/token", cloud.token);
        ini.setValue("PackageInformation/sliceLen", QString::number(file.sliceLen));
        ini.setValue("PackageInformation/partsInFlight", QString::number(partsInFlight));
    }
    const BenchChildRun run = runBenchChild(
        bench.hostProgram, {"--host", bench.pluginPath, file.path, cloud.bucket, remote});
    Sample sample;
    const QStringList fields = QString::fromUtf8(run.output).trimmed().split(' ');
    if (fields.size() < 6 || fields.at(0) != "RESULT" || fields.at(1) != "0") {
        err() << "our upload failed: exit " << run.exitCode << ", " << run.output << "\n";
        return sample;
    }
    if (!cloud.holds(fields.at(5), file.size)) {
        err() << "our upload reported success but the object is not complete: " << fields.at(5)
              << "\n";
        return sample;
    }
    sample.ok = true;
    sample.wallSec = fields.at(2).toDouble();
    sample.cpuSec = fields.at(3).toDouble();
    sample.peakRssMiB = fields.at(4).toDouble();
    sample.otherWallSec = run.wallSec;
    sample.otherCpuSec = run.cpuSec;
    return sample;
}

Sample runCurl(const Bench& bench, const Cloud& cloud, const TestFile& file, const QString& remote,
               int* connections)
{
    const BenchCurlRun run =
        benchCurlMultipart(bench.curlProgram, {cloud.url, cloud.token, cloud.bucket}, file.path,
                           file.partFiles, remote, kBcode);
    *connections = run.connections;
    Sample sample;
    sample.wallSec = run.wallSec;
    sample.cpuSec = run.cpuSec;
    sample.peakRssMiB = run.peakRssMiB;
    sample.otherWallSec = run.putWallSec;
    sample.otherCpuSec = run.putCpuSec;
    if (!run.ok) {
        err() << "curl: " << run.error << "\n";
        return sample;
    }
    if (!cloud.holds(run.downloadUrl, file.size)) {
        err() << "curl: the object is not complete: " << run.downloadUrl << "\n";
        return sample;
    }
    sample.ok = true;
    return sample;
}

QString verdict(bool met)
{
    return met ? QStringLiteral("met") : QStringLiteral("NOT met");
}

QString row(const QString& what, double ours, double curl, int decimals, const QString& target,
            bool met)
{
    return QStringLiteral("  %1 %2 %3 %4  %5 %6\n")
        .arg(what, -22)
        .arg(ours, 9, 'f', decimals)
        .arg(curl, 9, 'f', decimals)
        .arg(ours / curl, 7, 'f', 2)
        .arg(target, -8)
        .arg(verdict(met));
}

// Ours and curl alternating (which goes first changes every round), after one untimed upload
// of the small `warmUp` file by each (a gateway creates its data pool on the first write);
// false when an upload failed.
bool compareWithCurl(const Bench& bench, const Cloud& cloud, const TestFile& file,
                     const TestFile& warmUp, int rounds, const QString& title,
                     const std::function<void(const QString&)>& cleanUp)
{
    out() << "\n" << title << "\n";
    out().flush();
    int connections = 0;
    const bool warm = runOurs(bench, cloud, warmUp, 1, "bench/warm-up-ours.bin").ok &&
                      runCurl(bench, cloud, warmUp, "bench/warm-up-curl.bin", &connections).ok;
    cleanUp("bench/warm-up-ours.bin");
    cleanUp("bench/warm-up-curl.bin");
    if (!warm)
        return false;
    Series ours;
    Series curl;
    for (int round = 1; round <= rounds; ++round) {
        Sample oursSample;
        Sample curlSample;
        const QString oursRemote = QStringLiteral("bench/multipart-ours-%1.bin").arg(round);
        const QString curlRemote = QStringLiteral("bench/multipart-curl-%1.bin").arg(round);
        for (int turn = 0; turn < 2; ++turn) {
            if ((turn == 0) == (round % 2 == 1)) {
                oursSample = runOurs(bench, cloud, file, 1, oursRemote);
                cleanUp(oursRemote);
            } else {
                curlSample = runCurl(bench, cloud, file, curlRemote, &connections);
                cleanUp(curlRemote);
            }
        }
        if (!oursSample.ok || !curlSample.ok)
            return false;
        ours.add(oursSample);
        curl.add(curlSample);
        out() << QStringLiteral("  round %1: ours %2 s, %3 s CPU, %4 MiB peak | curl %5 s, "
                                "%6 s CPU, %7 MiB peak, %8 new connection(s) for the parts\n")
                     .arg(round)
                     .arg(oursSample.wallSec, 0, 'f', 3)
                     .arg(oursSample.cpuSec, 0, 'f', 3)
                     .arg(oursSample.peakRssMiB, 0, 'f', 0)
                     .arg(curlSample.wallSec, 0, 'f', 3)
                     .arg(curlSample.cpuSec, 0, 'f', 3)
                     .arg(curlSample.peakRssMiB, 0, 'f', 0)
                     .arg(connections);
        out().flush();
    }
    const double oursWall = benchMedian(ours.wall);
    const double curlWall = benchMedian(curl.wall);
    const double oursCpu = benchMedian(ours.cpu);
    const double curlCpu = benchMedian(curl.cpu);
    const double rss = benchMedian(ours.rss);
    const double budget = kRssBaseMiB + double(file.sliceLen) / kMiB;
    out() << QStringLiteral("  medians of %1 rounds         ours      curl   ratio  target\n")
                 .arg(rounds);
    out() << row("wall time, s", oursWall, curlWall, 3, "<= 1.05", oursWall / curlWall <= 1.05);
    out() << row("client CPU (user+sys), s", oursCpu, curlCpu, 3, "<= 1.2",
                 oursCpu / curlCpu <= 1.2);
    out() << QStringLiteral("  %1 %2 %3   budget %4 MiB (64 + 1 x slice): %5\n")
                 .arg("peak RSS, MiB", -22)
                 .arg(rss, 9, 'f', 0)
                 .arg(benchMedian(curl.rss), 9, 'f', 0)
                 .arg(budget, 0, 'f', 0)
                 .arg(verdict(rss <= budget));
    out() << QStringLiteral("  ours as a whole process (start, plugin load, upload, exit): "
                            "wall %1 s, ratio %2; CPU %3 s, ratio %4\n")
                 .arg(benchMedian(ours.otherWall), 0, 'f', 3)
                 .arg(benchMedian(ours.otherWall) / curlWall, 0, 'f', 2)
                 .arg(benchMedian(ours.otherCpu), 0, 'f', 3)
                 .arg(benchMedian(ours.otherCpu) / curlCpu, 0, 'f', 2);
    out() << QStringLiteral("  against curl's parts process alone (no start or completion "
                            "request): wall %1 s, ratio %2; CPU %3 s, ratio %4\n")
                 .arg(benchMedian(curl.otherWall), 0, 'f', 3)
                 .arg(oursWall / benchMedian(curl.otherWall), 0, 'f', 2)
                 .arg(benchMedian(curl.otherCpu), 0, 'f', 3)
                 .arg(oursCpu / benchMedian(curl.otherCpu), 0, 'f', 2);
    out() << QStringLiteral("  throughput: ours %1 MiB/s, curl %2 MiB/s\n")
                 .arg(double(file.size) / kMiB / oursWall, 0, 'f', 0)
                 .arg(double(file.size) / kMiB / curlWall, 0, 'f', 0);
    out().flush();
    return true;
}

bool runWan(const Bench& bench, const TestFile& file, int rounds, double rateMiB, int delayMs)
{
    BenchSink sink;
    if (!sink.start(
            {"--rate-mib", QString::number(rateMiB), "--delay-ms", QString::number(delayMs)}))
        return false;
    const Cloud cloud{sink.baseUrl(), QString(), QStringLiteral("bench"),
                      &BenchSink::holdsAssembled};
    out() << QStringLiteral("\nWAN-like sink: %1 MiB/s per connection, %2 ms before each answer;"
                            " %3 MiB file, %4 MiB slices (%5 parts)\n")
                 .arg(rateMiB)
                 .arg(delayMs)
                 .arg(file.size / kMiB)
                 .arg(file.sliceLen / kMiB)
                 .arg(file.partCount());
    out().flush();
    const std::vector<int> inFlight{1, 4, 8};
    std::vector<Series> ours(inFlight.size());
    Series curl;
    int connections = 0;
    for (int round = 1; round <= rounds; ++round) {
        QStringList line;
        // The order turns every round, so that no setting always runs first.
        for (size_t turn = 0; turn <= inFlight.size(); ++turn) {
            const size_t which = (turn + size_t(round) - 1) % (inFlight.size() + 1);
            if (which == inFlight.size()) {
                const Sample sample =
                    runCurl(bench, cloud, file, "bench/wan-curl.bin", &connections);
                if (!sample.ok)
                    return false;
                curl.add(sample);
                line << QStringLiteral("curl %1 s").arg(sample.wallSec, 0, 'f', 2);
                continue;
            }
            const Sample sample = runOurs(bench, cloud, file, inFlight[which], "bench/wan.bin");
            if (!sample.ok)
                return false;
            ours[which].add(sample);
            line << QStringLiteral("%1 in flight %2 s")
                        .arg(inFlight[which])
                        .arg(sample.wallSec, 0, 'f', 2);
        }
        out() << "  round " << round << ": " << line.join(", ") << "\n";
        out().flush();
    }
    const double one = benchMedian(ours[0].wall);
    out() << QStringLiteral("  medians of %1 rounds   wall s  speed-up vs 1  peak RSS MiB "
                            "(budget)   target\n")
                 .arg(rounds);
    for (size_t i = 0; i < inFlight.size(); ++i) {
        const double wall = benchMedian(ours[i].wall);
        const double rss = benchMedian(ours[i].rss);
        const double budget = kRssBaseMiB + inFlight[i] * double(file.sliceLen) / kMiB;
        QString target;
        if (inFlight[i] == 4)
            target = QStringLiteral(">= 3.0 ") + verdict(one / wall >= 3.0);
        out() << QStringLiteral("  partsInFlight %1 %2 %3 %4 (%5) %6  %7\n")
                     .arg(inFlight[i], -8)
                     .arg(wall, 8, 'f', 2)
                     .arg(one / wall, 10, 'f', 2)
                     .arg(rss, 12, 'f', 0)
                     .arg(budget, 0, 'f', 0)
                     .arg(verdict(rss <= budget), -7)
                     .arg(target);
    }
    const double curlWall = benchMedian(curl.wall);
    out() << QStringLiteral("  curl, 1 connection     %1   (partsInFlight 1 / curl: %2)\n")
                 .arg(curlWall, 8, 'f', 2)
                 .arg(one / curlWall, 0, 'f', 2);
    out().flush();
    return true;
}

void usage()
{
    err() << "usage: bench_multipart [--rounds N] [--size-mib N] [--no-local] [--no-wan]\n"
             "                       [--wan-size-mib N] [--wan-rate-mib N] [--wan-delay-ms N]\n"
             "                       [--gateway DIR] [--plugin PATH]\n"
             "  --gateway DIR   also upload through the reference server to the S3 gateway\n"
             "                  that DIR/rgw.env describes (env VXBENCH_GATEWAY_DIR)\n";
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QStringList arguments = app.arguments().mid(1);
    if (arguments.value(0) == "--host")
        return hostMain(arguments.mid(1));

    int rounds = 3;
    qint64 sizeMiB = 1024;
    qint64 wanSizeMiB = 256;
    double wanRateMiB = 50;
    int wanDelayMs = 50;
    bool local = true;
    bool wan = true;
    QString gatewayDir = qEnvironmentVariable("VXBENCH_GATEWAY_DIR");
    Bench bench;
    bench.pluginPath = QDir(app.applicationDirPath()).filePath("libVXFileUpload.so");
    while (!arguments.isEmpty()) {
        const QString option = arguments.takeFirst();
        if (option == "--no-local" || option == "--no-wan") {
            (option == "--no-local" ? local : wan) = false;
            continue;
        }
        if (arguments.isEmpty()) {
            usage();
            return 2;
        }
        const QString value = arguments.takeFirst();
        if (option == "--rounds")
            rounds = value.toInt();
        else if (option == "--size-mib")
            sizeMiB = value.toLongLong();
        else if (option == "--wan-size-mib")
            wanSizeMiB = value.toLongLong();
        else if (option == "--wan-rate-mib")
            wanRateMiB = value.toDouble();
        else if (option == "--wan-delay-ms")
            wanDelayMs = value.toInt();
        else if (option == "--gateway")
            gatewayDir = value;
        else if (option == "--plugin")
            bench.pluginPath = value;
        else {
            usage();
            return 2;
        }
    }
    if (rounds < 1 || sizeMiB < 21 || wanSizeMiB < 9 || wanRateMiB <= 0 || wanDelayMs < 0) {
        usage();
        return 2;
    }
    bench.curlProgram = QStandardPaths::findExecutable("curl");
    if (bench.curlProgram.isEmpty()) {
        err() << "the curl program is missing: apt-get install curl\n";
        return 2;
    }
    // Only the fileUpload.ini written for each run configures the plugin.
    for (const char* name : {"VXUPLOAD_API_HOST", "VXUPLOAD_TOKEN", "VXUPLOAD_RETRIES",
                             "VXUPLOAD_CONNECT_TIMEOUT_SEC", "VXUPLOAD_STALL_TIMEOUT_SEC"})
        qunsetenv(name);

    QTemporaryDir work;
    const QString hostDir = work.filePath("host");
    bench.hostProgram = hostDir + "/bench_multipart";
    if (!work.isValid() || !QDir().mkpath(hostDir) ||
        !QFile::copy(app.applicationFilePath(), bench.hostProgram)) {
        err() << "cannot prepare the host's run folder in " << work.path() << "\n";
        return 2;
    }

    out() << "bench_multipart " << QDateTime::currentDateTime().toString(Qt::ISODate) << ", nproc "
          << benchProcessorCount() << ", plugin " << bench.pluginPath << "\n"
          << "our side: the plugin in a host process (QPluginLoader), partsInFlight from its "
             "fileUpload.ini; curl side: the curl program, parts on one kept-alive connection\n"
          << "files: real bytes written and synced before the first round, read through the "
             "page cache by both sides\n";
    out().flush();

    bool ok = true;
    if (local || !gatewayDir.isEmpty()) {
        const QString dir = work.filePath("big");
        QDir().mkpath(dir);
        TestFile file{dir + "/bench-multipart.bin", sizeMiB * kMiB, 20 * kMiB, {}};
        TestFile warmUp{dir + "/warm-up.bin", 41 * kMiB, 20 * kMiB, {}};
        QDir().mkpath(dir + "/warm-up");
        if (!writeTestFile(file, dir) || !writeTestFile(warmUp, dir + "/warm-up")) {
            err() << "cannot write the test file in " << dir << "\n";
            return 2;
        }
        const QString title =
            QStringLiteral("%1 MiB file, %2 MiB slices (%3 parts, last %4 MiB)")
                .arg(sizeMiB)
                .arg(file.sliceLen / kMiB)
                .arg(file.partCount())
                .arg(double(file.size - (file.partCount() - 1) * file.sliceLen) / kMiB, 0, 'f', 0);
        if (local) {
            BenchSink sink;
            if (!sink.start())
                return 2;
            const Cloud cloud{sink.baseUrl(), QString(), QStringLiteral("bench"),
                              &BenchSink::holdsAssembled};
            ok = compareWithCurl(bench, cloud, file, warmUp, rounds,
                                 title + ", local null sink (fake cloud server, 127.0.0.1)",
                                 [](const QString&) {}) &&
                 ok;
        }
        if (!gatewayDir.isEmpty()) {
            BenchReferenceServer server;
            QString error;
            const QString serverMain = QStringLiteral(VXBENCH_SERVER_MAIN);
            if (!server.start(gatewayDir, serverMain, &error)) {
                err() << "gateway: " << error << "\n";
                return 1;
            }
            const QString curlProgram = bench.curlProgram;
            const Cloud cloud{server.url(), server.token(), server.bucket(),
                              [curlProgram](const QString& url, qint64 size) {
                                  return gatewayHolds(curlProgram, url, size);
                              }};
            ok = compareWithCurl(bench, cloud, file, warmUp, rounds,
                                 title + ", S3 gateway through the reference server (" +
                                     gatewayDir + ")",
                                 [&](const QString& key) {
                                     if (!server.removeObject(curlProgram, key))
                                         err() << "gateway: could not remove " << key << "\n";
                                 }) &&
                 ok;
        }
        QDir(dir).removeRecursively(); // frees the page cache before the next section
    }
    if (wan) {
        const QString dir = work.filePath("wan");
        QDir().mkpath(dir);
        TestFile file{dir + "/bench-wan.bin", wanSizeMiB * kMiB, 8 * kMiB, {}};
        if (!writeTestFile(file, dir)) {
            err() << "cannot write the test file in " << dir << "\n";
            return 2;
        }
        ok = runWan(bench, file, rounds, wanRateMiB, wanDelayMs) && ok;
    }
    if (!ok)
        err() << "\nan upload failed: see above\n";
    return ok ? 0 : 1;
}
