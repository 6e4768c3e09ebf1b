// bench_put_1gib [--rate-mib N]: PUTs a 1 GiB file to a local null sink (bench_http_sink, its
// own process; --rate-mib caps what it takes per second, like a network link) through
// VXCloudCommon::uploadFileByPut, with and without the integrity check (MD5 of the body), and
// through the curl command line tool ("curl -T"), side by side in one run, and prints the ratios
// of wall time and of CPU time. Goal: wall time within 1.2x of curl's. Needs the curl program.
// The file is sparse, made in a temporary folder and removed afterwards, so the numbers measure
// the HTTP client, not the disk.
#include "BenchSink.h"
#include "VXCloudCommon.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextStream>

#include <sys/resource.h>

namespace {

const qint64 kFileSize = qint64(1) << 30;
const int kRounds = 3;

struct Measure
{
    double wallSec = -1;
    double cpuSec = -1;
};

double cpuSeconds(int who)
{
    rusage usage{};
    getrusage(who, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

Measure runComponent(const QString& url, const QString& path, bool verifyIntegrity)
{
    // Read by the component when it is made.
    qputenv("VXUPLOAD_VERIFY_INTEGRITY", verifyIntegrity ? "true" : "false");
    VXCloudCommon component;
    QEventLoop loop;
    int result = -1;
    QObject::connect(&component, &VXCloudCommon::sglUploadFinished, &loop,
                     [&](const QJsonObject&, int res) {
                         result = res;
                         loop.quit();
                     });
    const double cpuBefore = cpuSeconds(RUSAGE_SELF);
    QElapsedTimer timer;
    timer.start();
    component.uploadFileByPut(url, path, QJsonObject());
    loop.exec();
    Measure measure;
    if (result == 0) {
        measure.wallSec = timer.nsecsElapsed() / 1e9;
        measure.cpuSec = cpuSeconds(RUSAGE_SELF) - cpuBefore;
    } else {
        QTextStream(stderr) << "VXCloudCommon PUT failed with " << result << "\n";
    }
    return measure;
}

Measure runCurlTool(const QString& curlProgram, const QString& url, const QString& path)
{
    QProcess curl;
    curl.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    const double cpuBefore = cpuSeconds(RUSAGE_CHILDREN);
    QElapsedTimer timer;
    timer.start();
    curl.start(curlProgram,
               {"-sS", "-T", path, "-H", "Expect:", "-o", "/dev/null", "-w", "%{http_code}", url});
    curl.waitForFinished(-1);
    Measure measure;
    const QByteArray status = curl.readAllStandardOutput().trimmed();
    if (curl.exitCode() == 0 && status == "200") {
        measure.wallSec = timer.nsecsElapsed() / 1e9;
        measure.cpuSec = cpuSeconds(RUSAGE_CHILDREN) - cpuBefore;
    } else {
        QTextStream(stderr) << "curl failed: exit " << curl.exitCode() << " status " << status
                            << "\n";
    }
    return measure;
}

QString line(const char* who, const Measure& m)
{
    return QStringLiteral("  %1 %2 s wall (%3 MiB/s), %4 s CPU\n")
        .arg(QLatin1String(who), -15)
        .arg(m.wallSec, 0, 'f', 2)
        .arg(1024.0 / m.wallSec, 0, 'f', 0)
        .arg(m.cpuSec, 0, 'f', 2);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    const QString curlProgram = QStandardPaths::findExecutable(QStringLiteral("curl"));
    if (curlProgram.isEmpty()) {
        QTextStream(stderr) << "the curl program is missing: apt-get install curl\n";
        return 2;
    }
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("bench-1gib.bin"));
    QFile file(path);
    if (!dir.isValid() || !file.open(QIODevice::WriteOnly) || !file.resize(kFileSize)) {
        QTextStream(stderr) << "cannot create the 1 GiB file in " << dir.path() << "\n";
        return 2;
    }
    file.close();
    // The first read of a sparse file fills the page cache; neither contender should pay for it.
    if (file.open(QIODevice::ReadOnly)) {
        QByteArray chunk(4 << 20, Qt::Uninitialized);
        while (file.read(chunk.data(), chunk.size()) > 0) {
        }
        file.close();
    }
    QStringList sinkArguments;
    const int rateOption = app.arguments().indexOf(QStringLiteral("--rate-mib"));
    if (rateOption > 0)
        sinkArguments << QStringLiteral("--rate-mib") << app.arguments().value(rateOption + 1);
    BenchSink sink;
    if (!sink.start(sinkArguments))
        return 2;
    const QString url = sink.putUrl(QStringLiteral("bench-1gib.bin"));

    Measure bestOurs;
    Measure bestUnchecked;
    Measure bestCurl;
    const auto keepBest = [](Measure& best, const Measure& m) {
        if (best.wallSec < 0 || m.wallSec < best.wallSec)
            best = m;
    };
    for (int round = 1; round <= kRounds; ++round) {
        const Measure ours = runComponent(url, path, true);
        const Measure unchecked = runComponent(url, path, false);
        const Measure curl = runCurlTool(curlProgram, url, path);
        if (ours.wallSec < 0 || unchecked.wallSec < 0 || curl.wallSec < 0)
            return 1;
        out << "round " << round << ":\n"
            << line("VXCloudCommon", ours) << line("  unchecked", unchecked)
            << line("curl -T", curl);
        keepBest(bestOurs, ours);
        keepBest(bestUnchecked, unchecked);
        keepBest(bestCurl, curl);
    }
    const double ratio = bestOurs.wallSec / bestCurl.wallSec;
    const QString rate = sinkArguments.isEmpty()
                             ? QString()
                             : QStringLiteral(" taking %1 MiB/s").arg(sinkArguments.value(1));
    out << "1 GiB PUT to a local null sink" << rate << " (best of " << kRounds << " rounds each):\n"
        << line("VXCloudCommon", bestOurs) << line("  unchecked", bestUnchecked)
        << line("curl -T", bestCurl)
        << QStringLiteral("  ratio ours/curl: wall %1, CPU %2 (goal: wall within 1.2: %3)\n")
               .arg(ratio, 0, 'f', 2)
               .arg(bestOurs.cpuSec / bestCurl.cpuSec, 0, 'f', 2)
               .arg(ratio <= 1.2 ? QStringLiteral("met") : QStringLiteral("NOT met"))
        << QStringLiteral("  integrity check on / off: wall %1, CPU %2\n")
               .arg(bestOurs.wallSec / bestUnchecked.wallSec, 0, 'f', 2)
               .arg(bestOurs.cpuSec / bestUnchecked.cpuSec, 0, 'f', 2);
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    out << "  peak resident memory of this process: " << usage.ru_maxrss / 1024 << " MiB\n";
    return 0;
}
