#include "BenchCurlUpload.h"

#include "BenchChild.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

namespace {

void account(BenchCurlRun& run, const BenchChildRun& child)
{
    run.cpuSec += child.cpuSec;
    run.peakRssMiB = std::max(run.peakRssMiB, child.peakRssMiB);
}

// One curl process posting a JSON object to the cloud server; its answer, or an empty object.
QJsonObject post(const QString& curlProgram, const BenchCloud& cloud, const QString& api,
                 const QJsonObject& body, BenchCurlRun& run)
{
    QStringList arguments{
        "-sS", "-H",     "Content-Type: application/json", "-H", "Accept: application/json",
        "-H",  "Expect:"};
    if (!cloud.token.isEmpty())
        arguments << "-H" << QStringLiteral("Authorization: Bearer ") + cloud.token;
    arguments << "--data-binary" << QJsonDocument(body).toJson(QJsonDocument::Compact)
              << cloud.url + '/' + api;
    const BenchChildRun child = runBenchChild(curlProgram, arguments);
    account(run, child);
    return QJsonDocument::fromJson(child.output).object();
}

QString compact(const QJsonObject& object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

} // namespace

QString benchCurlUploadUrl(const QString& curlProgram, const BenchCloud& cloud,
                           const QString& remote)
{
    BenchCurlRun run;
    const QJsonObject answer =
        post(curlProgram, cloud, "api/bucket/fileuploadurl",
             {{"bucket", cloud.bucket}, {"remotePath", remote}, {"path", remote}}, run);
    return answer.value("data").toObject().value("uploadUrl").toString();
}

BenchCurlRun benchCurlPut(const QString& curlProgram, const BenchCloud& cloud, const QString& path,
                          const QString& remote)
{
    BenchCurlRun run;
    QElapsedTimer timer;
    timer.start();
    const QJsonObject answer =
        post(curlProgram, cloud, "api/bucket/fileuploadurl",
             {{"bucket", cloud.bucket}, {"remotePath", remote}, {"path", remote}}, run);
    const QJsonObject urls = answer.value("data").toObject();
    const QString uploadUrl = urls.value("uploadUrl").toString();
    if (uploadUrl.isEmpty()) {
        run.error = QStringLiteral("the upload-URL request failed: ") + compact(answer);
        return run;
    }
    const BenchChildRun put =
        runBenchChild(curlProgram, {"-sS", "-g", "-H", "Expect:", "-T", path, "-o", "/dev/null",
                                    "-w", "%{http_code} %{num_connects}", uploadUrl});
    account(run, put);
    run.wallSec = timer.nsecsElapsed() / 1e9;
    run.putWallSec = put.wallSec;
    run.putCpuSec = put.cpuSec;
    const QStringList fields = QString::fromLatin1(put.output).split(' ');
    run.connections = fields.value(1).toInt();
    if (put.exitCode != 0 || !fields.value(0).startsWith('2')) {
        run.error = QStringLiteral("the PUT failed: exit %1, %2")
                        .arg(put.exitCode)
                        .arg(QString::fromLatin1(put.output));
        return run;
    }
    run.downloadUrl = urls.value("downloadUrl").toString();
    run.ok = true;
    return run;
}

BenchCurlRun benchCurlMultipart(const QString& curlProgram, const BenchCloud& cloud,
                                const QString& path, const QStringList& partFiles,
                                const QString& remote, const QString& bcode)
{
    BenchCurlRun run;
    QElapsedTimer timer;
    timer.start();
    const QString name = QFileInfo(remote).fileName();
    const QJsonObject start = post(curlProgram, cloud, "coscenter/v1/bucket/initmultipart",
                                   {{"bucket", cloud.bucket},
                                    {"bucketName", cloud.bucket},
                                    {"remotePath", remote},
                                    {"path", remote.left(remote.size() - name.size())},
                                    {"filename", name},
                                    {"localPath", path},
                                    {"partcount", QString::number(partFiles.size())},
                                    {"uploadMethod", "sliceUpload"},
                                    {"bc_bcode", bcode}},
                                   run);
    const QJsonObject started = start.value("data").toObject();
    const QJsonArray urls = started.value("partUrl").toArray();
    if (urls.size() != partFiles.size()) {
        run.error = QStringLiteral("the multipart start failed: ") + compact(start);
        return run;
    }

    QStringList arguments{"-sS",     "-g", "-H",
                          "Expect:", "-w", "%{http_code} %{num_connects} %header{etag}\\n"};
    for (int i = 0; i < urls.size(); ++i)
        arguments << "-T" << partFiles.at(i) << "-o"
                  << "/dev/null" << urls.at(i).toString();
    const BenchChildRun parts = runBenchChild(curlProgram, arguments);
    account(run, parts);
    run.putWallSec = parts.wallSec;
    run.putCpuSec = parts.cpuSec;
    const QStringList lines = QString::fromLatin1(parts.output).split('\n', Qt::SkipEmptyParts);
    QStringList pathinfo;
    for (int i = 0; i < lines.size(); ++i) {
        const QStringList fields = lines.at(i).split(' ');
        if (fields.size() < 3 || !fields.at(0).startsWith('2'))
            break;
        run.connections += fields.at(1).toInt();
        pathinfo << QStringLiteral("%1,%2").arg(i + 1).arg(fields.at(2).trimmed().remove('"'));
    }
    if (parts.exitCode != 0 || pathinfo.size() != partFiles.size()) {
        run.error = QStringLiteral("a part failed (exit %1): %2")
                        .arg(parts.exitCode)
                        .arg(QString::fromLatin1(parts.output));
        return run;
    }

    const QJsonObject done = post(curlProgram, cloud, "coscenter/v1/bucket/completemultipart",
                                  {{"uploadid", started.value("uploadid")},
                                   {"authorization", started.value("authorization")},
                                   {"bucket", cloud.bucket},
                                   {"bucketName", cloud.bucket},
                                   {"remotePath", remote},
                                   {"pathinfo", pathinfo.join(';')}},
                                  run);
    run.wallSec = timer.nsecsElapsed() / 1e9;
    run.downloadUrl = done.value("data").toObject().value("Location").toString();
    if (done.value("success") != QJsonValue(true)) {
        run.error = QStringLiteral("the completion failed: ") + compact(done);
        return run;
    }
    run.ok = true;
    return run;
}
