#include "VXUploadQueueModel.h"

#include "VXFormat.h"

#include <QBrush>
#include <QColor>
#include <QFileInfo>

#include <utility>

namespace {

QString field(const QJsonObject& job, const char* name)
{
    return job.value(QLatin1String(name)).toString();
}

qint64 fileSize(const QJsonObject& job)
{
    const QFileInfo info(field(job, "localPath"));
    return info.exists() ? info.size() : -1;
}

} // namespace

VXUploadQueueModel::VXUploadQueueModel(QObject* parent)
    : QAbstractTableModel(parent), m_countList(int(State::Stopped) + 1, 0)
{
    m_clock.start();
    m_refreshTimer.setSingleShot(true);
    m_refreshTimer.setInterval(kRefreshMs);
    connect(&m_refreshTimer, &QTimer::timeout, this, &VXUploadQueueModel::flushProgress);
}

QString VXUploadQueueModel::jobKey(const QJsonObject& job)
{
    return field(job, "localPath") + QLatin1Char('|') + field(job, "remotePath") +
           QLatin1Char('|') + field(job, "bucketName");
}

QList<int> VXUploadQueueModel::addJobs(const QList<QJsonObject>& jobs)
{
    QVector<Row> rows;
    rows.reserve(jobs.size());
    for (const QJsonObject& job : jobs) {
        Row row;
        row.job = job;
        rows.append(row);
    }
    return appendRows(rows);
}

QList<int> VXUploadQueueModel::addStoppedRows(const QVector<Entry>& entries)
{
    QVector<Row> rows;
    rows.reserve(entries.size());
    for (const Entry& entry : entries) {
        Row row;
        row.job = entry.job;
        row.state = State::Stopped;
        row.resultText = entry.resultText;
        rows.append(row);
    }
    return appendRows(rows);
}

QVector<VXUploadQueueModel::Entry> VXUploadQueueModel::unfinishedRows() const
{
    QVector<Entry> entries;
    for (const Row& row : m_rowList) {
        if (row.state != State::Done)
            entries.append({row.job, row.state, row.resultText});
    }
    return entries;
}

QList<int> VXUploadQueueModel::appendRows(const QVector<Row>& rows)
{
    QVector<Row> fresh;
    QSet<QString> freshKeys;
    for (const Row& candidate : rows) {
        const QJsonObject& job = candidate.job;
        const QString key = jobKey(job);
        const QString target = field(job, "bucketName") + QLatin1Char('|') +
                               field(job, "remotePath");
        const QString localPath = field(job, "localPath");
        if (m_rowMap.contains(key) || freshKeys.contains(key) ||
            m_localPathMap.value(target, localPath) != localPath)
            continue;
        freshKeys.insert(key);
        m_localPathMap.insert(target, localPath);
        Row row = candidate;
        row.size = fileSize(job);
        fresh.append(row);
    }
    QList<int> added;
    if (fresh.isEmpty())
        return added;
    // One insertion for the whole batch: a view lays out ten thousand rows once, not per row.
    const int first = m_rowList.size();
    beginInsertRows(QModelIndex(), first, first + fresh.size() - 1);
    for (const Row& row : fresh) {
        m_rowMap.insert(jobKey(row.job), m_rowList.size());
        added.append(m_rowList.size());
        m_rowList.append(row);
        ++m_countList[int(row.state)];
    }
    endInsertRows();
    emit sglStatesChanged();
    return added;
}

bool VXUploadQueueModel::applyProgress(const QJsonObject& report, int percent)
{
    const int index = activeRowOf(report);
    if (index < 0)
        return false;
    Row& row = m_rowList[index];
    setState(row, State::Uploading);
    row.percent = qMax(row.percent, qBound(0, percent, 100));
    if (row.firstReportMs < 0) {
        row.firstReportMs = m_clock.elapsed();
        row.firstReportBytes = bytesDone(row);
    }
    m_dirtyRowSet.insert(index);
    if (!m_refreshTimer.isActive())
        m_refreshTimer.start();
    return true;
}

bool VXUploadQueueModel::applyFinished(int code, const QJsonObject& report)
{
    const int index = activeRowOf(report);
    if (index < 0)
        return false;
    Row& row = m_rowList[index];
    if (code == 0) {
        setState(row, State::Done);
        row.percent = 100;
        row.downloadUrl = field(report, "downloadUrl");
    } else {
        setState(row, State::Failed);
        row.resultText = QStringLiteral("%1: %2").arg(code).arg(VXFormat::errorText(code, report));
    }
    rowChanged(index);
    return true;
}

bool VXUploadQueueModel::stop(int index)
{
    Row& row = m_rowList[index];
    if (row.state != State::Waiting && row.state != State::Uploading)
        return false;
    setState(row, State::Stopped);
    rowChanged(index);
    return true;
}

