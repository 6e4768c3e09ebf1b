#include "VXRequestBody.h"

#include <QFileInfo>

#include <cstring>

void VXRequestBody::setBuffer(const QByteArray& data)
{
    m_buffer = data;
    m_size = data.size();
    m_position = 0;
}

bool VXRequestBody::openFile(const QString& path, qint64 offset, qint64 length)
{
    if (!QFileInfo(path).isFile() || offset < 0)
        return false;
    m_file.setFileName(path);
    // Unbuffered: curl's upload buffer is the only copy of the bytes on their way out.
    if (!m_file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return false;
    const qint64 fileSize = m_file.size();
    if (length < 0)
        length = fileSize - offset;
    if (length < 0 || offset + length > fileSize || !m_file.seek(offset))
        return false;
    m_fileOffset = offset;
    m_size = length;
    m_position = 0;
    return true;
}

qint64 VXRequestBody::read(char* out, qint64 max)
{
    const qint64 wanted = qMin(max, m_size - m_position);
    if (wanted <= 0)
        return 0;
    qint64 got = 0;
    if (m_file.isOpen()) {
        got = m_file.read(out, wanted);
        if (got <= 0) { // a file that fails or shrinks under us
            m_readFailed = true;
            return -1;
        }
    } else {
        std::memcpy(out, m_buffer.constData() + m_position, size_t(wanted));
        got = wanted;
    }
    m_position += got;
    if (m_hashing) {
#if QT_VERSION >= QT_VERSION_CHECK(6, 3, 0)
        // Qt 6 takes a view (no copy); its (pointer, length) form is deprecated there.
        m_hash.addData(QByteArrayView(out, qsizetype(got)));
#else
        m_hash.addData(out, int(got));
#endif
    }
    return got;
}

bool VXRequestBody::seek(qint64 offset)
{
    if (offset < 0 || offset > m_size)
        return false;
    m_hash.reset();
    m_hashUsable = offset == 0;
    if (m_file.isOpen() && !m_file.seek(m_fileOffset + offset))
        return false;
    m_position = offset;
    return true;
}

bool VXRequestBody::rewind()
{
    m_readFailed = false;
    return seek(0);
}

QByteArray VXRequestBody::md5Hex() const
{
    return m_hashing && m_hashUsable ? m_hash.result().toHex() : QByteArray();
}
