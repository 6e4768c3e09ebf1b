#include "VXFormat.h"

#include "VXResultCodes.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QStringList>

namespace {

QJsonValue printableValue(const QJsonValue& value);

QJsonObject printableObject(QJsonObject object)
{
    object.remove(QLatin1String("partUrl"));
    object.remove(QLatin1String("authorization"));
    for (auto it = object.begin(); it != object.end(); ++it)
        it.value() = printableValue(it.value());
    return object;
}

QJsonValue printableValue(const QJsonValue& value)
{
    if (value.isObject())
        return printableObject(value.toObject());
    if (value.isArray()) {
        QJsonArray array = value.toArray();
        for (auto it = array.begin(); it != array.end(); ++it)
            *it = printableValue(*it);
        return array;
    }
    return value.isString() ? QJsonValue(VXFormat::printableText(value.toString())) : value;
}

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

QString VXFormat::printableText(const QString& text)
{
    // A word that carries SigV4 query signing (X-Amz-Signature, X-Amz-Credential: the key id it
    // was made with) or the older SigV2 form (Signature=).
    static const QRegularExpression signedWord(
        QStringLiteral("\\S*(X-Amz-Signature|X-Amz-Credential|Signature=)\\S*"),
        QRegularExpression::CaseInsensitiveOption);
    if (!text.contains(signedWord))
        return text;
    QString printable;
    int from = 0;
    for (auto it = signedWord.globalMatch(text); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        const QString word = match.captured();
        // The address without its query still says which object was meant; a signature
        // outside a query leaves nothing worth showing.
        const int query = word.indexOf(QLatin1Char('?'));
        printable.append(QStringView(text).mid(from, match.capturedStart() - from));
        if (query >= 0)
            printable.append(QStringView(word).left(query + 1));
        printable.append(QLatin1String("<redacted>"));
        from = match.capturedEnd();
    }
    return printable.append(QStringView(text).mid(from));
}

QJsonObject VXFormat::printableReport(int code, const QJsonObject& report)
{
    QJsonObject printable = report;
    const QLatin1String downloadKey("downloadUrl");
    const QJsonValue downloadUrl = printable.take(downloadKey);
    printable = printableObject(printable);
    if (!downloadUrl.isUndefined())
        printable.insert(downloadKey, code == 0 ? downloadUrl : printableValue(downloadUrl));
    return printable;
}

QByteArray VXFormat::plainLine(int code, const QJsonObject& fullReport)
{
    const QJsonObject report = printableReport(code, fullReport);
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
           QByteArrayLiteral(",\"job\":") +
           QJsonDocument(printableReport(code, report)).toJson(QJsonDocument::Compact) + "}\n";
}
