#ifndef BENCHCHILD_H
#define BENCHCHILD_H

#include <QByteArray>
#include <QString>
#include <QStringList>

// What one child process cost, from wait4(): its own CPU time and peak resident memory, apart
// from the benchmark's and from any other child's.
struct BenchChildRun
{
    bool started = false;
    int exitCode = -1; // -1 when it was ended by a signal
    QByteArray output; // its standard output (standard error goes to ours)
    double wallSec = 0;
    double cpuSec = 0;     // user + system
    double peakRssMiB = 0; // ru_maxrss, which is the child's VmHWM
};

// Runs `program` with `arguments` to its end, blocking (the benchmark itself has nothing else to
// do meanwhile).
BenchChildRun runBenchChild(const QString& program, const QStringList& arguments);

// user + system CPU seconds of this process so far.
double benchCpuSeconds();

#endif // BENCHCHILD_H
