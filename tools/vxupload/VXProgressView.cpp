#include "VXProgressView.h"

#include "VXJobTracker.h"
#include "VXResultCodes.h"
#include "VXUploadExitCodes.h"

#include <QFileInfo>
#include <QIODevice>
#include <QJsonDocument>

#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr int kRedrawIntervalMs = 100;
// A rate measured over less time than this is mostly noise of the first report.
constexpr qint64 kMinRateWindowMs = 500;

const char kGreen[] = "\x1b[32m";
const char kRed[] = "\x1b[31m";
const char kReset[] = "\x1b[0m";

// One job is one line: a TAB or line break inside a path must not split it.
QString oneField(QString text)
{
    text.replace(QLatin1Char('\t'), QLatin1Char(' '));
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    text.replace(QLatin1Char('\r'), QLatin1Char(' '));
    return text;
}

QString rateText(qint64 bytes, qint64 ms)
{
    if (ms < kMinRateWindowMs || bytes <= 0)
        return QStringLiteral("--");
    return VXProgressView::formatBytes(bytes * 1000 / ms) + QStringLiteral("/s");
}

} // namespace

VXProgressView::VXProgressView(Mode mode, QIODevice* out, QIODevice* err, int columns,
                               QObject* parent)
    : QObject(parent), m_mode(mode), m_pOut(out), m_pErr(err), m_iColumns(qMax(columns, 40))
{
    m_clock.start();
    m_redrawTimer.setInterval(kRedrawIntervalMs);
    connect(&m_redrawTimer, &QTimer::timeout, this, &VXProgressView::slotTick);
}

QString VXProgressView::formatBytes(qint64 bytes)
{
    if (bytes < 1024)
        return QStringLiteral("%1 B").arg(bytes);
    static const char* const units[] = {"KiB", "MiB", "GiB", "TiB"};
    double value = double(bytes) / 1024.0;
    int unit = 0;
    while (value >= 1024.0 && unit < 3) {
        value /= 1024.0;
        ++unit;
    }
    // Three significant digits at most: "1.02 GiB", "12.3 MiB", "512 KiB".
    const int decimals = value < 10.0 ? 2 : value < 100.0 ? 1 : 0;
    return QStringLiteral("%1 %2").arg(value, 0, 'f', decimals).arg(QLatin1String(units[unit]));
}

