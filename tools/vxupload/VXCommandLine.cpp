#include "VXCommandLine.h"

#include "VXJobTracker.h"
#include "VXPluginPath.h"
#include "VXRetryPolicy.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIODevice>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>

namespace {

const QString kLocalPath = QStringLiteral("localPath");
const QString kRemotePath = QStringLiteral("remotePath");
const QString kBucketName = QStringLiteral("bucketName");
const QString kBcode = QStringLiteral("bc_bcode");

// QTimer takes an int of milliseconds: about 24 days is the longest guard it can hold.
constexpr double kMaxTimeoutSec = 2000000.0;

const char kUsage[] = "Usage: vxupload --bucket BUCKET [--bcode CODE] [--field KEY=VALUE ...]\n"
                      "                [options] FILE[:REMOTE] ...\n"
                      "       vxupload --jobs JOBS.json|- [options]\n";

const char kDetails[] = R"(
Jobs:
  Each FILE[:REMOTE] argument makes one job object:
    {"localPath": <absolute path of FILE>, "remotePath": REMOTE, "bucketName": BUCKET,
     "bc_bcode": CODE (with --bcode), KEY: "VALUE" (each --field)}
  REMOTE defaults to the file's name. The argument is split at its LAST ':' only: what
  precedes it is FILE, what follows is REMOTE, and an empty REMOTE (a trailing ':') means the
  default. So a local file whose name holds ':' is given with a trailing ':' ("a:b.txt:") or
  with an explicit REMOTE ("a:b.txt:b.txt"); an argument starting with ':' names no file.
  A file that does not exist is still submitted: the plugin reports it as failed.

  --jobs reads a JSON array of job objects instead (no FILE arguments then). Every object
  needs non-empty strings "localPath", "remotePath" and "bucketName"; a relative "localPath"
  is taken from the current folder; "bc_bcode" enables multipart uploads of files longer than
  the slice length; any other key travels with the job to the cloud server and back.
  --bucket, --bcode and --field fill in keys that an object lacks.
  Two jobs with the same localPath|remotePath|bucketName are refused: the plugin knows a job
  by these three values only.

Output (standard output):
  terminal  one live line per job in flight (bar, percent, bytes, rate, time left) and a line
            per finished job: a check mark or a cross, name, size and time or the error.
  --plain   (also whenever standard output is not a terminal) one line per finished job,
            five fields separated by one TAB character:
              ok|failed  CODE  REMOTE  LOCALPATH  DETAIL
            DETAIL is the object's download address on success (may be empty), otherwise
            the error text of CODE.
  --json    exactly one compact JSON object per finished job, one per line:
              {"result":CODE,"job":{...the job object as the plugin reported it...}}
            without "partUrl" and "authorization" (a failed multipart job's credentials);
            any other signed URL but a success's "downloadUrl" loses its query.
  --report FILE  the same JSON lines, also written to FILE as the jobs end, whatever
            standard output shows (FILE is emptied first).
  CODE is 0 for success, -1 when the cloud server refused a request or the local file is
  missing, an HTTP status, or a negative transport or file error code. Jobs stopped by a
  signal or by --timeout get no line. Diagnostics always go to standard error.

Interrupted runs and --resubmit:
  A multipart upload (--bcode) stopped by Ctrl-C, a kill or a crash resumes when the same
  command runs again: only the parts the storage does not hold yet are sent. The plugin keeps
  a resume record per job ([Resume] folder, VXUPLOAD_RESUME_FOLDER; see README.md).
  --resubmit N submits a job that failed for a transient reason again, up to N times, after
  pauses of 2 s, 4 s, 8 s, ... up to 60 s, so that an outage of minutes costs only the parts
  in flight. Transient: the transport failures of a network or server away for a while
  (host not found, connection refused, timed out, connection broken or closed without an
  answer, an answer cut short), HTTP 5xx and 429, and -1 when a request to the cloud server
  failed. Not transient: a missing local file, the server's refusal to complete an upload,
  any other 4xx, TLS and certificate failures, a file that changed or cannot be read, and a
  checksum mismatch. -1 does not say why the server request failed: a refused token is
  tried again too. Each retry is announced on standard error:
    vxupload: retrying 'REMOTE' in 4 s after: ERROR (2 of N)
  Only the last outcome of each job is reported, and it decides the exit status.

Exit status:
  0    every job succeeded
  1    at least one job failed, or --timeout stopped the run
  2    usage error: bad arguments or jobs file, no jobs, plugin not loadable, report file
       not writable
  130  interrupted by SIGINT (Ctrl-C) or SIGTERM: every unfinished job was stopped

Plugin and configuration:
  --plugin PATH, else $VXUPLOAD_PLUGIN, else libVXFileUpload.so next to vxupload, else in the
  library folder of an installed vxupload. PATH may name the file or the folder holding it.
  The plugin reads "fileUpload.ini" next to vxupload; at least [HostInformation] cloudHost
  names the cloud server.
  fileUpload.ini keys and environment overrides: see README.md, Configuration.
)";

// FILE[:REMOTE] -> local file and remote path (see kDetails for the rule). False with a
// reason when the argument names no file or no remote path can be derived.
bool splitFileArgument(const QString& argument, QString* file, QString* remote, QString* error)
{
    const int colon = argument.lastIndexOf(QLatin1Char(':'));
    *file = colon < 0 ? argument : argument.left(colon);
    *remote = colon < 0 ? QString() : argument.mid(colon + 1);
    if (file->isEmpty()) {
        *error = QStringLiteral("'%1' names no local file").arg(argument);
        return false;
    }
    if (remote->isEmpty())
        *remote = QFileInfo(*file).fileName();
    if (remote->isEmpty()) {
        *error = QStringLiteral("'%1' gives no file name to use as the remote path; "
                                "write FILE:REMOTE")
                     .arg(argument);
        return false;
    }
    return true;
}

} // namespace

