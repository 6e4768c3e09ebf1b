#include "VXTerminalProgress.h"

#include "VXFormat.h"
#include "VXJobTracker.h"
#include "VXUploadExitCodes.h"

#include <QFileInfo>

#include <sys/ioctl.h>

namespace {

constexpr int kRedrawIntervalMs = 100;

const char kGreen[] = "\x1b[32m";
const char kRed[] = "\x1b[31m";
const char kReset[] = "\x1b[0m";

} // namespace

VXTerminalProgress::VXTerminalProgress(QIODevice* out, int columns)
    : m_pOut(out), m_iColumns(qMax(columns, 40))
{
    m_clock.start();
    m_redrawTimer.setInterval(kRedrawIntervalMs);
    QObject::connect(&m_redrawTimer, &QTimer::timeout, [this] { redraw(); });
}

int VXTerminalProgress::terminalColumns(int fd)
{
    winsize size = {};
    if (::ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return 80;
}

void VXTerminalProgress::jobSubmitted(const QJsonObject& job)
{
    // Job keys are unique in a run: the command line refuses a job that repeats one.
    const QString key = VXJobTracker::jobKey(job);
    m_jobKeyList.append(key);
    m_jobMap.insert(key, {job.value(QLatin1String("remotePath")).toString(),
                          QFileInfo(job.value(QLatin1String("localPath")).toString()).size()});
}

void VXTerminalProgress::jobProgress(const QString& key, int percent)
{
    const auto it = m_jobMap.find(key);
    if (it == m_jobMap.end() || it->finished)
        return;
    if (it->startMs < 0)
        it->startMs = m_clock.elapsed();
    it->percent = qBound(0, percent, 100);
    // Drawing waits for the next tick: a fast upload reports far more often than anyone reads.
    if (!m_redrawTimer.isActive()) {
        m_redrawTimer.start();
        redraw();
    }
}

void VXTerminalProgress::jobFinished(int code, const QJsonObject& report, const QString& key)
{
    JobEntry& entry = m_jobMap[key];
    entry.finished = true;
    if (code == 0) {
        ++m_iSucceededCount;
        m_iUploadedBytes += entry.size;
    } else {
        ++m_iFailedCount;
    }
    const QByteArray line = resultLine(code, report, entry).toUtf8() + '\n';
    const QByteArray erase = clearBlock();
    m_pOut->write(erase + line + drawBlock());
}

void VXTerminalProgress::runFinished(int exitCode)
{
    m_redrawTimer.stop();
    const int stopped = m_jobKeyList.size() - m_iSucceededCount - m_iFailedCount;
    QString summary = QStringLiteral("%1 of %2 uploaded (%3 in %4)")
                          .arg(m_iSucceededCount)
                          .arg(m_jobKeyList.size())
                          .arg(VXFormat::bytes(m_iUploadedBytes),
                               VXFormat::duration(m_clock.elapsed()));
    if (m_iFailedCount > 0)
        summary += QStringLiteral(", %1 failed").arg(m_iFailedCount);
    if (stopped > 0)
        summary += (exitCode == VXExit::Interrupted ? QStringLiteral(", %1 stopped")
                                                    : QStringLiteral(", %1 unfinished"))
                       .arg(stopped);
    m_pOut->write(clearBlock() + summary.toUtf8() + '\n');
}

void VXTerminalProgress::writeDiagnostic(QIODevice* err, const QByteArray& line)
{
    const bool lifted = m_iDrawnLines > 0;
    m_pOut->write(clearBlock());
    err->write(line);
    if (lifted)
        m_pOut->write(drawBlock());
}

QByteArray VXTerminalProgress::clearBlock()
{
    if (m_iDrawnLines == 0)
        return QByteArray();
    // Up to the first line of the block, then erase to the end of the screen.
    const QByteArray escape = "\x1b[" + QByteArray::number(m_iDrawnLines) + "A\r\x1b[J";
    m_iDrawnLines = 0;
    return escape;
}

QByteArray VXTerminalProgress::drawBlock()
{
    const qint64 nowMs = m_clock.elapsed();
    QByteArray block;
    int waiting = 0;
    for (const QString& key : qAsConst(m_jobKeyList)) {
        const JobEntry& entry = m_jobMap[key];
        if (entry.finished)
            continue;
        if (entry.percent < 0) {
            ++waiting;
            continue;
        }
        block += liveLine(entry, nowMs).toUtf8() + '\n';
        ++m_iDrawnLines;
    }
    if (waiting > 0 && m_iDrawnLines > 0) {
        block += QStringLiteral("  %1 more waiting\n").arg(waiting).toUtf8();
        ++m_iDrawnLines;
    }
    return block;
}

void VXTerminalProgress::redraw()
{
    const QByteArray erase = clearBlock();
    m_pOut->write(erase + drawBlock());
}

QString VXTerminalProgress::liveLine(const JobEntry& entry, qint64 nowMs) const
{
    const qint64 done = entry.size * entry.percent / 100;
    const qint64 ms = nowMs - entry.startMs;
    QString eta = QStringLiteral("--");
    if (ms >= VXFormat::kMinRateWindowMs && done > 0)
        eta = VXFormat::duration((entry.size - done) * ms / done);
    const int barWidth = m_iColumns >= 110 ? 20 : 10;
    // Fixed field widths keep the columns still while the numbers change.
    const QString tail = QStringLiteral(" %1 %2% %3/%4 %5 ETA %6")
                             .arg(VXFormat::progressBar(entry.percent, barWidth))
                             .arg(entry.percent, 3)
                             .arg(VXFormat::bytes(done), 9)
                             .arg(VXFormat::bytes(entry.size), -9)
                             .arg(VXFormat::rate(done, ms), 11)
                             .arg(eta, -7);
    const int nameWidth = qMax(8, m_iColumns - 1 - tail.size());
    // The end of a path tells files apart better than its beginning.
    const QString name = entry.name.size() <= nameWidth
                             ? entry.name.leftJustified(nameWidth)
                             : QChar(0x2026) + entry.name.right(nameWidth - 1);
    return (name + tail).left(m_iColumns - 1);
}

QString VXTerminalProgress::resultLine(int code, const QJsonObject& report,
                                       const JobEntry& entry) const
{
    if (code != 0)
        return QLatin1String(kRed) + QChar(0x2717) + QLatin1String(kReset) + QLatin1Char(' ') +
               entry.name + QStringLiteral("  ") + VXFormat::errorText(code, report) +
               QStringLiteral(" (%1)").arg(code);
    QString line = QLatin1String(kGreen) + QChar(0x2713) + QLatin1String(kReset) +
                   QLatin1Char(' ') + entry.name + QStringLiteral("  ") +
                   VXFormat::bytes(entry.size);
    if (entry.startMs >= 0) {
        const qint64 ms = m_clock.elapsed() - entry.startMs;
        line += QStringLiteral("  in ") + VXFormat::duration(ms);
        if (ms > 0)
            line += QStringLiteral("  ") + VXFormat::bytes(entry.size * 1000 / ms) +
                    QStringLiteral("/s");
    }
    return line;
}
