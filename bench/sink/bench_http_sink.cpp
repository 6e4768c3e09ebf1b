// bench_http_sink: a minimal HTTP/1.1 server for the benchmarks, in its own process so that its
// CPU time is not charged to the client under test. It listens on 127.0.0.1 (port chosen by the
// system, printed as "PORT <n>" on stdout), keeps connections alive, answers "100 Continue" when
// asked, and reads and discards every PUT body. It ends when its standard input is closed.
//
// It is also a minimal fake cloud server for the plugin's three requests:
//   POST .../api/bucket/fileuploadurl          -> uploadUrl and downloadUrl on this sink
//   POST .../coscenter/v1/bucket/initmultipart  -> an upload id and "partcount" part URLs
//                                                  http://127.0.0.1:<port>/part/<id>/<00001>
//        With the "uploadid" and "authorization" of an upload this sink knows (not completed,
//        same part count), it resumes it as the reference server does: the same upload id, a
//        fresh authorization, fresh part URLs (".../<00001>?r=<n>") and "parts", the parts it
//        holds as [{partNumber, etag, size}]. Anything else starts a new upload.
//   POST .../coscenter/v1/bucket/completemultipart
//        -> success only when every part was PUT once and "pathinfo" lists exactly the ETags
//           this sink gave them; "Location" ends in "?bytes=<sum of the part sizes>", so a
//           benchmark can check that the whole file arrived.
// Every PUT is answered with an ETag (for a part: "<id>-<part>-<bytes>"); any other request
// with 200 and the JSON body "{}".
//
// Options for a WAN-like link:
//   --rate-mib N   each connection's request bytes are read at most N MiB/s (reads are paced,
//                  so TCP flow control holds the sender back)
//   --delay-ms N   every final answer is sent N ms after its request has been read ("100
//                  Continue" is not delayed)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <time.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Answer
{
    Clock::time_point due;
    std::string bytes;
};

struct Client
{
    std::string header;      // bytes of the request header read so far
    long long bodyLeft = -1; // -1: still reading the header
    long long bodySize = 0;
    std::string method;
    std::string path;
    std::string body;           // kept for POSTs only (small JSON bodies)
    Clock::time_point nextRead; // paced reading: no read before this time
    std::deque<Answer> answers; // delayed answers, oldest first
};

struct Upload
{
    int partCount = 0;
    std::map<int, std::string> etags; // part number -> ETag given
    std::map<int, long long> sizes;   // part number -> bytes stored
    long long bytes = 0;
    int answers = 0;                  // start and resume answers given
};

struct Options
{
    double bytesPerSec = 0; // 0: no cap
    Clock::duration delay{};
};

Options g_options;
int g_port = 0;
int g_nextId = 0;
std::map<std::string, Upload> g_uploads;

bool sendAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