bool VXUploadQueueModel::retry(int index)
{
    Row& row = m_rowList[index];
    if (row.state != State::Failed && row.state != State::Stopped)
        return false;
    setState(row, State::Waiting);
    Row fresh; // waiting, 0 %, no result; the file may have changed meanwhile
    fresh.job = row.job;
    fresh.size = fileSize(fresh.job);
    row = fresh;
    rowChanged(index);
    return true;
}

QString VXUploadQueueModel::stateName(State state)
{
    switch (state) {
    case State::Waiting:
        return QStringLiteral("waiting");
    case State::Uploading:
        return QStringLiteral("uploading");
    case State::Done:
        return QStringLiteral("done");
    case State::Failed:
        return QStringLiteral("failed");
    case State::Stopped:
        return QStringLiteral("stopped");
    }
    return QString();
}

int VXUploadQueueModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : m_rowList.size();
}

int VXUploadQueueModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant VXUploadQueueModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid())
        return QVariant();
    const Row& row = m_rowList.at(index.row());
    const int column = index.column();
    switch (role) {
    case Qt::DisplayRole:
        return display(row, column);
    case Qt::ToolTipRole:
        if (column == FileColumn)
            return field(row.job, "localPath");
        return column == ResultColumn || column == AddressColumn ? display(row, column)
                                                                 : QVariant();
    case PercentRole:
        if (column == ProgressColumn && row.state != State::Waiting && row.state != State::Failed)
            return row.percent;
        return QVariant();
    case Qt::ForegroundRole:
        if (column == StateColumn && row.state == State::Done)
            return QBrush(QColor(0x1b, 0x7a, 0x2e));
        if ((column == StateColumn || column == ResultColumn) && row.state == State::Failed)
            return QBrush(QColor(0xb0, 0x1e, 0x1e));
        return QVariant();
    case Qt::TextAlignmentRole:
        if (column == SizeColumn || column == RateColumn || column == TimeLeftColumn)
            return int(Qt::AlignRight | Qt::AlignVCenter);
        return QVariant();
    default:
        return QVariant();
    }
}

QVariant VXUploadQueueModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    static const char* const titles[ColumnCount] = {"File",      "Size",     "Remote path",
                                                    "State",     "Progress", "Rate",
                                                    "Time left", "Result",   "Download address"};
    return section >= 0 && section < ColumnCount ? QString::fromLatin1(titles[section])
                                                 : QVariant();
}

QVariant VXUploadQueueModel::display(const Row& row, int column) const
{
    const bool uploading = row.state == State::Uploading;
    const qint64 ms = uploading ? m_clock.elapsed() - row.firstReportMs : 0;
    const qint64 moved = uploading ? bytesDone(row) - row.firstReportBytes : 0;
    switch (column) {
    case FileColumn:
        return QFileInfo(field(row.job, "localPath")).fileName();
    case SizeColumn:
        return row.size < 0 ? QStringLiteral("?") : VXFormat::bytes(row.size);
    case RemoteColumn:
        return field(row.job, "remotePath");
    case StateColumn:
        return stateName(row.state);
    case ProgressColumn:
        return QStringLiteral("%1%").arg(row.percent);
    case RateColumn:
        return uploading ? VXFormat::rate(moved, ms) : QString();
    case TimeLeftColumn:
        if (!uploading || ms < VXFormat::kMinRateWindowMs || moved <= 0)
            return uploading ? QStringLiteral("--") : QString();
        return VXFormat::duration((row.size - bytesDone(row)) * ms / moved);
    case ResultColumn:
        return row.resultText;
    case AddressColumn:
        return row.downloadUrl;
    default:
        return QVariant();
    }
}

qint64 VXUploadQueueModel::bytesDone(const Row& row) const
{
    return qMax<qint64>(row.size, 0) * row.percent / 100;
}

int VXUploadQueueModel::activeRowOf(const QJsonObject& report) const
{
    const int index = rowOf(report);
    if (index < 0)
        return -1;
    const State state = m_rowList.at(index).state;
    return state == State::Waiting || state == State::Uploading ? index : -1;
}

void VXUploadQueueModel::setState(Row& row, State state)
{
    if (row.state == state)
        return;
    --m_countList[int(row.state)];
    ++m_countList[int(state)];
    row.state = state;
    emit sglStatesChanged();
}

void VXUploadQueueModel::rowChanged(int row)
{
    m_dirtyRowSet.remove(row);
    emit dataChanged(index(row, 0), index(row, ColumnCount - 1));
}

void VXUploadQueueModel::flushProgress()
{
    const QSet<int> rows = std::exchange(m_dirtyRowSet, {});
    for (int row : rows)
        emit dataChanged(index(row, StateColumn), index(row, TimeLeftColumn));
}
