#include "BenchChild.h"

#include <QElapsedTimer>
#include <QFile>

#include <sys/resource.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace {

double seconds(const timeval& time)
{
    return double(time.tv_sec) + double(time.tv_usec) / 1e6;
}

} // namespace

double benchPeakRssMiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    }
    return 0;
}

double benchCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double benchProcessCpuSeconds(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    // After the command name in parentheses: state is field 3, utime and stime 14 and 15.
    const QByteArray line = stat.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    return (fields.value(11).toDouble() + fields.value(12).toDouble())
        / double(sysconf(_SC_CLK_TCK));
}

BenchChildRun runBenchChild(const QString& program, const QStringList& arguments)
{
    BenchChildRun run;
    // Everything the child needs is prepared before fork(): after it, the child only calls
    // async-signal-safe functions.
    std::vector<QByteArray> texts{program.toLocal8Bit()};
    for (const QString& argument : arguments)
        texts.push_back(argument.toLocal8Bit());
    std::vector<char*> argv;
    for (QByteArray& text : texts)
        argv.push_back(text.data());
    argv.push_back(nullptr);

    // `execed` closes by itself when the exec succeeds (close-on-exec): only from then on is the
    // child's memory the program's own and not the copy of this process that fork() made.
    int out[2];
    int execed[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return run;
    if (pipe2(execed, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return run;
    }
    QElapsedTimer timer;
    timer.start();
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        execvp(argv[0], argv.data());
        const char failed = 1;
        (void)!write(execed[1], &failed, 1);
        _exit(127);
    }
    close(out[1]);
    close(execed[1]);
    if (pid < 0) {
        close(out[0]);
        close(execed[0]);
        return run;
    }
    char failed = 0;
    while (read(execed[0], &failed, 1) < 0 && errno == EINTR) {
    }
    close(execed[0]);
    run.started = failed == 0;
    char buffer[65536];
    for (;;) {
        // VmHWM is the high-water mark of the program's memory since its exec; it is sampled
        // while the child runs (wait4's ru_maxrss would also count the copy of this process).
        run.peakRssMiB = std::max(run.peakRssMiB, benchPeakRssMiB(pid));
        pollfd ready{out[0], POLLIN, 0};
        if (poll(&ready, 1, 10) == 0)
            continue;
        const ssize_t n = read(out[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        run.output.append(buffer, int(n));
    }
    close(out[0]);
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    run.wallSec = timer.nsecsElapsed() / 1e9;
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.cpuSec = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    return run;
}
