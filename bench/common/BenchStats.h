#ifndef BENCHSTATS_H
#define BENCHSTATS_H

#include <sched.h>

#include <algorithm>
#include <cmath>
#include <vector>

// The value below which `fraction` (0..1) of `values` lie (nearest rank); 0 for none.
inline double benchPercentile(std::vector<double> values, double fraction)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const auto rank = size_t(std::ceil(fraction * double(values.size())));
    return values[std::min(values.size(), std::max<size_t>(rank, 1)) - 1];
}

inline double benchMedian(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// The cores this process may run on (-1 when the system does not say).
inline int benchProcessorCount()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    return sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : -1;
}

#endif // BENCHSTATS_H
