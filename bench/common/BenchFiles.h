#ifndef BENCHFILES_H
#define BENCHFILES_H

#include <QString>
#include <QStringList>

// Writes `size` bytes of a xorshift stream seeded with `seed` (nothing compresses or
// deduplicates) to `path` and syncs it, so that every reader finds it in the page cache as it
// would a real file. False when the file cannot be written.
bool benchWriteRandomFile(const QString& path, qint64 size, quint64 seed);

// Cuts the file at `path` into pieces of `sliceLen` bytes (the last one shorter), written and
// synced in `dir` as part-00001, part-00002, ...: the parts of a multipart upload as files that
// curl -T sends. Their paths in part order, or an empty list when one cannot be written.
QStringList benchCutParts(const QString& path, qint64 sliceLen, const QString& dir);

#endif // BENCHFILES_H
