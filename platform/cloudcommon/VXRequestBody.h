#ifndef VXREQUESTBODY_H
#define VXREQUESTBODY_H

#include <QByteArray>
#include <QCryptographicHash>
#include <QFile>
#include <QString>

// The bytes a request sends: a shared QByteArray read in place, or a range of a plain file read
// in chunks as curl asks for them (never the whole range in memory). While it is read, the MD5 of
// the bytes handed out is kept when hashing is on, for the integrity check of the answer's ETag.
//
// Belongs to the thread that runs its request (its QFile is a QObject of that thread); nothing
// here is shared with another thread.
class VXRequestBody
{
public:
    // A body of `data`, read in place; the implicitly shared copy keeps it alive.
    void setBuffer(const QByteArray& data);
    // A body of `length` bytes of the file at `path` from byte `offset` (up to the end when
    // `length` is negative). Returns false when it is not a plain file (a FIFO or a device could
    // block), cannot be opened, or does not hold that range.
    bool openFile(const QString& path, qint64 offset, qint64 length);
    void setHashing(bool on) { m_hashing = on; }

    qint64 size() const { return m_size; }
    const QByteArray& buffer() const { return m_buffer; }

    // Copies the next bytes, at most `max`, into `out`. Returns the count (0 at the end), or -1
    // when the file fails or ends before the announced size: the request must then be aborted,
    // so that the server does not wait for bytes that will never come. Exactly size() bytes are
    // handed out even if the file grew meanwhile.
    qint64 read(char* out, qint64 max);
    // Goes back to `offset` of the body, where curl sends it again from (a reused connection
    // that turned out dead). The hash starts again; it stays usable only from offset 0.
    bool seek(qint64 offset);
    // Back to the start for another attempt, with a fresh hash.
    bool rewind();

    // A read failed or came short (see read()); cleared by rewind().
    bool readFailed() const { return m_readFailed; }
    // The MD5 of every byte handed out since the start, as lowercase hex; empty when hashing is
    // off or the body was sent again from the middle.
    QByteArray md5Hex() const;

private:
    QByteArray m_buffer;
    QFile m_file;            // the source when streaming a file
    qint64 m_fileOffset = 0; // first byte of the file that the body starts with
    qint64 m_size = 0;
    qint64 m_position = 0;   // next byte of the body to hand out
    bool m_readFailed = false;
    bool m_hashing = false;
    bool m_hashUsable = true;
    QCryptographicHash m_hash{QCryptographicHash::Md5};
};

#endif // VXREQUESTBODY_H
