#include "VXFormat.h"

#include "VXResultCodes.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QStringList>

namespace {

// One job is one line: a TAB or line break inside a path must not split it.
QString oneField(QString text)
{
    for (QChar c : {QLatin1Char('\t'), QLatin1Char('\n'), QLatin1Char('\r')})
        text.replace(c, QLatin1Char(' '));
    return text;
}

} // namespace

QString VXFormat::bytes(qint64 count)
{
    if (count < 1024)
        return QStringLiteral("%1 B").arg(count);
    static const char* const units[] = {"KiB", "MiB", "GiB", "TiB"};
    double value = double(count) / 1024.0;
    int unit = 0;
    while (value >= 1024.0 && unit < 3) {
        value /= 1024.0;
        ++unit;
    }
    // Three significant digits at most: "1.02 GiB", "12.3 MiB", "512 KiB".
    const int decimals = value < 10.0 ? 2 : value < 100.0 ? 1 : 0;
    return QStringLiteral("%1 %2").arg(value, 0, 'f', decimals).arg(QLatin1String(units[unit]));
}

QString VXFormat::duration(qint64 ms)
{
    ms = qMax<qint64>(ms, 0);
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

QString VXFormat::rate(qint64 count, qint64 ms)
{
    if (ms < kMinRateWindowMs || count <= 0)
        return QStringLiteral("--");
    return bytes(count * 1000 / ms) + QStringLiteral("/s");
}

QString VXFormat::progressBar(int percent, int width)
{
    const int full = qBound(0, percent, 100) * width / 100;
    return QString(full, QChar(0x2588)) + QString(width - full, QChar(0x00B7));
}

QString VXFormat::errorText(int code, const QJsonObject& report)
{
    const QString localPath = report.value(QLatin1String("localPath")).toString();
    if (code == VXResult::ManagerFailure && !localPath.isEmpty() && !QFileInfo::exists(localPath))
        return QStringLiteral("the local file does not exist");
    return VXResult::text(code);
}

QByteArray VXFormat::plainLine(int code, const QJsonObject& report)
{
    const QString detail = code == 0 ? report.value(QLatin1String("downloadUrl")).toString()
                                     : errorText(code, report);
    return QStringList{code == 0 ? QStringLiteral("ok") : QStringLiteral("failed"),
                       QString::number(code),
                       oneField(report.value(QLatin1String("remotePath")).toString()),
                       oneField(report.value(QLatin1String("localPath")).toString()),
                       oneField(detail)}
               .join(QLatin1Char('\t'))
               .toUtf8() +
           '\n';
}

QByteArray VXFormat::jsonLine(int code, const QJsonObject& report)
{
    // Written by hand so that "result" comes first, as a reader scanning the line expects.
    return QByteArrayLiteral("{\"result\":") + QByteArray::number(code) +
           QByteArrayLiteral(",\"job\":") + QJsonDocument(report).toJson(QJsonDocument::Compact) +
           "}\n";
}
