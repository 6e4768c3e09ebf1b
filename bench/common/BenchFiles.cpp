#include "BenchFiles.h"

#include <QByteArray>
#include <QFile>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

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

bool benchDropFromPageCache(const QString& path)
{
    QFile data(path);
    if (!data.open(QIODevice::ReadOnly))
        return false;
    return fdatasync(data.handle()) == 0 &&
           posix_fadvise(data.handle(), 0, 0, POSIX_FADV_DONTNEED) == 0;
}

bool benchReadThrough(const QString& path)
{
    QFile data(path);
    if (!data.open(QIODevice::ReadOnly))
        return false;
    QByteArray chunk(4 * 1024 * 1024, Qt::Uninitialized);
    qint64 n = 0;
    while ((n = data.read(chunk.data(), chunk.size())) > 0) {
    }
    return n == 0;
}

double benchCachedFraction(const QString& path)
{
    QFile data(path);
    if (!data.open(QIODevice::ReadOnly) || data.size() == 0)
        return -1;
    const size_t length = size_t(data.size());
    void* mapped = mmap(nullptr, length, PROT_READ, MAP_SHARED, data.handle(), 0);
    if (mapped == MAP_FAILED)
        return -1;
    const long page = sysconf(_SC_PAGESIZE);
    std::vector<unsigned char> resident((length + size_t(page) - 1) / size_t(page));
    const bool ok = mincore(mapped, length, resident.data()) == 0;
    munmap(mapped, length);
    if (!ok)
        return -1;
    const auto cached = std::count_if(resident.begin(), resident.end(),
                                      [](unsigned char flags) { return flags & 1; });
    return double(cached) / double(resident.size());
}
