#ifndef VXCLOUDCOMMONLOG_H
#define VXCLOUDCOMMONLOG_H

#include <QLoggingCategory>

// Diagnostics of the request component ("vx.cloudcommon", warnings and above by default).
// Nothing logged at warning level may contain a token or the query string of a pre-signed URL.
Q_DECLARE_LOGGING_CATEGORY(lcCloudCommon)

#endif // VXCLOUDCOMMONLOG_H
