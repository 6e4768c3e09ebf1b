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

// Page cache control for cold and warm runs. Dropping asks the kernel to forget the file's clean
// pages (posix_fadvise DONTNEED); reading through loads every page. False when the file cannot
// be opened.
bool benchDropFromPageCache(const QString& path);
bool benchReadThrough(const QString& path);

// The share of the file's pages in the page cache (mincore), 0..1; -1 when it cannot be told.
double benchCachedFraction(const QString& path);

#endif // BENCHFILES_H
