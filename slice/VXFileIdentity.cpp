#include "VXFileIdentity.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#if defined(Q_OS_UNIX)
#include <sys/stat.h>
#endif

VXFileIdentity VXFileIdentity::of(const QString& path)
{
    VXFileIdentity identity;
#if defined(Q_OS_UNIX)
    struct stat info;
    if (path.isEmpty() || ::stat(QFile::encodeName(path).constData(), &info) != 0)
        return identity;
    identity.m_valid = true;
    identity.m_plainFile = S_ISREG(info.st_mode);
    identity.m_size = qint64(info.st_size);
#if defined(Q_OS_MACOS)
    identity.m_modifiedSec = qint64(info.st_mtimespec.tv_sec);
    identity.m_modifiedNsec = qint64(info.st_mtimespec.tv_nsec);
#else
    identity.m_modifiedSec = qint64(info.st_mtim.tv_sec);
    identity.m_modifiedNsec = qint64(info.st_mtim.tv_nsec);
#endif
    identity.m_inode = quint64(info.st_ino);
    identity.m_device = quint64(info.st_dev);
#else
    // Elsewhere Qt's view of the file, without inode and device: size and time still tell a
    // rewritten file apart.
    const QFileInfo info(path);
    if (path.isEmpty() || !info.exists())
        return identity;
    identity.m_valid = true;
    identity.m_plainFile = info.isFile();
    identity.m_size = info.size();
    identity.m_modifiedSec = info.lastModified().toMSecsSinceEpoch();
#endif
    return identity;
}

bool VXFileIdentity::operator==(const VXFileIdentity& other) const
{
    return m_valid == other.m_valid && m_plainFile == other.m_plainFile && m_size == other.m_size &&
           m_modifiedSec == other.m_modifiedSec && m_modifiedNsec == other.m_modifiedNsec &&
           m_inode == other.m_inode && m_device == other.m_device;
}

QJsonObject VXFileIdentity::toJson() const
{
    return {{QStringLiteral("size"), QString::number(m_size)},
            {QStringLiteral("mtimeSec"), QString::number(m_modifiedSec)},
            {QStringLiteral("mtimeNsec"), QString::number(m_modifiedNsec)},
            {QStringLiteral("inode"), QString::number(m_inode)},
            {QStringLiteral("device"), QString::number(m_device)}};
}

VXFileIdentity VXFileIdentity::fromJson(const QJsonObject& json)
{
    VXFileIdentity identity;
    bool ok[5] = {};
    identity.m_size = json.value(QStringLiteral("size")).toString().toLongLong(&ok[0]);
    identity.m_modifiedSec = json.value(QStringLiteral("mtimeSec")).toString().toLongLong(&ok[1]);
    identity.m_modifiedNsec = json.value(QStringLiteral("mtimeNsec")).toString().toLongLong(&ok[2]);
    identity.m_inode = json.value(QStringLiteral("inode")).toString().toULongLong(&ok[3]);
    identity.m_device = json.value(QStringLiteral("device")).toString().toULongLong(&ok[4]);
    identity.m_valid = ok[0] && ok[1] && ok[2] && ok[3] && ok[4];
    identity.m_plainFile = identity.m_valid;
    return identity;
}
