// Load generator of the relay benchmark: N WebSocket clients log in, then
// texts are fed into the control-service simulator over a device-link
// connection of our own, and every client times what the relay delivers.
//
//   ktbench-relay PORT SOCKET CLIENTS USER PASSWORD MODE [ARGS]
//     latency RATE COUNT   "broadcast <ns>" at RATE/s; p50/p99 of arrival - ns
//     rate R1,R2,.. SECS   "burst R*SECS R b<R>" per rate, ascending, until one
//                          is not delivered whole to every client in time
//     hold SECS            log in and keep the clients open (memory figures)
// Prints one line of key=value pairs. Everything talks to 127.0.0.1 only and
// every phase has a deadline.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "frame.h"

namespace {

int64_t now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

struct Client {
    int fd = -1;
    std::string in;
    bool asked_upgrade = false;
    bool upgraded = false;
    bool logged_in = false;
    long received = 0;  // texts of the current phase
};

std::vector<Client> clients;
int link_fd = -1;
int ep = -1;
std::vector<int64_t> latencies;
std::string burst_tag;
std::string upgrade_request;

void die(const char* what) {
    perror(what);
    exit(1);
}

void send_all(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += size_t(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            usleep(100);
        } else {
            return;
        }
    }
}

// Client frames are masked; a zero key leaves the payload as it is.
std::string text_frame(const std::string& text) {
    std::string f;
    f += char(0x81);
    if (text.size() < 126) {
        f += char(0x80 | text.size());
    } else {
        f += char(0x80 | 126);
        f += char((text.size() >> 8) & 0xff);
        f += char(text.size() & 0xff);
    }
    f.append(4, '\0');
    return f + text;
}

void on_text(Client& c, const char* p, size_t n) {
    if (!c.logged_in) {
        if (n == 54 && memcmp(p, "{\"type\":\"result\"", 16) == 0) c.logged_in = true;
        return;
    }
    static const char kCmd[] = "\"command\":\"";
    const char* at = static_cast<const char*>(memmem(p, n, kCmd, sizeof(kCmd) - 1));
    if (at == nullptr) return;
    at += sizeof(kCmd) - 1;
    const char* end = p + n;
    if (!burst_tag.empty()) {
        if (size_t(end - at) > burst_tag.size() &&
            memcmp(at, burst_tag.data(), burst_tag.size()) == 0)
            c.received++;
        return;
    }
    if (at < end && *at >= '0' && *at <= '9') {
        int64_t sent = strtoll(at, nullptr, 10);
        latencies.push_back(now_ns() - sent);
        c.received++;
    }
}

void on_readable(Client& c) {
    char buf[65536];
    for (;;) {
        ssize_t n = recv(c.fd, buf, sizeof(buf), 0);
        if (n <= 0) break;
        c.in.append(buf, size_t(n));
    }
    size_t pos = 0;
    if (!c.upgraded) {
        size_t end = c.in.find("\r\n\r\n");
        if (end == std::string::npos) return;
        if (c.in.compare(0, 12, "HTTP/1.1 101") != 0) {
            c.in.clear();
            return;
        }
        c.upgraded = true;
        pos = end + 4;
    }
    for (;;) {
        const unsigned char* h = reinterpret_cast<const unsigned char*>(c.in.data() + pos);
        size_t avail = c.in.size() - pos;
        if (avail < 2) break;
        size_t len = h[1] & 0x7f, head = 2;
        if (len == 126) {
            if (avail < 4) break;
            len = (size_t(h[2]) << 8) | h[3];
            head = 4;
        } else if (len == 127) {
            if (avail < 10) break;
            len = size_t(devlink::get_u64(h + 2));
            head = 10;
        }
        if (avail < head + len) break;
        if ((h[0] & 0x0f) == 1) on_text(c, c.in.data() + pos + head, len);
        pos += head + len;
    }
    c.in.erase(0, pos);
}

void drain_link() {
    char buf[65536];
    while (recv(link_fd, buf, sizeof(buf), MSG_DONTWAIT) > 0) {
    }
}

// Serves the sockets until deadline_ns or until done() holds.
template <typename Done>
void pump(int64_t deadline_ns, Done done, int max_wait_ms = 50) {
    epoll_event events[256];
    while (!done()) {
        int64_t left = deadline_ns - now_ns();
        if (left <= 0) return;
        int wait = int(std::min<int64_t>(left / 1000000 + 1, max_wait_ms));
        int n = epoll_wait(ep, events, 256, wait);
        for (int i = 0; i < n; i++) {
            if (events[i].data.u64 == ~uint64_t(0)) {
                drain_link();
            } else {
                Client& c = clients[events[i].data.u64];
                if ((events[i].events & EPOLLOUT) && !c.asked_upgrade) {
                    c.asked_upgrade = true;
                    send_all(c.fd, upgrade_request);
                    epoll_event ev = {EPOLLIN, {}};
                    ev.data.u64 = events[i].data.u64;
                    epoll_ctl(ep, EPOLL_CTL_MOD, c.fd, &ev);
                }
                if (events[i].events & EPOLLIN) on_readable(c);
            }
        }
    }
}

void link_send(const std::string& text) { send_all(link_fd, devlink::encode_request(1, 0, 0, text)); }

