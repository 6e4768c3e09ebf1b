#ifndef BENCHCURLUPLOAD_H
#define BENCHCURLUPLOAD_H

#include <QString>
#include <QStringList>

// Where the cloud server's requests go: its base URL, bearer token and bucket.
struct BenchCloud
{
    QString url;
    QString token;
    QString bucket;
};

// An upload made with the curl program, one process per request, no process running
// while another does: its time runs from the first spawn to the last exit.
struct BenchCurlRun
{
    bool ok = false;
    QString error; // why it failed
    double wallSec = 0;
    double cpuSec = 0;     // all its processes (wait4)
    double peakRssMiB = 0; // the largest VmHWM among them
    double putWallSec = 0; // the process that sent the bytes, alone
    double putCpuSec = 0;
    int connections = 0; // new connections that process opened
    QString downloadUrl; // of the stored object, as the cloud server answered it
};

// The upload-URL request alone: the pre-signed PUT URL for `remote`, empty when the server
// refused.
QString benchCurlUploadUrl(const QString& curlProgram, const BenchCloud& cloud,
                           const QString& remote);

// The upload-URL request, then `curl -T path` to the pre-signed URL.
BenchCurlRun benchCurlPut(const QString& curlProgram, const BenchCloud& cloud, const QString& path,
                          const QString& remote);

// The multipart start request, all parts one after another in ONE process (one kept-alive
// connection), then the completion request. `partFiles` hold the file's bytes cut at the
// slice boundaries (benchCutParts).
BenchCurlRun benchCurlMultipart(const QString& curlProgram, const BenchCloud& cloud,
                                const QString& path, const QStringList& partFiles,
                                const QString& remote, const QString& bcode);

#endif // BENCHCURLUPLOAD_H
