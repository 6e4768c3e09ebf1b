// bench_small_posts: 1,000 small JSON POSTs, one after the other on one kept-alive connection,
// through VXCloudCommon::sendApiRequest and through libcurl's easy interface against the same
// local sink, side by side in one run. The verdict is the ratio ours/curl and the time per
// request: a client that left Nagle's algorithm on, or wrote header and body in two segments,
// would wait for the peer's delayed ACK (~40 ms) on every request.
#include "BenchSink.h"
#include "BenchStats.h"
#include "VXCloudCommon.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>

#include <curl/curl.h>

#include <algorithm>
#include <vector>

namespace {

const int kRequests = 1000;
const int kRounds = 3;
const QString kApi = QStringLiteral("api/bench/small");

QMap<QString, QString> benchParams()
{
    return {{"bucketName", "bench"}, {"remotePath", "dir/file.bin"}, {"localPath", "/tmp/x"}};
}

// Milliseconds for kRequests sequential requests through the request component, or -1.
double runComponent()
{
    VXCloudCommon component;
    QEventLoop loop;
    int done = 0;
    bool failed = false;
    const auto next = [&] {
        if (++done == kRequests)
            loop.quit();
        else
            component.sendApiRequest(benchParams(), kApi, QString(), 0);
    };
    QObject::connect(&component, &VXCloudCommon::sglHttpRequestFinishWithInfo, &loop, next);
    QObject::connect(
        &component, &VXCloudCommon::sglHttpRequestErrorWithInfo, &loop,
        [&](const QMap<QString, QString>&, const QString&, int code, const QString& msg) {
            QTextStream(stderr) << "request failed: " << code << " " << msg << "\n";
            failed = true;
            loop.quit();
        });
    QElapsedTimer timer;
    timer.start();
    component.sendApiRequest(benchParams(), kApi, QString(), 0);
    loop.exec();
    return failed ? -1 : timer.nsecsElapsed() / 1e6;
}

size_t discard(char*, size_t size, size_t count, void*)
{
    return size * count;
}

// The same requests with one reused curl easy handle (blocking calls, same headers and body).
double runCurlEasy(const QString& baseUrl)
{
    QJsonObject object;
    const QMap<QString, QString> params = benchParams();
    for (auto it = params.cbegin(); it != params.cend(); ++it)
        object.insert(it.key(), it.value());
    const QByteArray body = QJsonDocument(object).toJson(QJsonDocument::Compact);
    const QByteArray url = (baseUrl + QLatin1Char('/') + kApi).toUtf8();

    CURL* easy = curl_easy_init();
    curl_slist* headers = nullptr;
    headers = curl_slist_append(headers, "Content-Type: application/json");
    headers = curl_slist_append(headers, "Accept: application/json");
    headers = curl_slist_append(headers, "Expect:");
    curl_easy_setopt(easy, CURLOPT_URL, url.constData());
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.constData());
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(body.size()));
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &discard);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    QElapsedTimer timer;
    timer.start();
    bool ok = true;
    for (int i = 0; i < kRequests && ok; ++i) {
        long status = 0;
        ok = curl_easy_perform(easy) == CURLE_OK &&
             curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK && status == 200;
    }
    const double ms = timer.nsecsElapsed() / 1e6;
    curl_slist_free_all(headers);
    curl_easy_cleanup(easy);
    return ok ? ms : -1;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    curl_global_init(CURL_GLOBAL_DEFAULT);
    BenchSink sink;
    if (!sink.start())
        return 2;
    qputenv("VXUPLOAD_API_HOST", sink.baseUrl().toUtf8());
    qputenv("VXUPLOAD_TOKEN", "");

    std::vector<double> ours;
    std::vector<double> curl;
    for (int round = 1; round <= kRounds; ++round) {
        ours.push_back(runComponent());
        curl.push_back(runCurlEasy(sink.baseUrl()));
        out << QStringLiteral("round %1: VXCloudCommon %2 ms, curl easy %3 ms\n")
                   .arg(round)
                   .arg(ours.back(), 0, 'f', 1)
                   .arg(curl.back(), 0, 'f', 1);
        if (ours.back() < 0 || curl.back() < 0)
            return 1;
    }
    const double oursMs = benchMedian(ours);
    const double curlMs = benchMedian(curl);
    out << QStringLiteral("%1 sequential small POSTs on one connection (median of %2 rounds)\n")
               .arg(kRequests)
               .arg(kRounds);
    out << QStringLiteral("  VXCloudCommon: %1 ms total, %2 us per request\n")
               .arg(oursMs, 0, 'f', 1)
               .arg(oursMs * 1000 / kRequests, 0, 'f', 1);
    out << QStringLiteral("  curl easy:     %1 ms total, %2 us per request\n")
               .arg(curlMs, 0, 'f', 1)
               .arg(curlMs * 1000 / kRequests, 0, 'f', 1);
    out << QStringLiteral("  ratio ours/curl: %1 (no delayed-ACK stall: %2)\n")
               .arg(oursMs / curlMs, 0, 'f', 2)
               .arg(oursMs < 1000 ? QStringLiteral("yes, well under 40 ms per request")
                                  : QStringLiteral("NO"));
    return 0;
}
