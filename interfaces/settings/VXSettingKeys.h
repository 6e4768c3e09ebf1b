#ifndef VXSETTINGKEYS_H
#define VXSETTINGKEYS_H

#include <QCoreApplication>
#include <QDir>
#include <QString>

// One setting of the upload plugin or its request component: its key in "fileUpload.ini" (in
// the application directory), the environment variable that overrides it, and for a number its
// range and default. Every setting is listed once, in VXSettings::All: the plugin and its
// components read them through VXSettings.h, a host that edits the file (vxupload-gui) writes
// them from here, and the README's configuration table names each of them (a test checks it).
struct VXSetting
{
    const char* group;       // INI section
    const char* key;         // key in that section
    const char* environment; // the variable that wins over the INI file, or nullptr
    qint64 minimum;          // a number's usable range and default (a switch: 0 to 1, 1 = on);
    qint64 maximum;          // all 0 for a text
    qint64 fallback;

    // The key as VXCloudUtils::getConfigFromIni takes it: "/Group/key".
    QString iniKey() const
    {
        return QLatin1Char('/') + QLatin1String(group) + QLatin1Char('/') + QLatin1String(key);
    }
};

namespace VXSettings {

// Host of the multipart requests ("http://127.0.0.1:8080"; without a scheme, https).
constexpr VXSetting CloudHost{"HostInformation", "cloudHost", nullptr, 0, 0, 0};
// Host of the upload-URL request; cloudHost when missing.
constexpr VXSetting ApiHost{"HostInformation", "apiHost", "VXUPLOAD_API_HOST", 0, 0, 0};
// Bearer token for the cloud server, never sent to the storage. A set but empty variable
// switches a configured token off.
constexpr VXSetting Token{"HostInformation", "token", "VXUPLOAD_TOKEN", 0, 0, 0};
// Slice length of multipart uploads, up to S3's largest part (5 GiB). A file that would need
// more than 10,000 parts (S3's limit) at this length is sliced at the smallest whole-MiB length
// that keeps it within 10,000.
constexpr VXSetting SliceLen{"PackageInformation", "sliceLen", nullptr, 1, 5368709120,
                             20971520};
// Parts of one multipart file sent at once.
constexpr VXSetting PartsInFlight{"PackageInformation", "partsInFlight", nullptr, 1, 16, 1};
// Jobs uploaded at once; the others wait in submission order.
constexpr VXSetting JobsInFlight{"PackageInformation", "jobsInFlight", nullptr, 1, 16, 2};
constexpr VXSetting ConnectTimeoutSec{"Network", "connectTimeoutSec",
                                      "VXUPLOAD_CONNECT_TIMEOUT_SEC", 1, 3600, 30};
// A request that moves no byte in either direction this long fails with -1028.
constexpr VXSetting StallTimeoutSec{"Network", "stallTimeoutSec", "VXUPLOAD_STALL_TIMEOUT_SEC",
                                    1, 86400, 60};
// Extra attempts of a retryable request after a transient failure, counted on the wire.
constexpr VXSetting Retries{"Network", "retries", "VXUPLOAD_RETRIES", 0, 10, 2};
// First back-off before a retry; it doubles per attempt, capped at 8 s or this value.
constexpr VXSetting RetryDelayMs{"Network", "retryDelayMs", "VXUPLOAD_RETRY_DELAY_MS", 0,
                                 600000, 500};
// Extra CA bundle (PEM) for HTTPS; certificate verification is never switched off.
constexpr VXSetting CaFile{"Network", "caFile", "VXUPLOAD_CA_FILE", 0, 0, 0};
// A switch: every PUT's body is checked against the storage's MD5 ETag where it gives one.
constexpr VXSetting VerifyIntegrity{"Network", "verifyIntegrity", "VXUPLOAD_VERIFY_INTEGRITY",
                                    0, 1, 1};

// A switch: multipart jobs keep a resume record, so that one submitted again (in this process
// or a later one) sends only the parts the storage does not hold yet.
constexpr VXSetting ResumeEnabled{"Resume", "enabled", "VXUPLOAD_RESUME", 0, 1, 1};
// Folder of the resume records; empty: "vxupload/resume" in the user's data folder.
constexpr VXSetting ResumeFolder{"Resume", "folder", "VXUPLOAD_RESUME_FOLDER", 0, 0, 0};
// Records older than this are ignored and removed (the reference server's stale-upload sweep
// removes unfinished uploads after 24 hours).
constexpr VXSetting ResumeMaxAgeHours{"Resume", "maxAgeHours", nullptr, 1, 8760, 24};

constexpr VXSetting All[] = {CloudHost,     ApiHost,           Token,           SliceLen,
                             PartsInFlight, JobsInFlight,      ConnectTimeoutSec, StallTimeoutSec,
                             Retries,       RetryDelayMs,      CaFile,          VerifyIntegrity,
                             ResumeEnabled, ResumeFolder,      ResumeMaxAgeHours};

// "fileUpload.ini" in the application directory, or the bare name (the working directory)
// when there is no application object.
inline QString iniPath()
{
    const QString name = QStringLiteral("fileUpload.ini");
    const QString appDir = QCoreApplication::applicationDirPath();
    return appDir.isEmpty() ? name : QDir(appDir).filePath(name);
}

} // namespace VXSettings

#endif // VXSETTINGKEYS_H
