// bench_put_1gib: PUTs a 1 GiB file to a local null sink (bench_http_sink, its own process)
// through VXCloudCommon::uploadFileByPut and through the curl command line tool ("curl -T"),
// side by side in one run, and prints the ratios ours/curl of wall time and of CPU time.
// Goal: wall time within 1.2x of curl's. Needs the curl program (apt-get install curl).
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
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec
        + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

Measure runComponent(const QString& url, const QString& path)
{
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
    curl.start(curlProgram, {"-sS", "-T", path, "-H", "Expect:", "-o", "/dev/null", "-w",
                             "%{http_code}", url});
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
    BenchSink sink;
    if (!sink.start())
        return 2;
    const QString url = sink.baseUrl() + QStringLiteral("/bucket/bench-1gib.bin?X-Signature=x");

    Measure bestOurs;
    Measure bestCurl;
    for (int round = 1; round <= kRounds; ++round) {
        const Measure ours = runComponent(url, path);
        const Measure curl = runCurlTool(curlProgram, url, path);
        if (ours.wallSec < 0 || curl.wallSec < 0)
            return 1;
        out << "round " << round << ":\n" << line("VXCloudCommon", ours) << line("curl -T", curl);
        if (bestOurs.wallSec < 0 || ours.wallSec < bestOurs.wallSec)
            bestOurs = ours;
        if (bestCurl.wallSec < 0 || curl.wallSec < bestCurl.wallSec)
            bestCurl = curl;
    }
    const double ratio = bestOurs.wallSec / bestCurl.wallSec;
    out << "1 GiB PUT to a local null sink (best of " << kRounds << " rounds each):\n"
        << line("VXCloudCommon", bestOurs) << line("curl -T", bestCurl)
        << QStringLiteral("  ratio ours/curl: wall %1, CPU %2 (goal: wall within 1.2: %3)\n")
               .arg(ratio, 0, 'f', 2)
               .arg(bestOurs.cpuSec / bestCurl.cpuSec, 0, 'f', 2)
               .arg(ratio <= 1.2 ? QStringLiteral("met") : QStringLiteral("NOT met"));
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    out << "  peak resident memory of this process: " << usage.ru_maxrss / 1024 << " MiB\n";
    return 0;
}
