// bench_peers: the plugin, driven by vxupload, against the curl program, the AWS CLI and rclone
// on one S3 gateway, side by side: in each round every tool runs once, in an order that turns
// from round to round; medians of N rounds, printed as ratios and as a Markdown table.
//
//   A  one file (1 GiB) in a single PUT: ours (a job without bc_bcode), curl -T to the
//      pre-signed URL that the reference server hands out, aws s3 cp and rclone copyto set to
//      send one PUT too (multipart_threshold, --s3-upload-cutoff above the size), and both at
//      their defaults (multipart: aws 8 MiB parts, 10 at once; rclone 5 MiB parts, 4 at once).
//   B  the same file in 20 MiB parts: ours with partsInFlight 4, curl sending the parts one
//      after another on one connection, aws s3 cp at its default 10 requests at once, rclone
//      copyto at --s3-upload-concurrency 4.
//   C  1,000 files of 4 KiB: ours with jobsInFlight 8 (and at its default, 2), aws s3 cp
//      --recursive and rclone copy at their defaults (10 and 4 at once); files per second.
//   D  ours with verifyIntegrity on (the default) against off, in A and B.
//
// A run is a process (curl: its processes one after another) timed from spawn to exit: wall
// time, user + system CPU (wait4, with the children it reaped), peak resident memory (VmHWM of
// the tool's process, sampled every 10 ms; curl: the largest of its processes) and the load
// average before it. A run counts only when the tool exited 0 and the gateway then holds every
// object at its full size (a signed HEAD, or a listing for C). Objects are removed after each
// run, untimed. The files are real bytes, written and synced before the first round.
#include "BenchChild.h"
#include "BenchCurlUpload.h"
#include "BenchFiles.h"
#include "BenchReferenceServer.h"
#include "BenchStats.h"
#include "BenchStreams.h"
#include "VXSettingKeys.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcessEnvironment>
#include <QSet>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextStream>

#include <sched.h>

#include <algorithm>
#include <functional>
#include <vector>

namespace {

constexpr qint64 kMiB = 1024 * 1024;
constexpr qint64 kSliceLen = 20 * kMiB;
constexpr qint64 kSmallSize = 4096;
const QString kBcode = QStringLiteral("BENCH");
const QString kRemote = QStringLiteral("gateway"); // rclone's name for the gateway

double loadAverage()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    return file.open(QIODevice::ReadOnly) ? file.readAll().split(' ').value(0).toDouble() : -1;
}

struct Sample
{
    bool ok = false;
    double wallSec = 0;
    double cpuSec = 0;
    double peakRssMiB = 0;
    double gatewayCpuSec = 0; // of the gateway's daemons meanwhile
    double serverCpuSec = 0;  // of the reference server meanwhile
    double load = 0;
};

// What is uploaded: one file (A, B) or a folder of small files (C).
struct Payload
{
    QString path;
    qint64 size = 0;   // of the file, or of each file in the folder
    int files = 1;     // > 1: `path` is a folder of that many files
    QStringList parts; // the file cut in slices, for curl (B)
};

struct Tools
{
    QString curl, aws, rclone, vxupload, plugin;
    QString hostDir; // where vxupload's copy reads its fileUpload.ini
    QString rcloneConfig;
    QString endpoint;
    BenchCloud cloud;
    const BenchReferenceServer* server = nullptr;
    std::vector<qint64> gatewayPids; // the gateway's daemons
};

// CPU seconds so far of the gateway's daemons and of the reference server.
struct ServerCpu
{
    double gateway = 0;
    double server = 0;

    explicit ServerCpu(const Tools& tools)
    {
        for (qint64 pid : tools.gatewayPids)
            gateway += benchProcessCpuSeconds(pid);
        server = benchProcessCpuSeconds(tools.server->processId());
    }

    void since(const ServerCpu& before, Sample& sample) const
    {
        sample.gatewayCpuSec = gateway - before.gateway;
        sample.serverCpuSec = server - before.server;
    }
};