std::string lowerCase(std::string text)
{
    for (char& c : text)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool endsWith(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size()
        && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::string baseUrl()
{
    return "http://127.0.0.1:" + std::to_string(g_port);
}

std::string response(const std::string& body, const std::string& etag = std::string())
{
    std::string text = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n";
    if (!etag.empty())
        text += "ETag: \"" + etag + "\"\r\n";
    return text + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string json(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString();
}

QJsonObject requestObject(const Client& client)
{
    return QJsonDocument::fromJson(QByteArray::fromStdString(client.body)).object();
}

// An authorization names its upload and the answer that gave it: "<prefix><answer>".
std::string authorizationPrefix(const std::string& id)
{
    return "bench-authorization-" + id + "-";
}

std::string startMultipart(const Client& client)
{
    const QJsonObject request = requestObject(client);
    const int parts = request.value("partcount").toVariant().toString().toInt();
    if (parts < 1 || parts > 10000)
        return json({{"success", false}, {"reason", "partcount must be 1 to 10000"}});
    std::string id = request.value("uploadid").toString().toStdString();
    const std::string authorization = request.value("authorization").toString().toStdString();
    auto known = g_uploads.find(id);
    const bool resume = known != g_uploads.end() && known->second.partCount == parts
        && authorization.compare(0, authorizationPrefix(id).size(), authorizationPrefix(id)) == 0;
    if (!resume) {
        id = "bench-" + std::to_string(++g_nextId);
        known = g_uploads.emplace(id, Upload()).first;
        known->second.partCount = parts;
    }
    Upload& upload = known->second;
    ++upload.answers;
    const std::string query = resume ? "?r=" + std::to_string(upload.answers) : std::string();
    QJsonArray urls;
    char number[16];
    for (int i = 1; i <= parts; ++i) {
        // Zero-padded, so that the URLs sort in part order as text too.
        std::snprintf(number, sizeof number, "%05d", i);
        urls.append(QString::fromStdString(baseUrl() + "/part/" + id + "/" + number + query));
    }
    QJsonObject data{{"uploadid", QString::fromStdString(id)},
                     {"authorization", QString::fromStdString(authorizationPrefix(id)
                                                             + std::to_string(upload.answers))},
                     {"partUrl", urls}};
    if (resume) {
        QJsonArray held;
        for (const auto& part : upload.etags) {
            held.append(QJsonObject{{"partNumber", part.first},
                                    {"etag", QString::fromStdString(part.second)},
                                    {"size", double(upload.sizes[part.first])}});
        }
        data.insert("parts", held);
    }
    return json({{"success", true}, {"data", data}});
}

std::string completeMultipart(const Client& client)
{
    const QJsonObject request = requestObject(client);
    const std::string id = request.value("uploadid").toString().toStdString();
    const QJsonObject data{{"uploadid", QString::fromStdString(id)}};
    const auto fail = [&](const char* reason) {
        return json({{"success", false}, {"reason", reason}, {"data", data}});
    };
    const auto found = g_uploads.find(id);
    if (found == g_uploads.end())
        return fail("unknown upload id");
    const Upload upload = found->second;
    g_uploads.erase(found);
    std::string expected;
    for (int i = 1; i <= upload.partCount; ++i) {
        const auto etag = upload.etags.find(i);
        if (etag == upload.etags.end())
            return fail("a part was never uploaded");
        expected += (i > 1 ? ";" : "") + std::to_string(i) + "," + etag->second;
    }
    if (request.value("pathinfo").toString().toStdString() != expected)
        return fail("pathinfo does not list the parts' ETags");
    QJsonObject done = data;
    done.insert("Location", QString::fromStdString(baseUrl() + "/object/" + id
                                                   + "?bytes=" + std::to_string(upload.bytes)));
    return json({{"success", true}, {"data", done}});
}

// The answer to a request whose body has been read completely.
std::string answerFor(const Client& client)
{
    if (client.method == "PUT") {
        // /part/<id>/<number>
        if (client.path.compare(0, 6, "/part/") == 0) {
            const size_t slash = client.path.find('/', 6);
            const std::string id = client.path.substr(6, slash - 6);
            const int part = slash == std::string::npos ? 0 : std::atoi(&client.path[slash + 1]);
            const auto upload = g_uploads.find(id);
            if (upload != g_uploads.end() && part >= 1 && part <= upload->second.partCount) {
                const std::string etag =
                    id + "-" + std::to_string(part) + "-" + std::to_string(client.bodySize);
                upload->second.bytes += client.bodySize - upload->second.sizes[part];
                upload->second.sizes[part] = client.bodySize;
                upload->second.etags[part] = etag;
                return response(std::string(), etag);
            }
        }
        return response("{}", "bench-sink");
    }
    const std::string path = client.path.substr(0, client.path.find('?'));
    if (client.method == "POST" && endsWith(path, "/coscenter/v1/bucket/initmultipart"))
        return response(startMultipart(client));
    if (client.method == "POST" && endsWith(path, "/coscenter/v1/bucket/completemultipart"))
        return response(completeMultipart(client));
    if (client.method == "POST" && endsWith(path, "/api/bucket/fileuploadurl")) {
        const QString url = QString::fromStdString(baseUrl() + "/object/single-"
                                                   + std::to_string(++g_nextId));
        const QJsonObject data{{"uploadUrl", url}, {"downloadUrl", url}};
        return response(json({{"success", true}, {"data", data}}));
    }
    return response("{}");
}

bool answer(int fd, Client& client)
{
    std::string bytes = answerFor(client);
    client.body.clear();
    client.bodyLeft = -1;
    if (g_options.delay == Clock::duration::zero())
        return sendAll(fd, bytes.data(), bytes.size());
    client.answers.push_back({Clock::now() + g_options.delay, std::move(bytes)});
    return true;
}

// Consumes `data`; returns false when the connection must be closed.
bool feed(int fd, Client& client, const char* data, size_t size)
{
    while (size > 0) {
        if (client.bodyLeft > 0) {
            const size_t take = size_t(std::min<long long>(client.bodyLeft, (long long)size));
            if (client.method == "POST")
                client.body.append(data, take);
            client.bodyLeft -= (long long)take;
            data += take;
            size -= take;
            if (client.bodyLeft == 0 && !answer(fd, client))
                return false;
            continue;
        }
        client.header.append(data, size);
        size = 0;
        const size_t end = client.header.find("\r\n\r\n");
        if (end == std::string::npos) {
            if (client.header.size() > 65536)
                return false;
            continue;
        }
        const std::string head = lowerCase(client.header.substr(0, end));
        const std::string requestLine = client.header.substr(0, client.header.find("\r\n"));
        const std::string rest = client.header.substr(end + 4);
        client.header.clear();
        const size_t space = requestLine.find(' ');
        client.method = requestLine.substr(0, space);
        client.path = requestLine.substr(space + 1, requestLine.find(' ', space + 1) - space - 1);
        long long length = 0;
        const size_t cl = head.find("\r\ncontent-length:");
        if (cl != std::string::npos)
            length = std::atoll(head.c_str() + cl + 17);
        if (client.method == "POST" && length > (1 << 20))
            return false;
        if (head.find("\r\nexpect: 100-continue") != std::string::npos) {
            const char cont[] = "HTTP/1.1 100 Continue\r\n\r\n";
            if (!sendAll(fd, cont, sizeof cont - 1))
                return false;
        }
        client.bodySize = length;
        client.bodyLeft = length;
        if (length == 0 && !answer(fd, client))
            return false;
        if (!rest.empty() && !feed(fd, client, rest.data(), rest.size()))
            return false;
    }
    return true;
}

bool parseOptions(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (i + 1 >= argc)
            return false;
        const double value = std::atof(argv[++i]);
        if (option == "--rate-mib" && value > 0)
            g_options.bytesPerSec = value * 1024 * 1024;
        else if (option == "--delay-ms" && value >= 0)
            g_options.delay = std::chrono::microseconds(static_cast<long long>(value * 1000));
        else
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (!parseOptions(argc, argv)) {
        std::fprintf(stderr, "usage: bench_http_sink [--rate-mib N] [--delay-ms N]\n");
        return 2;
    }
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
        || listen(listener, 64) != 0
        || getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::perror("bench_http_sink");
        return 1;
    }
    g_port = ntohs(address.sin_port);
    std::printf("PORT %d\n", g_port);
    std::fflush(stdout);

    // Paced reads take small bites, so that a connection's rate is even at the scale of a few
    // milliseconds (64 KiB at 50 MiB/s is 1.25 ms).
    const bool paced = g_options.bytesPerSec > 0;
    std::vector<char> buffer(paced ? 64 * 1024 : 4 * 1024 * 1024);
    std::map<int, Client> clients;
    for (;;) {
        const Clock::time_point now = Clock::now();
        Clock::time_point wake = Clock::time_point::max();
        std::vector<pollfd> fds{{STDIN_FILENO, POLLIN, 0}, {listener, POLLIN, 0}};
        std::vector<int> dead;
        for (auto& entry : clients) {
            Client& client = entry.second;
            while (!client.answers.empty() && client.answers.front().due <= now) {
                const std::string& bytes = client.answers.front().bytes;
                const bool sent = sendAll(entry.first, bytes.data(), bytes.size());
                client.answers.pop_front();
                if (!sent) {
                    dead.push_back(entry.first);
                    client.answers.clear();
                }
            }
            if (!client.answers.empty())
                wake = std::min(wake, client.answers.front().due);
            if (client.nextRead > now)
                wake = std::min(wake, client.nextRead);
            else
                fds.push_back({entry.first, POLLIN, 0});
        }
        for (const int fd : dead) {
            close(fd);
            clients.erase(fd);
        }
        fds.erase(std::remove_if(fds.begin() + 2, fds.end(),
                                 [&](const pollfd& p) { return clients.count(p.fd) == 0; }),
                  fds.end());
        // Nanosecond sleeps: millisecond ones would round every paced read up and cut the rate.
        timespec timeout{};
        timespec* wait = nullptr;
        if (wake != Clock::time_point::max()) {
            const long long ns = std::max<long long>(
                0, std::chrono::duration_cast<std::chrono::nanoseconds>(wake - now).count());
            timeout.tv_sec = time_t(ns / 1000000000);
            timeout.tv_nsec = long(ns % 1000000000);
            wait = &timeout;
        }
        if (ppoll(fds.data(), fds.size(), wait, nullptr) < 0 && errno != EINTR)
            return 1;
        if (fds[0].revents) {
            // Closed standard input (or a line on it) ends the sink.
            return 0;
        }
        if (fds[1].revents & POLLIN) {
            const int fd = accept(listener, nullptr, nullptr);
            if (fd >= 0) {
                const int one = 1;
                setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                clients[fd] = Client();
            }
        }
        for (size_t i = 2; i < fds.size(); ++i) {
            if (!fds[i].revents)
                continue;
            const int fd = fds[i].fd;
            Client& client = clients[fd];
            const ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
            if (n > 0 && paced) {
                const auto cost = std::chrono::nanoseconds(
                    (long long)(double(n) * 1e9 / g_options.bytesPerSec));
                // A late wake-up may be made up for, but by no more than 2 ms of traffic.
                const Clock::time_point floor = Clock::now() - std::chrono::milliseconds(2);
                client.nextRead = std::max(client.nextRead, floor) + cost;
            }
            if (n <= 0 || !feed(fd, client, buffer.data(), size_t(n))) {
                close(fd);
                clients.erase(fd);
            }
        }
    }
}
