#include "VXQueueFile.h"

#include "VXFormat.h"
#include "VXUploadQueueModel.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>
#include <QStandardPaths>

namespace {

constexpr int kVersion = 1;
using State = VXUploadQueueModel::State;

// The result column of a row that an earlier session left unfinished.
QString restoredText(State state, const QString& resultText)
{
    if (state == State::Failed && !resultText.isEmpty())
        return QStringLiteral("failed before the restart: ") + resultText;
    return QStringLiteral("unfinished when the window closed (%1)")
        .arg(VXUploadQueueModel::stateName(state));
}

bool stateFromName(const QString& name, State* state)
{
    for (State candidate :
         {State::Waiting, State::Uploading, State::Done, State::Failed, State::Stopped}) {
        if (VXUploadQueueModel::stateName(candidate) == name) {
            *state = candidate;
            return true;
        }
    }
    return false;
}

} // namespace

VXQueueFile::VXQueueFile(VXUploadQueueModel* model, const QString& path, QObject* parent)
    : QObject(parent), m_pModel(model), m_path(path)
{
    m_saveTimer.setSingleShot(true);
    m_saveTimer.setInterval(kSaveDelayMs);
    connect(&m_saveTimer, &QTimer::timeout, this, &VXQueueFile::saveNow);
    connect(model, &VXUploadQueueModel::sglStatesChanged, this, &VXQueueFile::scheduleSave);
}

QString VXQueueFile::defaultPath()
{
    return QDir(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation))
        .filePath(QStringLiteral("queue.json"));
}

int VXQueueFile::load(QString* error)
{
    QFile file(m_path);
    if (!file.exists())
        return 0;
    if (!file.open(QIODevice::ReadOnly)) {
        *error = file.errorString();
        return -1;
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        *error = QStringLiteral("not JSON: %1 at offset %2")
                     .arg(parseError.errorString())
                     .arg(parseError.offset);
        return -1;
    }
    const QJsonObject root = document.object();
    if (root.value(QLatin1String("version")).toInt() != kVersion ||
        !root.value(QLatin1String("rows")).isArray()) {
        *error = QStringLiteral("not a queue of version %1").arg(kVersion);
        return -1;
    }
    const QJsonArray rows = root.value(QLatin1String("rows")).toArray();
    QVector<VXUploadQueueModel::Entry> entries;
    for (int i = 0; i < rows.size(); ++i) {
        const QJsonObject row = rows.at(i).toObject();
        const QJsonObject job = row.value(QLatin1String("job")).toObject();
        State state = State::Stopped;
        bool usable = stateFromName(row.value(QLatin1String("state")).toString(), &state) &&
                      state != State::Done;
        for (const char* key : {"localPath", "remotePath", "bucketName"})
            usable = usable && !job.value(QLatin1String(key)).toString().isEmpty();
        if (!usable) {
            *error = QStringLiteral("row %1 is not an unfinished job").arg(i + 1);
            return -1;
        }
        entries.append(
            {job, state, restoredText(state, row.value(QLatin1String("result")).toString())});
    }
    return m_pModel->addStoppedRows(entries).size();
}

bool VXQueueFile::save(QString* error)
{
    m_saveTimer.stop();
    QJsonArray rows;
    for (const VXUploadQueueModel::Entry& entry : m_pModel->unfinishedRows()) {
        rows.append(
            QJsonObject{{QStringLiteral("job"), VXFormat::printableReport(-1, entry.job)},
                        {QStringLiteral("state"), VXUploadQueueModel::stateName(entry.state)},
                        {QStringLiteral("result"), entry.resultText}});
    }
    const QByteArray content = QJsonDocument(QJsonObject{{QStringLiteral("version"), kVersion},
                                                         {QStringLiteral("rows"), rows}})
                                   .toJson(QJsonDocument::Compact);
    QString reason;
    if (!QDir().mkpath(QFileInfo(m_path).absolutePath())) {
        reason = QStringLiteral("cannot make its folder");
    } else {
        QSaveFile file(m_path);
        if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size() ||
            !file.commit())
            reason = file.errorString();
    }
    if (reason.isEmpty())
        return true;
    if (error)
        *error = reason;
    return false;
}

void VXQueueFile::flush()
{
    if (m_saveTimer.isActive())
        saveNow();
}

void VXQueueFile::scheduleSave()
{
    // At most one write per period, however many rows change meanwhile.
    if (!m_saveTimer.isActive())
        m_saveTimer.start();
}

void VXQueueFile::saveNow()
{
    QString reason;
    if (!save(&reason))
        emit sglSaveFailed(reason);
}
