#ifndef VXREPORTWRITER_H
#define VXREPORTWRITER_H

#include <QByteArray>
#include <QIODevice>
#include <QJsonObject>
#include <QString>

// What a run shows, told as it happens: the jobs, their progress, their final reports and the
// end of the run. The session holds one writer for standard output, chosen once from the output
// mode, and one more for the --report file. Jobs are known by their job key
// (VXJobTracker::jobKey). Every call comes from the event loop's thread.
class VXReportWriter
{
public:
    virtual ~VXReportWriter() = default;

    // Each job, before the first one is handed to the plugin.
    virtual void jobSubmitted(const QJsonObject& job) { Q_UNUSED(job) }
    virtual void jobProgress(const QString& key, int percent) { Q_UNUSED(key) Q_UNUSED(percent) }
    // The final report of a job: the code and the JSON as the plugin sent them. Stopped jobs
    // get none.
    virtual void jobFinished(int code, const QJsonObject& report, const QString& key) = 0;
    virtual void runFinished(int exitCode) { Q_UNUSED(exitCode) }
    // Writes a diagnostic line (with its line end) to err; a live view lifts itself around it
    // so that the line does not tear it.
    virtual void writeDiagnostic(QIODevice* err, const QByteArray& line) { err->write(line); }
};

// One line per finished job, made by format (VXFormat::plainLine or VXFormat::jsonLine) and
// written at once to the device, which is borrowed and must outlive the writer.
class VXLineReportWriter final : public VXReportWriter
{
public:
    using Format = QByteArray (*)(int code, const QJsonObject& report);

    VXLineReportWriter(QIODevice* device, Format format) : m_pDevice(device), m_format(format) {}

    void jobFinished(int code, const QJsonObject& report, const QString&) override
    {
        m_pDevice->write(m_format(code, report));
    }

private:
    QIODevice* m_pDevice;
    Format m_format;
};

#endif // VXREPORTWRITER_H
