#ifndef VXTERMINALPROGRESS_H
#define VXTERMINALPROGRESS_H

#include "VXReportWriter.h"

#include <QElapsedTimer>
#include <QHash>
#include <QStringList>
#include <QTimer>

// vxupload's live view on a terminal: a block of progress lines (one per job that has reported
// progress and not finished, plus a count of waiting jobs) redrawn in place with ANSI escapes
// at most ten times a second, a line per finished job printed above it (a check mark or a
// cross, name, size and time or the error) and a summary line at the end of the run. The block
// is erased by counting its lines, so no line is allowed to wrap.
class VXTerminalProgress final : public VXReportWriter
{
public:
    // out (borrowed) is the terminal; columns its width.
    explicit VXTerminalProgress(QIODevice* out, int columns = 80);

    // Width of the terminal on fd, or 80 when it cannot be told.
    static int terminalColumns(int fd);

    void jobSubmitted(const QJsonObject& job) override;
    void jobProgress(const QString& key, int percent) override;
    void jobFinished(int code, const QJsonObject& report, const QString& key) override;
    void runFinished(int exitCode) override;
    void writeDiagnostic(QIODevice* err, const QByteArray& line) override;

private:
    struct JobEntry
    {
        QString name;
        qint64 size = 0;
        int percent = -1; // -1 until the first progress report
        qint64 startMs = -1;
        bool finished = false;
    };

    // clearBlock() must run before drawBlock(): both keep the count of lines on screen.
    QByteArray clearBlock();
    QByteArray drawBlock();
    void redraw();
    QString liveLine(const JobEntry& entry, qint64 nowMs) const;
    QString resultLine(int code, const QJsonObject& report, const JobEntry& entry) const;

    QIODevice* m_pOut;
    int m_iColumns;
    QElapsedTimer m_clock;
    QTimer m_redrawTimer;
    QHash<QString, JobEntry> m_jobMap;
    QStringList m_jobKeyList; // submission order
    int m_iDrawnLines = 0;
    int m_iSucceededCount = 0;
    int m_iFailedCount = 0;
    qint64 m_iUploadedBytes = 0;
};

#endif // VXTERMINALPROGRESS_H
