#ifndef VXUPLOADQUEUEMODEL_H
#define VXUPLOADQUEUEMODEL_H

#include <QAbstractTableModel>
#include <QElapsedTimer>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QSet>
#include <QTimer>
#include <QVector>

// The upload queue as the window shows it: one row per job, known by its job key (localPath,
// remotePath, bucketName, as the plugin knows a job), kept until the window closes. Rows change
// only through the operations below; each refuses what makes no sense for the row's state (a
// report for a stopped or unknown job, a stop of a finished one) and says so by returning false.
// Progress is stored at once but reaches the views at most once per kRefreshMs per row, so that
// many jobs in flight cannot flood the window with repaints.
class VXUploadQueueModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column {
        FileColumn,
        SizeColumn,
        RemoteColumn,
        StateColumn,
        ProgressColumn,
        RateColumn,
        TimeLeftColumn,
        ResultColumn,
        AddressColumn,
        ColumnCount
    };
    enum class State { Waiting, Uploading, Done, Failed, Stopped };
    // A row as it outlives the window (VXQueueFile): the job as submitted, its state and the
    // result column's text.
    struct Entry
    {
        QJsonObject job;
        State state = State::Waiting;
        QString resultText;
    };
    // The progress column's percent (int) where a bar is drawn: rows under way or ended by
    // success or a stop.
    static constexpr int PercentRole = Qt::UserRole;
    static constexpr int kRefreshMs = 100;

    explicit VXUploadQueueModel(QObject* parent = nullptr);

    // localPath|remotePath|bucketName, as the plugin joins them.
    static QString jobKey(const QJsonObject& job);

    // Appends one waiting row per job whose key is not in the queue yet (of repeats within
    // `jobs`, the first), in a single insertion, and returns their row numbers. A job aimed at
    // the remote object (bucket and remote path) of another local file in the queue is not
    // added either: one of the two uploads would silently replace the other.
    QList<int> addJobs(const QList<QJsonObject>& jobs);
    // Appends the entries as stopped rows with their result text, by the same rules as
    // addJobs (each entry's state is not used): the rows of an earlier session, to be retried.
    QList<int> addStoppedRows(const QVector<Entry>& entries);
    // A progress report: the row of a waiting or uploading job is uploading, at the highest
    // percent reported so far in this attempt.
    bool applyProgress(const QJsonObject& report, int percent);
    // A final report: done (code 0, with the report's "downloadUrl") or failed.
    bool applyFinished(int code, const QJsonObject& report);
    bool stop(int row);  // a waiting or uploading row
    bool retry(int row); // a failed or stopped row waits again, from 0 %

    int rowOf(const QJsonObject& job) const { return m_rowMap.value(jobKey(job), -1); }
    QJsonObject job(int row) const { return m_rowList.at(row).job; }
    State state(int row) const { return m_rowList.at(row).state; }
    int percent(int row) const { return m_rowList.at(row).percent; }
    QString downloadUrl(int row) const { return m_rowList.at(row).downloadUrl; }
    int count(State state) const { return m_countList.at(int(state)); }
    // The rows that are not done (waiting, uploading, failed, stopped), in row order.
    QVector<Entry> unfinishedRows() const;
    static QString stateName(State state);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

signals:
    // A row's state changed (progress within a state does not count), or rows were added.
    void sglStatesChanged();

private:
    struct Row
    {
        QJsonObject job;
        qint64 size = -1; // -1: no such file when it was added
        State state = State::Waiting;
        int percent = 0;
        QString resultText; // "code: text" of a failure
        QString downloadUrl;
        qint64 firstReportMs = -1; // rate and time left: bytes since the attempt's first report
        qint64 firstReportBytes = 0;
    };

    // The new rows among `rows` (addJobs' rules), appended in one insertion.
    QList<int> appendRows(const QVector<Row>& rows);
    QVariant display(const Row& row, int column) const;
    qint64 bytesDone(const Row& row) const;
    // The row of an unfinished job that `report` names, or -1.
    int activeRowOf(const QJsonObject& report) const;
    void setState(Row& row, State state);
    void rowChanged(int row);
    void flushProgress();

    QVector<Row> m_rowList;
    QHash<QString, int> m_rowMap;            // job key -> row
    QHash<QString, QString> m_localPathMap; // bucketName|remotePath -> the local file sent there
    QVector<int> m_countList;     // rows per State
    QSet<int> m_dirtyRowSet;      // progress not shown yet
    QTimer m_refreshTimer;
    QElapsedTimer m_clock;
};

#endif // VXUPLOADQUEUEMODEL_H
