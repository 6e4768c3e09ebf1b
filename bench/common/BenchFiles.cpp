#include "BenchFiles.h"

#include <QByteArray>
#include <QFile>

#include <unistd.h>

#include <algorithm>

namespace {

bool syncAndClose(QFile& file)
{
    const bool ok = file.flush() && fsync(file.handle()) == 0;
    file.close();
    return ok;
}

} // namespace

bool benchWriteRandomFile(const QString& path, qint64 size, quint64 seed)
{
    QFile data(path);
    if (!data.open(QIODevice::WriteOnly))
        return false;
    QByteArray chunk(4 * 1024 * 1024, Qt::Uninitialized);
    quint64 state = 0x9E3779B97F4A7C15ull ^ seed;
    for (qint64 written = 0; written < size;) {
        auto* words = reinterpret_cast<quint64*>(chunk.data());
        for (int i = 0; i < chunk.size() / 8; ++i) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            words[i] = state;
        }
        const qint64 take = std::min<qint64>(chunk.size(), size - written);
        if (data.write(chunk.constData(), take) != take)
            return false;
        written += take;
    }
    return syncAndClose(data);
}

QStringList benchCutParts(const QString& path, qint64 sliceLen, const QString& dir)
{
    QFile data(path);
    if (!data.open(QIODevice::ReadOnly))
        return {};
    QStringList parts;
    while (!data.atEnd()) {
        const QString partPath =
            QStringLiteral("%1/part-%2").arg(dir).arg(parts.size() + 1, 5, 10, QChar('0'));
        QFile part(partPath);
        const QByteArray bytes = data.read(sliceLen);
        if (bytes.isEmpty() || !part.open(QIODevice::WriteOnly) ||
            part.write(bytes) != bytes.size() || !syncAndClose(part))
            return {};
        parts.append(partPath);
    }
    return parts;
}
