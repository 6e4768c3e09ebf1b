#ifndef VXCLOUDCOMMONCONFIG_H
#define VXCLOUDCOMMONCONFIG_H

#include <QByteArray>
#include <QString>

// The settings of one request component, read once when it is created: environment variables
// first, then "fileUpload.ini" in the application directory, then built-in defaults. The keys,
// ranges and defaults are those of VXSettings.h.
class VXCloudCommonConfig
{
public:
    static VXCloudCommonConfig load();

    // Base URL of the request URL: host without trailing "/", https when no scheme is given.
    // Returns an empty string when `host` is empty.
    static QString normalizedHost(const QString& host);

    QString apiHost;      // default host for API requests (may be empty)
    QByteArray token;     // bearer token for API requests (may be empty)
    QByteArray caFile;    // extra CA bundle for HTTPS verification (may be empty)
    long connectTimeoutSec = 0;
    long stallTimeoutSec = 0;
    int retries = 0;
    int retryDelayMs = 0;
    int retryDelayCapMs = 8000;
    long uploadBufferSize = 1024 * 1024;
    bool verifyIntegrity = true; // PUT bodies checked against the storage's MD5 ETag
};

#endif // VXCLOUDCOMMONCONFIG_H
