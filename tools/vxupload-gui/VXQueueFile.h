#ifndef VXQUEUEFILE_H
#define VXQUEUEFILE_H

#include <QObject>
#include <QString>
#include <QTimer>

class VXUploadQueueModel;

// The window's unfinished rows across restarts: a small JSON file of their jobs, states and
// result texts, written whole (QSaveFile: a crash leaves the old file or the new one, never
// half of one) at most once per kSaveDelayMs after a row changes state (progress alone does not
// count), and at once by flush(). Loaded, its rows join the queue as stopped rows: Retry
// submits them again, and the plugin resumes their multipart uploads where they stopped.
// Only the jobs as submitted are kept, each through VXFormat::printableReport: no report, no
// part URL, no credential reaches the file. Lives on the window's thread; a save or a load is a
// small local file access.
//
// The file: {"version":1,"rows":[{"job":{...},"state":"failed","result":"-1007: ..."},...]}
class VXQueueFile : public QObject
{
    Q_OBJECT

public:
    static constexpr int kSaveDelayMs = 1000;

    // model (not owned) must outlive this object. Nothing is read or written yet.
    VXQueueFile(VXUploadQueueModel* model, const QString& path, QObject* parent = nullptr);

    // queue.json in the application's data folder (QStandardPaths::AppDataLocation).
    static QString defaultPath();
    QString path() const { return m_path; }

    // Adds the file's rows to the model as stopped rows and returns how many joined (a job
    // already in the queue is not added twice). A missing file gives 0. A damaged file (not
    // JSON, another version, a row without a job's three strings) adds nothing: -1 with the
    // reason in *error; the next save replaces it.
    int load(QString* error);
    // Writes the model's unfinished rows now; false with the reason in *error.
    bool save(QString* error = nullptr);
    // Writes a save that is due, before the window goes.
    void flush();
    bool isSavePending() const { return m_saveTimer.isActive(); }

signals:
    // A save, due or forced, failed: the reason, for the window's status line.
    void sglSaveFailed(const QString& reason);

private:
    void scheduleSave();
    void saveNow();

    VXUploadQueueModel* m_pModel;
    QString m_path;
    QTimer m_saveTimer;
};

#endif // VXQUEUEFILE_H