// The processes in the groups that scripts/rgw.sh recorded in DIR/run/*.pgid.
std::vector<qint64> gatewayPids(const QString& gatewayDir)
{
    QSet<QByteArray> groups;
    const QDir run(gatewayDir + "/run");
    for (const QString& name : run.entryList({"*.pgid"}, QDir::Files)) {
        QFile file(run.filePath(name));
        if (file.open(QIODevice::ReadOnly))
            groups.insert(file.readAll().trimmed());
    }
    std::vector<qint64> pids;
    for (const QString& name : QDir("/proc").entryList(QDir::Dirs)) {
        QFile stat("/proc/" + name + "/stat");
        if (name.toLongLong() <= 0 || !stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray line = stat.readAll();
        // After the command name in parentheses: state, parent, process group.
        if (groups.contains(line.mid(line.lastIndexOf(')') + 2).split(' ').value(2)))
            pids.push_back(name.toLongLong());
    }
    return pids;
}

// One way of uploading a payload to `key` (an object key, or a prefix for a folder).
struct Contender
{
    QString label;
    std::function<Sample(const Payload&, const QString& key)> run;
    std::vector<Sample> samples;

    double wall() const { return benchMedian(pick(&Sample::wallSec)); }
    double cpu() const { return benchMedian(pick(&Sample::cpuSec)); }
    double rss() const { return benchMedian(pick(&Sample::peakRssMiB)); }
    double gatewayCpu() const { return benchMedian(pick(&Sample::gatewayCpuSec)); }
    double serverCpu() const { return benchMedian(pick(&Sample::serverCpuSec)); }

    std::vector<double> pick(double Sample::*field) const
    {
        std::vector<double> values;
        for (const Sample& sample : samples)
            values.push_back(sample.*field);
        return values;
    }
};

// --- checking and removing what a run stored ---------------------------------------------

bool stored(const Tools& tools, const Payload& payload, const QString& key)
{
    if (payload.files == 1) {
        const qint64 size = tools.server->storedSize(tools.curl, key);
        if (size != payload.size)
            err() << "  the gateway holds " << size << " bytes under " << key << ", not "
                  << payload.size << "\n";
        return size == payload.size;
    }
    QMap<QString, qint64> sizes;
    if (!tools.server->listObjects(tools.curl, key + '/', &sizes)) {
        err() << "  the gateway did not list " << key << "/\n";
        return false;
    }
    const auto full = std::count(sizes.cbegin(), sizes.cend(), payload.size);
    if (sizes.size() != payload.files || full != payload.files)
        err() << "  the gateway holds " << sizes.size() << " objects under " << key << "/ (" << full
              << " complete), not " << payload.files << "\n";
    return sizes.size() == payload.files && full == payload.files;
}

void remove(const Tools& tools, const Payload& payload, const QString& key)
{
    if (payload.files == 1) {
        tools.server->removeObject(tools.curl, key);
        return;
    }
    runBenchChild(tools.aws, {"--endpoint-url", tools.endpoint, "s3", "rm", "--recursive",
                              "--only-show-errors",
                              QStringLiteral("s3://%1/%2/").arg(tools.cloud.bucket, key)});
}

// Runs one tool to its end, checks what it stored and removes it.
Sample measure(const Tools& tools, const Payload& payload, const QString& key,
               const QString& program, const QStringList& arguments)
{
    Sample sample;
    sample.load = loadAverage();
    const ServerCpu before(tools);
    const BenchChildRun run = runBenchChild(program, arguments);
    ServerCpu(tools).since(before, sample);
    sample.wallSec = run.wallSec;
    sample.cpuSec = run.cpuSec;
    sample.peakRssMiB = run.peakRssMiB;
    if (run.exitCode != 0) {
        err() << "  " << QFileInfo(program).fileName() << " failed (exit " << run.exitCode
              << "): " << run.output.right(2000) << "\n";
    }
    sample.ok = run.exitCode == 0 && stored(tools, payload, key);
    remove(tools, payload, key);
    return sample;
}

// --- the contenders ------------------------------------------------------------------------

struct OurSettings
{
    bool multipart = false;
    int partsInFlight = 1;
    int jobsInFlight = 2;
    bool verifyIntegrity = true;
};

Sample runOurs(const Tools& tools, const OurSettings& settings, const Payload& payload,
               const QString& key)
{
    {
        QSettings ini(QDir(tools.hostDir).filePath("fileUpload.ini"), QSettings::IniFormat);
        ini.clear();
        const auto set = [&ini](const VXSetting& setting, const QVariant& value) {
            ini.setValue(QLatin1String(setting.group) + '/' + setting.key, value);
        };
        set(VXSettings::CloudHost, tools.cloud.url);
        set(VXSettings::ApiHost, tools.cloud.url);
        set(VXSettings::Token, tools.cloud.token);
        set(VXSettings::SliceLen, kSliceLen);
        set(VXSettings::PartsInFlight, settings.partsInFlight);
        set(VXSettings::JobsInFlight, settings.jobsInFlight);
        set(VXSettings::VerifyIntegrity, settings.verifyIntegrity ? "true" : "false");
    }
    QStringList arguments{"--plugin", tools.plugin, "--plain", "--bucket", tools.cloud.bucket};
    if (settings.multipart)
        arguments << "--bcode" << kBcode;
    if (payload.files == 1) {
        arguments << payload.path + ':' + key;
    } else {
        // One job per file, in one jobs file (written before the run, untimed).
        QJsonArray jobs;
        const QDir dir(payload.path);
        for (const QString& name : dir.entryList(QDir::Files, QDir::Name)) {
            jobs.append(QJsonObject{{"localPath", dir.filePath(name)},
                                    {"remotePath", key + '/' + name},
                                    {"bucketName", tools.cloud.bucket}});
        }
        QFile file(QDir(tools.hostDir).filePath("jobs.json"));
        if (!file.open(QIODevice::WriteOnly) || file.write(QJsonDocument(jobs).toJson()) < 0)
            return {};
        file.close();
        arguments << "--jobs" << file.fileName();
    }
    const QString program = QDir(tools.hostDir).filePath("vxupload");
    return measure(tools, payload, key, program, arguments);
}

Sample runCurl(const Tools& tools, const Payload& payload, const QString& key)
{
    Sample sample;
    sample.load = loadAverage();
    const ServerCpu before(tools);
    const BenchCloud& cloud = tools.cloud;
    const BenchCurlRun run =
        payload.parts.isEmpty()
            ? benchCurlPut(tools.curl, cloud, payload.path, key)
            : benchCurlMultipart(tools.curl, cloud, payload.path, payload.parts, key, kBcode);
    ServerCpu(tools).since(before, sample);
    if (!run.ok)
        err() << "  curl: " << run.error << "\n";
    sample.wallSec = run.wallSec;
    sample.cpuSec = run.cpuSec;
    sample.peakRssMiB = run.peakRssMiB;
    sample.ok = run.ok && stored(tools, payload, key);
    remove(tools, payload, key);
    return sample;
}

// `profile` is one of the AWS CLI profiles written by writeAwsConfig.
Sample runAws(const Tools& tools, const QString& profile, const Payload& payload,
              const QString& key)
{
    QStringList arguments{"--endpoint-url", tools.endpoint,      "--profile", profile, "s3", "cp",
                          "--no-progress",  "--only-show-errors"};
    if (payload.files == 1)
        arguments << payload.path << QStringLiteral("s3://%1/%2").arg(tools.cloud.bucket, key);
    else
        arguments << "--recursive" << payload.path
                  << QStringLiteral("s3://%1/%2/").arg(tools.cloud.bucket, key);
    return measure(tools, payload, key, tools.aws, arguments);
}

Sample runRclone(const Tools& tools, const QStringList& options, const Payload& payload,
                 const QString& key)
{
    const QString target = QStringLiteral("%1:%2/%3").arg(kRemote, tools.cloud.bucket, key);
    const QStringList arguments =
        QStringList{"--config", tools.rcloneConfig, payload.files == 1 ? "copyto" : "copy"} +
        options + QStringList{payload.path, target};
    return measure(tools, payload, key, tools.rclone, arguments);
}

// --- configuration of the peers, in the run's own folder -----------------------------------

// Profiles: "single" sends one PUT up to the payload's size, "parts" sends 20 MiB parts, 10 at
// once; "default" is the AWS CLI's own settings (8 MiB parts, 10 at once, from 8 MiB on).
bool writeAwsConfig(const QString& dir, const Tools& tools, qint64 singleUpTo)
{
    const QString region = tools.server->setting("S3_REGION");
    QFile config(dir + "/config");
    QFile credentials(dir + "/credentials");
    if (!config.open(QIODevice::WriteOnly) || !credentials.open(QIODevice::WriteOnly))
        return false;
    const QStringList profiles{"default", "single", "parts"};
    const QStringList s3{
        "", QStringLiteral("    multipart_threshold = %1MB\n").arg(singleUpTo / kMiB + 1),
        "    multipart_chunksize = 20MB\n    max_concurrent_requests = 10\n"};
    for (int i = 0; i < profiles.size(); ++i) {
        const QString section =
            i == 0 ? profiles.at(i) : QStringLiteral("profile ") + profiles.at(i);
        config.write(QStringLiteral("[%1]\nregion = %2\ns3 =\n    addressing_style = path\n%3")
                         .arg(section, region.isEmpty() ? "us-east-1" : region, s3.at(i))
                         .toUtf8());
        credentials.write(QStringLiteral("[%1]\naws_access_key_id = %2\n"
                                         "aws_secret_access_key = %3\n")
                              .arg(profiles.at(i), tools.server->setting("S3_ACCESS_KEY_ID"),
                                   tools.server->setting("S3_SECRET_ACCESS_KEY"))
                              .toUtf8());
    }
    // Only these files configure the AWS CLI: no variable of the caller's, no ~/.aws.
    for (const QString& name : QProcessEnvironment::systemEnvironment().keys()) {
        if (name.startsWith("AWS_") || name.startsWith("RCLONE_"))
            qunsetenv(name.toLatin1().constData());
    }
    qputenv("AWS_CONFIG_FILE", config.fileName().toUtf8());
    qputenv("AWS_SHARED_CREDENTIALS_FILE", credentials.fileName().toUtf8());
    qputenv("AWS_EC2_METADATA_DISABLED", "true");
    qputenv("AWS_PAGER", "");
    return true;
}

bool writeRcloneConfig(const Tools& tools)
{
    QFile config(tools.rcloneConfig);
    return config.open(QIODevice::WriteOnly) &&
           config.write(QStringLiteral("[%1]\ntype = s3\nprovider = Ceph\nendpoint = %2\n"
                                       "access_key_id = %3\nsecret_access_key = %4\n"
                                       "region = %5\n")
                            .arg(kRemote, tools.endpoint, tools.server->setting("S3_ACCESS_KEY_ID"),
                                 tools.server->setting("S3_SECRET_ACCESS_KEY"),
                                 tools.server->setting("S3_REGION"))
                            .toUtf8()) > 0;
}

// --- rounds, ratios, the table -------------------------------------------------------------

struct Workload
{
    QString name; // "A", "B", "C"
    QString title;
    Payload payload;
    std::vector<Contender> contenders; // the first is ours, the reference of every ratio
};

bool runRounds(Workload& workload, int rounds)
{
    out() << "\n" << workload.name << ". " << workload.title << "\n";
    out().flush();
    const size_t count = workload.contenders.size();
    for (int round = 1; round <= rounds; ++round) {
        QStringList line;
        for (size_t turn = 0; turn < count; ++turn) {
            const size_t which = (turn + size_t(round) - 1) % count;
            Contender& contender = workload.contenders[which];
            const QString key =
                QStringLiteral("bench-peers/%1-%2-r%3").arg(workload.name).arg(which).arg(round);
            const Sample sample = contender.run(workload.payload, key);
            if (!sample.ok) {
                err() << workload.name << ": " << contender.label << " failed in round " << round
                      << "\n";
                return false;
            }
            contender.samples.push_back(sample);
            line << QStringLiteral("%1 %2 s (load %3)")
                        .arg(contender.label)
                        .arg(sample.wallSec, 0, 'f', 2)
                        .arg(sample.load, 0, 'f', 1);
        }
        out() << "  round " << round << ": " << line.join(", ") << "\n";
        out().flush();
    }
    return true;
}

QString rate(const Workload& workload, const Contender& contender)
{
    const Payload& payload = workload.payload;
    if (payload.files > 1)
        return QStringLiteral("%1 files/s").arg(payload.files / contender.wall(), 0, 'f', 0);
    return QStringLiteral("%1 MiB/s")
        .arg(double(payload.size) / kMiB / contender.wall(), 0, 'f', 0);
}

void printTable(const std::vector<Workload>& workloads)
{
    out() << "| workload | tool | wall s | ours / tool | rate | CPU s | peak RSS MiB "
             "| gateway CPU s | reference server CPU s |\n"
          << "|---|---|---|---|---|---|---|---|---|\n";
    for (const Workload& workload : workloads) {
        const double ours = workload.contenders.front().wall();
        for (const Contender& contender : workload.contenders) {
            const bool first = &contender == &workload.contenders.front();
            out() << QStringLiteral("| %1 | %2 | %3 | %4 | %5 | %6 | %7 | %8 | %9 |\n")
                         .arg(first ? workload.name + ". " + workload.title : QString(),
                              contender.label)
                         .arg(contender.wall(), 0, 'f', 2)
                         .arg(first ? QStringLiteral("1")
                                    : QString::number(ours / contender.wall(), 'f', 2))
                         .arg(rate(workload, contender))
                         .arg(contender.cpu(), 0, 'f', 2)
                         .arg(contender.rss(), 0, 'f', 0)
                         .arg(contender.gatewayCpu(), 0, 'f', 1)
                         .arg(contender.serverCpu(), 0, 'f', 1);
        }
    }
}

const Contender* find(const std::vector<Workload>& workloads, const QString& name,
                      const QString& label)
{
    for (const Workload& workload : workloads) {
        if (workload.name != name)
            continue;
        for (const Contender& contender : workload.contenders) {
            if (contender.label == label)
                return &contender;
        }
    }
    return nullptr;
}

// "ours / peer" of the medians' wall times against a bound; nothing when either did not run.
void printTarget(const std::vector<Workload>& workloads, const QString& name, const QString& ours,
                 const QString& peer, double bound, bool* allMet)
{
    const Contender* a = find(workloads, name, ours);
    const Contender* b = find(workloads, name, peer);
    if (!a || !b)
        return;
    const double ratio = a->wall() / b->wall();
    const bool met = ratio <= bound;
    *allMet = *allMet && met;
    out() << QStringLiteral("  %1  %2 / %3: %4 (target <= %5) %6\n")
                 .arg(name, ours, peer)
                 .arg(ratio, 0, 'f', 2)
                 .arg(bound, 0, 'f', 2)
                 .arg(met ? "met" : "NOT met");
}

// --- the machine and the versions ----------------------------------------------------------

QString firstLine(const QString& program, const QStringList& arguments)
{
    const BenchChildRun run = runBenchChild(program, arguments);
    return QString::fromUtf8(run.output).section('\n', 0, 0).trimmed();
}

QString machine()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    const int cores = sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : -1;
    QFile meminfo(QStringLiteral("/proc/meminfo"));
    double ramGiB = 0;
    if (meminfo.open(QIODevice::ReadOnly)) {
        const QByteArray total = meminfo.readLine().simplified(); // "MemTotal: N kB"
        ramGiB = total.split(' ').value(1).toDouble() / 1024 / 1024;
    }
    return QStringLiteral("%1 cores, %2 GiB RAM").arg(cores).arg(ramGiB, 0, 'f', 0);
}

