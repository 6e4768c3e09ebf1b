// bench_http_sink: a minimal HTTP/1.1 server for the benchmarks, in its own process so that its
// CPU time is not charged to the client under test. It listens on 127.0.0.1 (port chosen by the
// system, printed as "PORT <n>" on stdout), keeps connections alive, answers "100 Continue" when
// asked, reads and discards every request body and answers each request with 200, an ETag and
// the two-byte JSON body "{}". It ends when its standard input is closed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

struct Client
{
    std::string header;     // bytes of the request header read so far
    long long bodyLeft = -1; // -1: still reading the header
};

const char kReply[] = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                      "ETag: \"bench-sink\"\r\nContent-Length: 2\r\n\r\n{}";

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

// Consumes `data`; returns false when the connection must be closed.
bool feed(int fd, Client& client, const char* data, size_t size)
{
    while (size > 0) {
        if (client.bodyLeft > 0) {
            const size_t take = size_t(std::min<long long>(client.bodyLeft, (long long)size));
            client.bodyLeft -= (long long)take;
            data += take;
            size -= take;
            if (client.bodyLeft == 0) {
                client.bodyLeft = -1;
                if (!sendAll(fd, kReply, sizeof kReply - 1))
                    return false;
            }
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
        const std::string rest = client.header.substr(end + 4);
        client.header.clear();
        long long length = 0;
        const size_t cl = head.find("\r\ncontent-length:");
        if (cl != std::string::npos)
            length = std::atoll(head.c_str() + cl + 17);
        if (head.find("\r\nexpect: 100-continue") != std::string::npos) {
            const char cont[] = "HTTP/1.1 100 Continue\r\n\r\n";
            if (!sendAll(fd, cont, sizeof cont - 1))
                return false;
        }
        client.bodyLeft = length;
        if (length == 0) {
            client.bodyLeft = -1;
            if (!sendAll(fd, kReply, sizeof kReply - 1))
                return false;
        }
        if (!rest.empty() && !feed(fd, client, rest.data(), rest.size()))
            return false;
    }
    return true;
}

} // namespace

int main()
{
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
    std::printf("PORT %d\n", ntohs(address.sin_port));
    std::fflush(stdout);

    std::map<int, Client> clients;
    std::vector<char> buffer(4 * 1024 * 1024);
    for (;;) {
        std::vector<pollfd> fds{{STDIN_FILENO, POLLIN, 0}, {listener, POLLIN, 0}};
        for (const auto& entry : clients)
            fds.push_back({entry.first, POLLIN, 0});
        if (poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR)
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
            const ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
            if (n <= 0 || !feed(fd, clients[fd], buffer.data(), size_t(n))) {
                close(fd);
                clients.erase(fd);
            }
        }
    }
}