QString VXProgressView::formatDuration(qint64 ms)
{
    if (ms < 0)
        ms = 0;
    if (ms < 60000)
        return QStringLiteral("%1 s").arg(double(ms) / 1000.0, 0, 'f', 1);
    const qint64 seconds = ms / 1000;
    const QString minSec =
        QStringLiteral("%1:%2").arg(seconds / 60 % 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
    if (seconds < 3600)
        return minSec;
    return QStringLiteral("%1:%2")
        .arg(seconds / 3600)
        .arg(minSec.rightJustified(5, QLatin1Char('0')));
}

QString VXProgressView::progressBar(int percent, int width)
{
    const int full = qBound(0, percent, 100) * width / 100;
    return QString(full, QChar(0x2588)) + QString(width - full, QChar(0x00B7));
}

QString VXProgressView::errorText(int code, const QJsonObject& report)
{
    const QString localPath = report.value(QLatin1String("localPath")).toString();
    if (code == VXResult::ManagerFailure && !localPath.isEmpty() && !QFileInfo::exists(localPath))
        return QStringLiteral("the local file does not exist");
    return VXResult::text(code);
}

QString VXProgressView::plainLine(int code, const QJsonObject& report)
{
    const QString detail = code == 0 ? report.value(QLatin1String("downloadUrl")).toString()
                                     : errorText(code, report);
    return QStringList{
        code == 0 ? QStringLiteral("ok") : QStringLiteral("failed"), QString::number(code),
        oneField(report.value(QLatin1String("remotePath")).toString()),
        oneField(report.value(QLatin1String("localPath")).toString()), oneField(detail)}
        .join(QLatin1Char('\t'));
}

QByteArray VXProgressView::jsonLine(int code, const QJsonObject& report)
{
    // Written by hand so that "result" comes first, as a reader scanning the line expects.
    return QByteArrayLiteral("{\"result\":") + QByteArray::number(code) +
           QByteArrayLiteral(",\"job\":") + QJsonDocument(report).toJson(QJsonDocument::Compact) +
           '}';
}

int VXProgressView::terminalColumns(int fd)
{
    winsize size = {};
    if (::ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return 80;
}

void VXProgressView::slotJobSubmitted(const QJsonObject& job)
{
    const QString key = VXJobTracker::jobKey(job);
    JobEntry entry;
    entry.name = job.value(QLatin1String("remotePath")).toString();
    entry.size = QFileInfo(job.value(QLatin1String("localPath")).toString()).size();
    if (!m_jobMap.contains(key))
        m_jobKeyList.append(key);
    m_jobMap.insert(key, entry);
}

void VXProgressView::slotJobProgress(const QString& key, int percent)
{
    if (m_mode != Mode::Terminal)
        return;
    const auto it = m_jobMap.find(key);
    if (it == m_jobMap.end() || it->finished)
        return;
    if (it->startMs < 0)
        it->startMs = m_clock.elapsed();
    it->percent = qBound(0, percent, 100);
    // Drawing waits for the next tick: a fast upload reports far more often than anyone reads.
    if (!m_redrawTimer.isActive()) {
        m_redrawTimer.start();
        slotTick();
    }
}

void VXProgressView::slotJobFinished(int code, const QJsonObject& report, const QString& key)
{
    if (m_mode == Mode::Json) {
        write(m_pOut, jsonLine(code, report) + '\n');
        return;
    }
    if (m_mode == Mode::Plain) {
        write(m_pOut, plainLine(code, report).toUtf8() + '\n');
        return;
    }
    JobEntry entry = m_jobMap.value(key);
    if (entry.name.isEmpty())
        entry.name = report.value(QLatin1String("remotePath")).toString();
    if (m_jobMap.contains(key))
        m_jobMap[key].finished = true;
    const qint64 nowMs = m_clock.elapsed();
    QString line;
    if (code == 0) {
        ++m_iSucceededCount;
        m_iUploadedBytes += entry.size;
        const qint64 ms = entry.startMs < 0 ? 0 : nowMs - entry.startMs;
        line = QLatin1String(kGreen) + QChar(0x2713) + QLatin1String(kReset) + QLatin1Char(' ') +
               entry.name + QStringLiteral("  ") + formatBytes(entry.size);
        if (entry.startMs >= 0) {
            line += QStringLiteral("  in ") + formatDuration(ms);
            if (ms > 0)
                line += QStringLiteral("  ") + formatBytes(entry.size * 1000 / ms) +
                        QStringLiteral("/s");
        }
    } else {
        ++m_iFailedCount;
        line = QLatin1String(kRed) + QChar(0x2717) + QLatin1String(kReset) + QLatin1Char(' ') +
               entry.name + QStringLiteral("  ") + errorText(code, report) +
               QStringLiteral(" (%1)").arg(code);
    }
    // clearBlock() must run before drawBlock(): both keep the count of lines on screen.
    QByteArray frame = clearBlock();
    frame += line.toUtf8() + '\n';
    frame += drawBlock();
    write(m_pOut, frame);
}

void VXProgressView::slotNotice(const QString& text)
{
    slotLogLine(QStringLiteral("vxupload: ") + text);
}

void VXProgressView::slotLogLine(const QString& text)
{
    const QByteArray line = text.toUtf8() + '\n';
    if (m_mode != Mode::Terminal || m_iDrawnLines == 0) {
        write(m_pErr, line);
        return;
    }
    write(m_pOut, clearBlock());
    write(m_pErr, line);
    write(m_pOut, drawBlock());
}

void VXProgressView::slotRunFinished(int exitCode)
{
    m_redrawTimer.stop();
    if (m_mode != Mode::Terminal)
        return;
    const int stopped = m_jobKeyList.size() - m_iSucceededCount - m_iFailedCount;
    QString summary = QStringLiteral("%1 of %2 uploaded (%3 in %4)")
                          .arg(m_iSucceededCount)
                          .arg(m_jobKeyList.size())
                          .arg(formatBytes(m_iUploadedBytes), formatDuration(m_clock.elapsed()));
    if (m_iFailedCount > 0)
        summary += QStringLiteral(", %1 failed").arg(m_iFailedCount);
    if (stopped > 0)
        summary += (exitCode == VXExit::Interrupted ? QStringLiteral(", %1 stopped")
                                                    : QStringLiteral(", %1 unfinished"))
                       .arg(stopped);
    write(m_pOut, clearBlock() + summary.toUtf8() + '\n');
}

void VXProgressView::write(QIODevice* device, const QByteArray& data)
{
    if (device && !data.isEmpty())
        device->write(data);
}

QByteArray VXProgressView::clearBlock()
{
    if (m_iDrawnLines == 0)
        return QByteArray();
    // Up to the first line of the block, then erase to the end of the screen.
    const QByteArray escape = "\x1b[" + QByteArray::number(m_iDrawnLines) + "A\r\x1b[J";
    m_iDrawnLines = 0;
    return escape;
}

QByteArray VXProgressView::drawBlock()
{
    if (m_mode != Mode::Terminal)
        return QByteArray();
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

void VXProgressView::slotTick()
{
    QByteArray frame = clearBlock();
    frame += drawBlock();
    write(m_pOut, frame);
}

QString VXProgressView::liveLine(const JobEntry& entry, qint64 nowMs) const
{
    const qint64 done = entry.size * entry.percent / 100;
    const qint64 ms = nowMs - entry.startMs;
    QString eta = QStringLiteral("--");
    if (ms >= kMinRateWindowMs && done > 0)
        eta = formatDuration((entry.size - done) * ms / done);
    const int barWidth = m_iColumns >= 110 ? 20 : 10;
    // Fixed field widths keep the columns still while the numbers change.
    const QString tail = QStringLiteral(" %1 %2% %3/%4 %5 ETA %6")
                             .arg(progressBar(entry.percent, barWidth))
                             .arg(entry.percent, 3)
                             .arg(formatBytes(done), 9)
                             .arg(formatBytes(entry.size), -9)
                             .arg(rateText(done, ms), 11)
                             .arg(eta, -7);
    // The line must never wrap: the block is erased by counting lines.
    const int nameWidth = qMax(8, m_iColumns - 1 - tail.size());
    return (fitName(entry.name, nameWidth) + tail).left(m_iColumns - 1);
}

QString VXProgressView::fitName(const QString& name, int width) const
{
    if (name.size() <= width)
        return name.leftJustified(width);
    // The end of a path tells files apart better than its beginning.
    return QChar(0x2026) + name.right(width - 1);
}
