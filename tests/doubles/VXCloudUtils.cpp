// Recording double of the utility class: answers from CloudRecorder instead of the disk.
#include "VXCloudUtils.h"

#include "CloudRecorder.h"

QObject* VXCloudUtils::loadLib(QString name)
{
    return CloudRecorder::instance().libraries.value(name, nullptr);
}

QString VXCloudUtils::getConfigFromIni(const QString&, const QString& key,
                                       const QVariant& defaultValue)
{
    return CloudRecorder::instance().iniValues.value(key, defaultValue.toString());
}
