#ifndef BENCHCHILD_H
#define BENCHCHILD_H

#include <QByteArray>
#include <QString>
#include <QStringList>

// What one child process cost: its own CPU time (wait4) and peak resident memory (VmHWM, sampled
// every 10 ms while it runs), apart from the benchmark's and from any other child's.
struct BenchChildRun
{
    bool started = false;
    int exitCode = -1; // -1 when it was ended by a signal
    QByteArray output; // its standard output (standard error goes to ours)
    double wallSec = 0;
    double cpuSec = 0;     // user + system
    double peakRssMiB = 0; // the largest VmHWM seen
};

// Runs `program` with `arguments` to its end, blocking (the benchmark itself has nothing else to
// do meanwhile).
BenchChildRun runBenchChild(const QString& program, const QStringList& arguments);

// VmHWM of a running process in MiB (0 when it cannot be read).
double benchPeakRssMiB(qint64 pid);

// user + system CPU seconds of this process so far.
double benchCpuSeconds();

// user + system CPU seconds of another running process so far (0 when it cannot be read).
double benchProcessCpuSeconds(qint64 pid);

#endif // BENCHCHILD_H