size_t held() {
    return size_t(std::count_if(clients.begin(), clients.end(),
                                [](const Client& c) { return c.logged_in; }));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 8) {
        fprintf(stderr, "usage: %s PORT SOCKET CLIENTS USER PASSWORD latency|rate|hold ARGS\n",
                argv[0]);
        return 2;
    }
    const int port = atoi(argv[1]);
    const char* sock_path = argv[2];
    const int count = atoi(argv[3]);
    const std::string login = std::string("{\"type\":\"login\",\"command\":\"") + argv[4] + " " +
                              argv[5] + "\"}";
    const std::string mode = argv[6];

    ep = epoll_create1(0);
    link_fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un ua = {};
    ua.sun_family = AF_UNIX;
    snprintf(ua.sun_path, sizeof(ua.sun_path), "%s", sock_path);
    if (connect(link_fd, reinterpret_cast<sockaddr*>(&ua), sizeof(ua)) != 0) die("device link");
    fcntl(link_fd, F_SETFL, O_NONBLOCK);
    epoll_event lev = {EPOLLIN, {}};
    lev.data.u64 = ~uint64_t(0);
    epoll_ctl(ep, EPOLL_CTL_ADD, link_fd, &lev);

    // Connect and ask for the upgrade, all clients at once.
    clients.resize(size_t(count));
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(uint16_t(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const std::string upgrade = "GET /websocket HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                                "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                                "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                                "Sec-WebSocket-Version: 13\r\n\r\n";
    for (size_t i = 0; i < clients.size(); i++) {
        // Non-blocking: beyond what the server accepts, a connect would wait
        // in the listen queue.
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0 && errno != EINPROGRESS)
            die("connect");
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        clients[i].fd = fd;
        epoll_event ev = {EPOLLIN | EPOLLOUT, {}};
        ev.data.u64 = i;
        epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
    }
    upgrade_request = upgrade;
    // Log in whoever got the upgrade; clients left waiting for a worker stay
    // connected and are reported as not held.
    std::vector<bool> asked(clients.size(), false);
    const int64_t login_deadline = now_ns() + 8000000000LL;
    int64_t quiet_since = now_ns();
    size_t last_held = 0;
    pump(login_deadline, [&] {
        for (size_t i = 0; i < clients.size(); i++) {
            if (clients[i].upgraded && !asked[i]) {
                asked[i] = true;
                send_all(clients[i].fd, text_frame(login));
            }
        }
        size_t h = held();
        if (h != last_held) {
            last_held = h;
            quiet_since = now_ns();
        }
        // All in, or nobody new for 2 s: the rest wait for a worker.
        return h == clients.size() || (h > 0 && now_ns() - quiet_since > 2000000000LL);
    });
    const size_t n_held = held();
    printf("clients=%d held=%zu", count, n_held);
    if (n_held == 0) {
        printf("\n");
        return 1;
    }
    for (Client& c : clients) c.received = 0;

    if (mode == "hold") {
        const int secs = argc > 7 ? atoi(argv[7]) : 5;
        printf(" ready\n");
        fflush(stdout);
        pump(now_ns() + int64_t(secs) * 1000000000LL, [] { return false; });
        return 0;
    }
    if (mode == "latency") {
        const long rate = argc > 7 ? atol(argv[7]) : 1000;
        const long texts = argc > 8 ? atol(argv[8]) : 3000;
        latencies.reserve(size_t(texts) * n_held);
        const int64_t start = now_ns();
        const int64_t step = 1000000000LL / rate;
        long sent = 0;
        const int64_t end = start + texts * step + 3000000000LL;
        auto all_in = [&] {
            for (const Client& c : clients)
                if (c.logged_in && c.received < texts) return false;
            return true;
        };
        while (now_ns() < end && !(sent == texts && all_in())) {
            int64_t t = now_ns();
            while (sent < texts && t >= start + sent * step) {
                link_send("broadcast " + std::to_string(now_ns()));
                sent++;
            }
            int64_t next = sent < texts ? start + sent * step : end;
            pump(std::min(next, end), [&] { return sent == texts && all_in(); }, 1);
            if (sent == texts && all_in()) break;
        }
        long lost = 0;
        for (const Client& c : clients)
            if (c.logged_in) lost += texts - c.received;
        std::sort(latencies.begin(), latencies.end());
        auto pct = [&](double q) {
            if (latencies.empty()) return 0.0;
            size_t k = std::min(latencies.size() - 1, size_t(q * double(latencies.size())));
            return double(latencies[k]) / 1000.0;
        };
        printf(" rate=%ld texts=%ld lost=%ld p50_us=%.1f p99_us=%.1f\n", rate, texts, lost,
               pct(0.50), pct(0.99));
        return 0;
    }
    if (mode == "rate") {
        std::string list = argc > 7 ? argv[7] : "1000,2000,5000,10000,20000,50000,100000";
        const double secs = argc > 8 ? atof(argv[8]) : 2.0;
        long best = 0;
        char* save = nullptr;
        for (char* tok = strtok_r(&list[0], ",", &save); tok; tok = strtok_r(nullptr, ",", &save)) {
            const long rate = atol(tok);
            const long texts = std::max(1L, long(rate * secs));
            for (Client& c : clients) c.received = 0;
            burst_tag = "b" + std::to_string(rate) + " ";
            const int64_t start = now_ns();
            link_send("burst " + std::to_string(texts) + " " + std::to_string(rate) + " b" +
                      std::to_string(rate));
            // Held: every client has every text by the burst's own length
            // plus half a second.
            const int64_t due = start + int64_t(secs * 1e9) + 500000000LL;
            pump(due, [&] {
                for (const Client& c : clients)
                    if (c.logged_in && c.received < texts) return false;
                return true;
            });
            long got_min = texts;
            for (const Client& c : clients)
                if (c.logged_in) got_min = std::min(got_min, c.received);
            printf(" r%ld=%ld/%ld", rate, got_min, texts);
            fflush(stdout);
            if (got_min < texts) break;
            best = rate;
            // Let the relay settle before the next, faster burst.
            pump(now_ns() + 300000000LL, [] { return false; });
        }
        printf(" max_rate=%ld\n", best);
        return 0;
    }
    fprintf(stderr, "unknown mode %s\n", mode.c_str());
    return 2;
}
