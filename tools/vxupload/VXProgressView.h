#ifndef VXPROGRESSVIEW_H
#define VXPROGRESSVIEW_H

#include <QElapsedTimer>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QStringList>
#include <QTimer>

class QIODevice;

// What vxupload shows of a run. Terminal: a live block of progress lines (one per job that has
// reported progress and not finished, plus a count of waiting jobs), redrawn in place with ANSI
// escapes at most ten times a second, and one line per finished job printed above it. Plain:
// one TAB-separated line per finished job. Json: one compact JSON report per finished job.
// Notices (diagnostics) always go to the error device. Both devices are borrowed: they must
// outlive the view. Jobs are known by their job key (VXJobTracker::jobKey).
class VXProgressView : public QObject
{
    Q_OBJECT

public:
    enum class Mode { Terminal, Plain, Json };

    VXProgressView(Mode mode, QIODevice* out, QIODevice* err, int columns = 80,
                   QObject* parent = nullptr);

    // "512 B", "1.5 KiB", "12.3 MiB", "1.02 GiB".
    static QString formatBytes(qint64 bytes);
    // "0.4 s", "12.0 s", "3:07", "1:02:03".
    static QString formatDuration(qint64 ms);
    // A bar of width cells, percent (clamped to 0..100) of them full.
    static QString progressBar(int percent, int width);
    // The reason of a failure: VXResult::text(code), except that -1 for a local file that does
    // not exist says so (the plugin reports that case with the same code as a refused request).
    static QString errorText(int code, const QJsonObject& report);
    // ok|failed TAB code TAB remotePath TAB localPath TAB detail, without the line end.
    static QString plainLine(int code, const QJsonObject& report);
    // {"result":code,"job":report}, compact, without the line end.
    static QByteArray jsonLine(int code, const QJsonObject& report);
    // Width of the terminal on fd, or 80 when it cannot be told.
    static int terminalColumns(int fd);

public slots:
    void slotJobSubmitted(const QJsonObject& job);
    void slotJobProgress(const QString& key, int percent);
    void slotJobFinished(int code, const QJsonObject& report, const QString& key);
    void slotNotice(const QString& text); // "vxupload: " + text
    // A line for the error device as it is (the application's message handler routes Qt's
    // log messages, the plugin's among them, here so that they do not tear the live block).
    void slotLogLine(const QString& text);
    // The run is over: the live block gives way to a summary line (terminal mode only).
    void slotRunFinished(int exitCode);

private:
    struct JobEntry
    {
        QString name;
        qint64 size = 0;
        int percent = -1; // -1 until the first progress report
        qint64 startMs = -1;
        bool finished = false;
    };

    void write(QIODevice* device, const QByteArray& data);
    QByteArray clearBlock();
    QByteArray drawBlock();
    void slotTick();
    QString liveLine(const JobEntry& entry, qint64 nowMs) const;
    QString fitName(const QString& name, int width) const;

    Mode m_mode;
    QIODevice* m_pOut;
    QIODevice* m_pErr;
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

#endif // VXPROGRESSVIEW_H