VXCommandLine::VXCommandLine()
{
    m_parser.setApplicationDescription(QStringLiteral(
        "Uploads files to cloud object storage through the upload plugin (libVXFileUpload.so),\n"
        "with progress and one report per file."));
    m_parser.addOptions({
        {{QStringLiteral("b"), QStringLiteral("bucket")},
         QStringLiteral("Bucket that every FILE goes to."),
         QStringLiteral("BUCKET")},
        {QStringLiteral("bcode"),
         QStringLiteral("Business code sent as \"bc_bcode\": files longer than the slice length "
                        "are then uploaded in parts."),
         QStringLiteral("CODE")},
        {{QStringLiteral("f"), QStringLiteral("field")},
         QStringLiteral("Extra job field sent with every job, as a string (repeatable)."),
         QStringLiteral("KEY=VALUE")},
        {{QStringLiteral("j"), QStringLiteral("jobs")},
         QStringLiteral("Read the jobs from a JSON array in FILE (\"-\": standard input)."),
         QStringLiteral("FILE")},
        {QStringLiteral("plugin"),
         QStringLiteral("The plugin file, or the folder that holds libVXFileUpload.so."),
         QStringLiteral("PATH")},
        {QStringLiteral("json"), QStringLiteral("One JSON report per job on standard output.")},
        {QStringLiteral("report"),
         QStringLiteral("Also write the JSON report of each job to FILE as it ends."),
         QStringLiteral("FILE")},
        {QStringLiteral("plain"),
         QStringLiteral("Plain report lines without progress bars, even on a terminal.")},
        {QStringLiteral("timeout"),
         QStringLiteral("Stop every job and exit 1 when the run lasts longer than SEC seconds."),
         QStringLiteral("SEC")},
        {QStringLiteral("resubmit"),
         QStringLiteral("Submit a job that failed for a transient reason again, up to N times, "
                        "after growing pauses (see below)."),
         QStringLiteral("N")},
        {{QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Show this help.")},
        {{QStringLiteral("v"), QStringLiteral("version")}, QStringLiteral("Show the version.")},
    });
    m_parser.addPositionalArgument(QStringLiteral("FILE[:REMOTE]"),
                                   QStringLiteral("A local file, and the object path it gets "
                                                  "in the bucket (default: the file's name)."),
                                   QStringLiteral("FILE[:REMOTE] ..."));
}

bool VXCommandLine::parse(const QStringList& arguments, QIODevice* standardInput)
{
    const bool parsed = m_parser.parse(arguments);
    // Help and version win over any other mistake on the same command line.
    if (m_parser.isSet(QStringLiteral("help"))) {
        m_action = Action::Help;
        return true;
    }
    if (m_parser.isSet(QStringLiteral("version"))) {
        m_action = Action::Version;
        return true;
    }
    if (!parsed)
        return fail(m_parser.errorText());

    const bool json = m_parser.isSet(QStringLiteral("json"));
    const bool plain = m_parser.isSet(QStringLiteral("plain"));
    if (json && plain)
        return fail(QStringLiteral("--json and --plain exclude each other"));
    m_outputMode = json ? OutputMode::Json : plain ? OutputMode::Plain : OutputMode::Auto;

    m_pluginOption = m_parser.value(QStringLiteral("plugin"));
    if (m_parser.isSet(QStringLiteral("plugin")) && m_pluginOption.isEmpty())
        return fail(QStringLiteral("--plugin needs a file or folder"));
    m_reportPath = m_parser.value(QStringLiteral("report"));
    if (m_parser.isSet(QStringLiteral("report")) && m_reportPath.isEmpty())
        return fail(QStringLiteral("--report needs a file"));

    if (m_parser.isSet(QStringLiteral("timeout"))) {
        const QString text = m_parser.value(QStringLiteral("timeout"));
        bool ok = false;
        const double seconds = text.toDouble(&ok);
        if (!ok || !(seconds > 0.0) || seconds > kMaxTimeoutSec)
            return fail(QStringLiteral("--timeout needs a number of seconds above 0 and up to "
                                       "%1, not '%2'")
                            .arg(kMaxTimeoutSec, 0, 'f', 0)
                            .arg(text));
        m_iTimeoutMs = qMax(1, qRound(seconds * 1000.0));
    }

    if (m_parser.isSet(QStringLiteral("resubmit"))) {
        const QString text = m_parser.value(QStringLiteral("resubmit"));
        bool ok = false;
        m_iResubmitCount = text.toInt(&ok);
        if (!ok || m_iResubmitCount < 0 || m_iResubmitCount > VXRetryPolicy::kMaxRetries)
            return fail(QStringLiteral("--resubmit needs a whole number from 0 to %1, not '%2'")
                            .arg(VXRetryPolicy::kMaxRetries)
                            .arg(text));
    }

    QJsonObject defaults;
    if (!parseFields(m_parser.values(QStringLiteral("field")), &defaults))
        return false;
    if (m_parser.isSet(QStringLiteral("bcode")))
        defaults.insert(kBcode, m_parser.value(QStringLiteral("bcode")));
    const QString bucket = m_parser.value(QStringLiteral("bucket"));
    if (m_parser.isSet(QStringLiteral("bucket")) && bucket.isEmpty())
        return fail(QStringLiteral("--bucket needs a non-empty bucket name"));
    if (!bucket.isEmpty())
        defaults.insert(kBucketName, bucket);

    const QStringList files = m_parser.positionalArguments();
    if (m_parser.isSet(QStringLiteral("jobs"))) {
        if (!files.isEmpty())
            return fail(QStringLiteral("give either --jobs or FILE arguments, not both"));
        if (!jobsFromJson(m_parser.value(QStringLiteral("jobs")), standardInput, defaults))
            return false;
    } else {
        if (files.isEmpty())
            return fail(QStringLiteral("no jobs: give FILE arguments or --jobs"));
        if (bucket.isEmpty())
            return fail(QStringLiteral("missing --bucket: the bucket the files go to"));
        if (!jobsFromFiles(files, defaults))
            return false;
    }
    if (m_jobList.isEmpty())
        return fail(QStringLiteral("no jobs: the jobs file holds an empty array"));
    return true;
}

QString VXCommandLine::helpText() const
{
    // Qt's own first line names the program by its full path; ours names it as it is typed.
    QString options = m_parser.helpText();
    options.remove(0, options.indexOf(QLatin1Char('\n')) + 1);
    return QString::fromLatin1(kUsage) + options + QString::fromUtf8(kDetails);
}

QString VXCommandLine::pluginPath() const
{
    return VXPluginPath::locate(m_pluginOption);
}

bool VXCommandLine::fail(const QString& text)
{
    m_errorText = text;
    m_jobList.clear();
    return false;
}

bool VXCommandLine::parseFields(const QStringList& values, QJsonObject* fields)
{
    for (const QString& value : values) {
        const int equals = value.indexOf(QLatin1Char('='));
        if (equals <= 0)
            return fail(QStringLiteral("bad --field '%1': expected KEY=VALUE").arg(value));
        const QString key = value.left(equals);
        if (key == kLocalPath || key == kRemotePath || key == kBucketName)
            return fail(QStringLiteral("--field cannot set \"%1\": use FILE:REMOTE, --bucket "
                                       "or --jobs")
                            .arg(key));
        fields->insert(key, value.mid(equals + 1));
    }
    return true;
}

bool VXCommandLine::jobsFromJson(const QString& path, QIODevice* standardInput,
                                 const QJsonObject& defaults)
{
    const bool fromInput = path == QLatin1String("-");
    QByteArray content;
    if (fromInput) {
        if (!standardInput || !standardInput->isReadable())
            return fail(QStringLiteral("cannot read the jobs from standard input"));
        content = standardInput->readAll();
    } else {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return fail(
                QStringLiteral("cannot read jobs file '%1': %2").arg(path, file.errorString()));
        content = file.readAll();
    }
    const QString source =
        fromInput ? QStringLiteral("standard input") : QStringLiteral("'%1'").arg(path);
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(content, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return fail(QStringLiteral("the jobs in %1 are not valid JSON: %2 at offset %3")
                        .arg(source, parseError.errorString())
                        .arg(parseError.offset));
    if (!document.isArray())
        return fail(
            QStringLiteral("the jobs in %1 must be a JSON array of job objects").arg(source));
    const QJsonArray jobArray = document.array();
    for (int i = 0; i < jobArray.size(); ++i) {
        const QString where =
            QStringLiteral("job %1 of %2").arg(i + 1).arg(fromInput ? source : path);
        if (!jobArray.at(i).isObject())
            return fail(QStringLiteral("%1 is not a JSON object").arg(where));
        QJsonObject job = jobArray.at(i).toObject();
        for (auto it = defaults.begin(); it != defaults.end(); ++it) {
            if (!job.contains(it.key()))
                job.insert(it.key(), it.value());
        }
        if (!addJob(job, where))
            return false;
    }
    return true;
}

bool VXCommandLine::jobsFromFiles(const QStringList& files, const QJsonObject& defaults)
{
    for (const QString& argument : files) {
        QString file, remote, error;
        if (!splitFileArgument(argument, &file, &remote, &error))
            return fail(error);
        QJsonObject job = defaults;
        job.insert(kLocalPath, file);
        job.insert(kRemotePath, remote);
        if (!addJob(job, QStringLiteral("'%1'").arg(argument)))
            return false;
    }
    return true;
}

bool VXCommandLine::addJob(QJsonObject job, const QString& where)
{
    for (const QString& key : {kLocalPath, kRemotePath, kBucketName}) {
        const QJsonValue value = job.value(key);
        if (!value.isString() || value.toString().isEmpty())
            return fail(QStringLiteral("%1 lacks a non-empty string \"%2\"").arg(where, key));
    }
    // The plugin checks the file's existence from its own current folder, which is ours, but
    // the reports are easier to read with the full path.
    job.insert(kLocalPath,
               QDir::cleanPath(QFileInfo(job.value(kLocalPath).toString()).absoluteFilePath()));
    const QString key = VXJobTracker::jobKey(job);
    const int earlier = m_jobKeyList.indexOf(key);
    if (earlier >= 0)
        return fail(QStringLiteral("%1 repeats job %2 (same local path, remote path and bucket)")
                        .arg(where)
                        .arg(earlier + 1));
    m_jobKeyList.append(key);
    m_jobList.append(job);
    return true;
}
