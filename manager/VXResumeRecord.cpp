#include "VXResumeRecord.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QSaveFile>
#include <QStandardPaths>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcResumeRecord, "vx.resumerecord", QtWarningMsg)

namespace {

constexpr int kVersion = 1;
constexpr auto kOwnerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

QString fileNameOf(const VXResumeRecord::Subject& subject)
{
    const QString key = subject.localPath + QLatin1Char('|') + subject.remotePath +
                        QLatin1Char('|') + subject.bucketName;
    return QString::fromLatin1(
        QCryptographicHash::hash(key.toUtf8(), QCryptographicHash::Sha256).toHex().left(32));
}

// The folder, made 0700 when missing; an existing folder that others may enter is refused.
bool prepareFolder(const QString& folder, QString* why)
{
    if (!QDir().mkpath(folder)) {
        *why = QStringLiteral("cannot make the resume folder %1").arg(folder);
        return false;
    }
    struct stat info;
    const QByteArray path = QFile::encodeName(folder);
    if (::stat(path.constData(), &info) != 0 || info.st_uid != ::getuid()) {
        *why = QStringLiteral("the resume folder %1 is not the user's own").arg(folder);
        return false;
    }
    if ((info.st_mode & 077) != 0 && ::chmod(path.constData(), 0700) != 0) {
        *why = QStringLiteral("the resume folder %1 is open to others").arg(folder);
        return false;
    }
    return true;
}

bool sameSubject(const QJsonObject& header, const VXResumeRecord::Subject& subject)
{
    return header.value(QStringLiteral("localPath")).toString() == subject.localPath &&
           header.value(QStringLiteral("remotePath")).toString() == subject.remotePath &&
           header.value(QStringLiteral("bucketName")).toString() == subject.bucketName &&
           VXFileIdentity::fromJson(header.value(QStringLiteral("file")).toObject()) ==
               subject.file &&
           header.value(QStringLiteral("sliceLen")).toString() ==
               QString::number(subject.sliceLen) &&
           header.value(QStringLiteral("partCount")).toInt() == subject.partCount &&
           header.value(QStringLiteral("server")).toString() == subject.server;
}

} // namespace

QString VXResumeRecord::defaultFolder()
{
    return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation))
        .filePath(QStringLiteral("vxupload/resume"));
}

void VXResumeRecord::removeOlderThan(const QString& folder, int maxAgeHours)
{
    const QDateTime oldest = QDateTime::currentDateTime().addSecs(-qint64(maxAgeHours) * 3600);
    const QFileInfoList records =
        QDir(folder).entryInfoList({QStringLiteral("*.json")}, QDir::Files | QDir::Hidden);
    for (const QFileInfo& record : records) {
        if (record.lastModified() >= oldest)
            continue;
        const QByteArray lockPath = QFile::encodeName(record.filePath() + QStringLiteral(".lock"));
        const int fd = ::open(lockPath.constData(), O_RDWR | O_CLOEXEC);
        if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd); // an upload holds it: it is not old
            continue;
        }
        QFile::remove(record.filePath());
        if (fd >= 0) {
            ::unlink(lockPath.constData());
            ::close(fd);
        }
        qCInfo(lcResumeRecord).noquote() << "VXResumeRecord:" << record.filePath()
                                         << "was older than" << maxAgeHours << "hours: removed";
    }
}

std::unique_ptr<VXResumeRecord> VXResumeRecord::take(const QString& folder, const Subject& subject,
                                                     int maxAgeHours, QString* why)
{
    if (!prepareFolder(folder, why))
        return nullptr;
    const QString path = QDir(folder).filePath(fileNameOf(subject) + QStringLiteral(".json"));
    const QByteArray lockPath = QFile::encodeName(path + QStringLiteral(".lock"));
    const int fd = ::open(lockPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        *why = QStringLiteral("cannot open %1: %2")
                   .arg(QFile::decodeName(lockPath), QString::fromLocal8Bit(strerror(errno)));
        return nullptr;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        *why = QStringLiteral("another upload of the same job holds its resume record");
        return nullptr;
    }
    std::unique_ptr<VXResumeRecord> record(new VXResumeRecord(path, subject, fd));
    QString ignored;
    if (!record->load(maxAgeHours, &ignored) && !ignored.isEmpty())
        qCInfo(lcResumeRecord).noquote() << "VXResumeRecord:" << ignored;
    return record;
}

VXResumeRecord::VXResumeRecord(const QString& path, const Subject& subject, int lockFd)
    : m_path(path), m_subject(subject), m_lockFd(lockFd)
{}

VXResumeRecord::~VXResumeRecord()
{
    if (m_lockFd >= 0)
        ::close(m_lockFd); // closing releases the lock
}

