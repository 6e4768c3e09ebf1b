#ifndef VXFORMAT_H
#define VXFORMAT_H

#include <QByteArray>
#include <QJsonObject>
#include <QString>

// How the hosts write sizes, times and reports: pure functions, no state, no I/O beyond asking
// whether a reported local file exists.
namespace VXFormat {

// A rate (or a time left) measured over less time than this is mostly noise of the first report.
constexpr qint64 kMinRateWindowMs = 500;

// "512 B", "1.5 KiB", "12.3 MiB", "1.02 GiB".
QString bytes(qint64 count);
// "0.4 s", "12.0 s", "3:07", "1:02:03".
QString duration(qint64 ms);
// "12.3 MiB/s", or "--" below kMinRateWindowMs.
QString rate(qint64 count, qint64 ms);
// A bar of width cells, percent (clamped to 0..100) of them full.
QString progressBar(int percent, int width);
// The reason of a failure: VXResult::text(code), except that -1 for a local file that does not
// exist says so (the plugin reports that case with the same code as a refused request).
QString errorText(int code, const QJsonObject& report);
// text with every word that carries a signature (X-Amz-Signature, X-Amz-Credential, Signature=)
// cut after its '?' and marked: "https://host/b/key?<redacted>" (a word without '?' becomes
// "<redacted>"). For log lines and any other text a host shows.
QString printableText(const QString& text);
// A final report as a host may print, show or store it. A failed multipart job is reported with
// its slice job, whose "partUrl" (pre-signed part URLs) and "authorization" (the completion
// credential) would let anyone who reads a log write to the upload or complete it: both keys
// are dropped, at any depth. Every other string goes through printableText(). The one
// exception is the "downloadUrl" of a success (code 0): it is what the user uploaded for, and
// the storage may hand out only signed ones. Every host output goes through this.
QJsonObject printableReport(int code, const QJsonObject& report);
// ok|failed TAB code TAB remotePath TAB localPath TAB detail, with the line end; detail is the
// download address on success, the error text otherwise. Made from printableReport().
QByteArray plainLine(int code, const QJsonObject& report);
// {"result":code,"job":printableReport(code, report)}, compact, with the line end.
QByteArray jsonLine(int code, const QJsonObject& report);

} // namespace VXFormat

#endif // VXFORMAT_H
