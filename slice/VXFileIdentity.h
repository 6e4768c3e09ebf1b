#ifndef VXFILEIDENTITY_H
#define VXFILEIDENTITY_H

#include <QJsonObject>
#include <QString>
#include <QtGlobal>

// What tells one version of a local file from another while it is being uploaded part by part:
// size, modification time (to the nanosecond where the system keeps it), inode and device. Taken
// without opening the file, so that asking never blocks, whatever the path names.
class VXFileIdentity
{
public:
    // The identity of the file at `path` now; not valid when nothing is there.
    static VXFileIdentity of(const QString& path);

    bool isValid() const { return m_valid; }
    // A plain file: not a directory, FIFO, socket or device.
    bool isPlainFile() const { return m_plainFile; }
    qint64 size() const { return m_size; }

    // As a resume record keeps it (64-bit numbers as decimal text); fromJson() of anything else
    // is not valid.
    QJsonObject toJson() const;
    static VXFileIdentity fromJson(const QJsonObject& json);

    bool operator==(const VXFileIdentity& other) const;
    bool operator!=(const VXFileIdentity& other) const { return !(*this == other); }

private:
    bool m_valid = false;
    bool m_plainFile = false;
    qint64 m_size = 0;
    qint64 m_modifiedSec = 0;
    qint64 m_modifiedNsec = 0;
    quint64 m_inode = 0;
    quint64 m_device = 0;
};

#endif // VXFILEIDENTITY_H