bool VXResumeRecord::load(int maxAgeHours, QString* why)
{
    const QByteArray path = QFile::encodeName(m_path);
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return false; // none yet
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::getuid() ||
        (info.st_mode & 077) != 0) {
        qCWarning(lcResumeRecord).noquote()
            << "VXResumeRecord:" << m_path
            << "is not a file of this user's alone (owner or mode): ignored, the job starts over";
        return false;
    }
    const qint64 ageMs =
        QDateTime::currentMSecsSinceEpoch() - QFileInfo(m_path).lastModified().toMSecsSinceEpoch();
    if (ageMs > qint64(maxAgeHours) * 3600 * 1000) {
        *why = QStringLiteral("%1 is older than %2 hours: removed").arg(m_path).arg(maxAgeHours);
        remove();
        return false;
    }

    QJsonParseError error;
    const QJsonDocument header = QJsonDocument::fromJson(file.readLine(), &error);
    const QJsonObject json = header.object();
    if (error.error != QJsonParseError::NoError || !header.isObject() ||
        json.value(QStringLiteral("version")).toInt() != kVersion ||
        json.value(QStringLiteral("uploadId")).toString().isEmpty()) {
        qCWarning(lcResumeRecord).noquote()
            << "VXResumeRecord:" << m_path
            << "is damaged or of another version: ignored, the job starts over";
        return false;
    }
    if (!sameSubject(json, m_subject)) {
        *why = QStringLiteral("%1 is of another file, slice length or server: the job starts over")
                   .arg(m_path);
        return false;
    }
    m_uploadId = json.value(QStringLiteral("uploadId")).toString();
    m_authorization = json.value(QStringLiteral("authorization")).toString();
    while (!file.atEnd()) {
        const QByteArray line = file.readLine();
        if (!line.endsWith('\n'))
            break; // torn by a crash while it was written
        const QJsonObject part = QJsonDocument::fromJson(line).object();
        const int number = part.value(QStringLiteral("n")).toInt();
        const QString etag = part.value(QStringLiteral("etag")).toString();
        if (number >= 1 && number <= m_subject.partCount && !etag.isEmpty())
            m_parts.insert(number, etag);
    }
    return true;
}

QByteArray VXResumeRecord::headerLine() const
{
    const QJsonObject header{{QStringLiteral("version"), kVersion},
                             {QStringLiteral("localPath"), m_subject.localPath},
                             {QStringLiteral("remotePath"), m_subject.remotePath},
                             {QStringLiteral("bucketName"), m_subject.bucketName},
                             {QStringLiteral("file"), m_subject.file.toJson()},
                             {QStringLiteral("sliceLen"), QString::number(m_subject.sliceLen)},
                             {QStringLiteral("partCount"), m_subject.partCount},
                             {QStringLiteral("server"), m_subject.server},
                             {QStringLiteral("uploadId"), m_uploadId},
                             {QStringLiteral("authorization"), m_authorization}};
    return QJsonDocument(header).toJson(QJsonDocument::Compact) + '\n';
}

bool VXResumeRecord::rewrite()
{
    QSaveFile file(m_path);
    if (!file.open(QIODevice::WriteOnly) || !file.setPermissions(kOwnerOnly)) {
        qCWarning(lcResumeRecord).noquote()
            << "VXResumeRecord: cannot write" << m_path << ":" << file.errorString();
        return false;
    }
    QByteArray content = headerLine();
    for (auto it = m_parts.cbegin(); it != m_parts.cend(); ++it) {
        content += QJsonDocument(QJsonObject{{QStringLiteral("n"), it.key()},
                                             {QStringLiteral("etag"), it.value()}})
                       .toJson(QJsonDocument::Compact) +
                   '\n';
    }
    return file.write(content) == content.size() && file.commit();
}

bool VXResumeRecord::setUpload(const QString& uploadId, const QString& authorization)
{
    if (uploadId != m_uploadId)
        m_parts.clear();
    m_uploadId = uploadId;
    m_authorization = authorization;
    return rewrite();
}

bool VXResumeRecord::addPart(int partNumber, const QString& etag)
{
    m_parts.insert(partNumber, etag);
    const QByteArray line = QJsonDocument(QJsonObject{{QStringLiteral("n"), partNumber},
                                                      {QStringLiteral("etag"), etag}})
                                .toJson(QJsonDocument::Compact) +
                            '\n';
    // One write of one short line to a file opened for appending: a crash leaves the line
    // whole or torn, never another line damaged.
    const int fd =
        ::open(QFile::encodeName(m_path).constData(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return rewrite();
    const bool written = ::write(fd, line.constData(), size_t(line.size())) == line.size();
    ::close(fd);
    return written;
}

void VXResumeRecord::remove()
{
    QFile::remove(m_path);
    m_uploadId.clear();
    m_authorization.clear();
    m_parts.clear();
}
