#include "CloudRecorder.h"

CloudRecorder& CloudRecorder::instance()
{
    static CloudRecorder recorder;
    return recorder;
}

void CloudRecorder::reset()
{
    calls.clear();
    components.clear();
    onCall = nullptr;
    iniValues.clear();
    libraries.clear();
}

QList<CloudCall> CloudRecorder::callsOf(const QString& op) const
{
    QList<CloudCall> result;
    for (const CloudCall& call : calls) {
        if (call.op == op)
            result.append(call);
    }
    return result;
}
