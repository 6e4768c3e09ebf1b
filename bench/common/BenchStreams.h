#ifndef BENCHSTREAMS_H
#define BENCHSTREAMS_H

#include <QTextStream>

// The benchmarks' standard output (their figures) and standard error (their progress).
inline QTextStream& out()
{
    static QTextStream stream(stdout);
    return stream;
}

inline QTextStream& err()
{
    static QTextStream stream(stderr);
    return stream;
}

#endif // BENCHSTREAMS_H