void usage()
{
    err() << "usage: bench_peers --gateway DIR [--rounds N] [--size-mib N] [--files N]\n"
             "                   [--only ABC] [--aws PATH] [--rclone PATH] [--plugin PATH]\n"
             "  --gateway DIR   the S3 gateway that DIR/rgw.env describes (scripts/rgw.sh)\n"
             "  --only ABC      the workloads to run (D is A and B with and without the check)\n"
             "bench/peers/run.sh installs the peers, starts a gateway and runs this program.\n";
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QStringList arguments = app.arguments().mid(1);
    const QString bin = app.applicationDirPath();
    int rounds = 3;
    qint64 sizeMiB = 1024;
    int files = 1000;
    QString only = QStringLiteral("ABC");
    QString gatewayDir;
    Tools tools;
    tools.aws = QStringLiteral("/usr/bin/aws"); // not a pip copy earlier in PATH
    tools.rclone = QStandardPaths::findExecutable("rclone");
    tools.curl = QStandardPaths::findExecutable("curl");
    tools.vxupload = QDir(bin).filePath("vxupload");
    tools.plugin = QDir(bin).filePath("libVXFileUpload.so");
    while (arguments.size() >= 2) {
        const QString option = arguments.takeFirst();
        const QString value = arguments.takeFirst();
        if (option == "--rounds")
            rounds = value.toInt();
        else if (option == "--size-mib")
            sizeMiB = value.toLongLong();
        else if (option == "--files")
            files = value.toInt();
        else if (option == "--only")
            only = value.toUpper();
        else if (option == "--gateway")
            gatewayDir = value;
        else if (option == "--aws")
            tools.aws = value;
        else if (option == "--rclone")
            tools.rclone = value;
        else if (option == "--plugin")
            tools.plugin = value;
        else
            arguments = QStringList{option}; // reported below
    }
    if (!arguments.isEmpty() || gatewayDir.isEmpty() || rounds < 1 || sizeMiB < 21 || files < 2) {
        usage();
        return 2;
    }
    for (const QString& program : {tools.curl, tools.aws, tools.rclone, tools.vxupload}) {
        if (program.isEmpty() || !QFileInfo(program).isExecutable()) {
            err() << "missing program (curl, aws, rclone or vxupload): '" << program << "'\n";
            return 2;
        }
    }
    // Only the fileUpload.ini written for each run configures the plugin.
    for (const VXSetting& setting : VXSettings::All) {
        if (setting.environment)
            qunsetenv(setting.environment);
    }

    QTemporaryDir work;
    tools.hostDir = work.filePath("host");
    tools.rcloneConfig = work.filePath("rclone.conf");
    const QString filesDir = work.filePath("files");
    if (!work.isValid() || !QDir().mkpath(tools.hostDir) || !QDir().mkpath(filesDir + "/parts") ||
        !QDir().mkpath(filesDir + "/small") || !QDir().mkpath(filesDir + "/warm-up") ||
        !QFile::copy(tools.vxupload, tools.hostDir + "/vxupload")) {
        err() << "cannot prepare the run folder " << work.path() << "\n";
        return 2;
    }

    BenchReferenceServer server;
    QString error;
    if (!server.start(gatewayDir, QStringLiteral(VXBENCH_SERVER_MAIN), &error)) {
        err() << "gateway: " << error << "\n";
        return 1;
    }
    tools.server = &server;
    tools.cloud = {server.url(), server.token(), server.bucket()};
    tools.endpoint = server.setting("S3_ENDPOINT");
    tools.gatewayPids = gatewayPids(gatewayDir);
    if (!writeAwsConfig(work.path(), tools, sizeMiB * kMiB) || !writeRcloneConfig(tools)) {
        err() << "cannot write the peers' configuration in " << work.path() << "\n";
        return 2;
    }

    const QDateTime started = QDateTime::currentDateTime();
    out() << "bench_peers " << started.toString(Qt::ISODate) << ", " << machine()
          << ", load average " << loadAverage() << "\n";
    const QStringList versions{firstLine("ceph", {"--version"}).section(' ', 0, 2),
                               firstLine(tools.curl, {"--version"}).section(' ', 0, 1),
                               firstLine(tools.aws, {"--version"}).section(' ', 0, 0),
                               firstLine(tools.rclone, {"version"}),
                               QStringLiteral("Qt ") + qVersion(),
                               QStringLiteral("node ") +
                                   firstLine(BenchReferenceServer::nodeProgram(), {"--version"})};
    out() << "versions: " << versions.join(", ") << "\n";
    out().flush();

    Payload big{filesDir + "/big.bin", sizeMiB * kMiB, 1, {}};
    Payload small{filesDir + "/small", kSmallSize, files, {}};
    Payload warmUp{filesDir + "/warm-up/one.bin", kSmallSize, 1, {}};
    bool written = benchWriteRandomFile(big.path, big.size, 1) &&
                   benchWriteRandomFile(warmUp.path, warmUp.size, 2);
    for (int i = 0; written && i < files; ++i)
        written = benchWriteRandomFile(
            QStringLiteral("%1/%2.bin").arg(small.path).arg(i, 5, 10, QChar('0')), small.size,
            quint64(i) + 3);
    Payload parts = big;
    parts.parts = benchCutParts(big.path, kSliceLen, filesDir + "/parts");
    if (!written || parts.parts.isEmpty()) {
        err() << "cannot write the test files in " << filesDir << "\n";
        return 2;
    }

    using namespace std::placeholders;
    const auto ours = [&tools](OurSettings settings) {
        return std::bind(runOurs, std::cref(tools), settings, _1, _2);
    };
    const auto aws = [&tools](const QString& profile) {
        return std::bind(runAws, std::cref(tools), profile, _1, _2);
    };
    const auto rclone = [&tools](const QStringList& options) {
        return std::bind(runRclone, std::cref(tools), options, _1, _2);
    };
    const auto curl = std::bind(runCurl, std::cref(tools), _1, _2);
    const QString cutoff = QStringLiteral("--s3-upload-cutoff=5G");
    std::vector<Workload> workloads;
    if (only.contains('A'))
        workloads.push_back({"A",
                             QStringLiteral("%1 MiB, single PUT").arg(sizeMiB),
                             big,
                             {{"ours", ours({false, 1, 2, true}), {}},
                              {"ours, integrity off", ours({false, 1, 2, false}), {}},
                              {"curl -T", curl, {}},
                              {"aws-cli, single PUT", aws("single"), {}},
                              {"rclone, single PUT", rclone({cutoff}), {}},
                              {"aws-cli, its defaults", aws("default"), {}},
                              {"rclone, its defaults", rclone({}), {}}}});
    if (only.contains('B'))
        workloads.push_back(
            {"B",
             QStringLiteral("%1 MiB in 20 MiB parts").arg(sizeMiB),
             parts,
             {{"ours, partsInFlight 4", ours({true, 4, 2, true}), {}},
              {"ours, partsInFlight 4, integrity off", ours({true, 4, 2, false}), {}},
              {"curl, parts in sequence", curl, {}},
              {"aws-cli, 10 at once", aws("parts"), {}},
              {"rclone, 4 at once",
               rclone({"--s3-chunk-size=20M", "--s3-upload-concurrency=4"}),
               {}}}});
    if (only.contains('C'))
        workloads.push_back({"C",
                             QStringLiteral("%1 files of 4 KiB").arg(files),
                             small,
                             {{"ours, jobsInFlight 8", ours({false, 1, 8, true}), {}},
                              {"ours, jobsInFlight 2", ours({false, 1, 2, true}), {}},
                              {"aws-cli, 10 at once", aws("default"), {}},
                              {"rclone, 4 at once", rclone({}), {}}}});

    // One untimed upload by each tool first: the gateway creates its data pool on the first
    // write, and every tool's program and libraries are then in the page cache.
    const std::vector<std::function<Sample(const Payload&, const QString&)>> warmUps{
        ours({false, 1, 2, true}), curl, aws("default"), rclone({})};
    for (const auto& warm : warmUps) {
        if (!warm(warmUp, QStringLiteral("bench-peers/warm-up")).ok) {
            err() << "a warm-up upload failed\n";
            return 1;
        }
    }
    double loadLow = loadAverage();
    double loadHigh = loadLow;
    for (Workload& workload : workloads) {
        if (!runRounds(workload, rounds))
            return 1;
        for (const Contender& contender : workload.contenders) {
            for (const Sample& sample : contender.samples) {
                loadLow = std::min(loadLow, sample.load);
                loadHigh = std::max(loadHigh, sample.load);
            }
        }
    }

    out() << "\nMedians of " << rounds << " rounds; ours / tool is the ratio of wall times "
          << "(below 1: ours is faster).\n"
          << "Measured on " << started.toString("yyyy-MM-dd") << ", " << machine()
          << ", load average " << QString::number(loadLow, 'f', 1) << " to "
          << QString::number(loadHigh, 'f', 1) << " during the runs; " << versions.join(", ")
          << ".\n\n";
    printTable(workloads);
    out() << "\nTargets (ratios of wall-time medians in this run):\n";
    bool allMet = true;
    printTarget(workloads, "A", "ours", "curl -T", 1.05, &allMet);
    printTarget(workloads, "A", "ours, integrity off", "curl -T", 1.05, &allMet);
    for (const char* peer : {"aws-cli, single PUT", "rclone, single PUT", "aws-cli, its defaults",
                             "rclone, its defaults"})
        printTarget(workloads, "A", "ours", peer, 1.0, &allMet);
    for (const char* peer : {"aws-cli, 10 at once", "rclone, 4 at once"})
        printTarget(workloads, "B", "ours, partsInFlight 4", peer, 1.0, &allMet);
    for (const char* peer : {"aws-cli, 10 at once", "rclone, 4 at once"})
        printTarget(workloads, "C", "ours, jobsInFlight 8", peer, 1.0, &allMet);
    printTarget(workloads, "A", "ours", "ours, integrity off", 1.10, &allMet);
    printTarget(workloads, "B", "ours, partsInFlight 4", "ours, partsInFlight 4, integrity off",
                1.10, &allMet);
    out() << (allMet ? "every target met\n" : "a target was NOT met\n");
    return 0;
}
