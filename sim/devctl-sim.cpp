// devctl-sim: a stand-in for the device control service, for development
// and tests. Speaks the device link framing on a Unix socket, journals every
// request and answers a few commands (see sim/README.md).
#include "frame.h"

#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr long kMaxBurstCount = 1000000;
constexpr long kMaxBurstRate = 1000000;
constexpr int kMaxBursts = 16;
// Most bytes of burst texts written to a client in one call.
constexpr size_t kBurstBatchBytes = 64 * 1024;
// A client that stops reading for this long is dropped, so one stuck
// client cannot stall bursts and broadcasts for everybody else.
constexpr int kClientSendTimeoutSec = 5;
constexpr int kNumTx = 4;
constexpr int kNumRx = 4;

std::atomic<bool> g_stop{false};

// ---- clients ---------------------------------------------------------------

class Client {
public:
    explicit Client(int fd) : fd_(fd) {}
    ~Client() { close(fd_); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    int fd() const { return fd_; }

    // Whole frames under one lock: replies and fan-out from other threads
    // must never interleave inside a frame.
    bool Send(const std::string& text) {
        if (text.size() > devlink::kMaxFrame) return false;
        return SendFrames(devlink::encode_response(text));
    }

    // Frames already encoded, written together.
    bool SendFrames(const std::string& frame) {
        std::lock_guard<std::mutex> lock(mu_);
        if (dead_) return false;
        if (devlink::write_string(fd_, frame, kClientSendTimeoutSec * 1000)) return true;
        Kill();
        return false;
    }

    // Wakes the client's reader; the fd itself closes with the last owner,
    // so no other thread can write to a reused descriptor number.
    void Drop() {
        std::lock_guard<std::mutex> lock(mu_);
        Kill();
    }

private:
    void Kill() {
        if (!dead_) {
            dead_ = true;
            shutdown(fd_, SHUT_RDWR);
        }
    }

    int fd_;
    std::mutex mu_;
    bool dead_ = false;
};

std::mutex g_clients_mu;
std::vector<std::shared_ptr<Client>> g_clients;

std::vector<std::shared_ptr<Client>> Snapshot() {
    std::lock_guard<std::mutex> lock(g_clients_mu);
    return g_clients;
}

void Unregister(const std::shared_ptr<Client>& c) {
    std::lock_guard<std::mutex> lock(g_clients_mu);
    g_clients.erase(std::remove(g_clients.begin(), g_clients.end(), c), g_clients.end());
}

size_t SendToAll(const std::string& text) {
    size_t n = 0;
    for (const auto& c : Snapshot())
        if (c->Send(text)) ++n;
    return n;
}

void SendFramesToAll(const std::string& frames) {
    for (const auto& c : Snapshot()) c->SendFrames(frames);
}

// Detached worker threads; shutdown waits for them to leave.
std::mutex g_workers_mu;
std::condition_variable g_workers_cv;
int g_workers = 0;
int g_bursts = 0;

void WorkerDone(bool burst) {
    std::lock_guard<std::mutex> lock(g_workers_mu);
    --g_workers;
    if (burst) --g_bursts;
    g_workers_cv.notify_all();
}

// ---- journal ---------------------------------------------------------------

std::mutex g_journal_mu;
FILE* g_journal = nullptr;

void Journal(const devlink::Request& req) {
    if (!g_journal) return;
    std::string line = std::to_string(req.sn) + '\t' + std::to_string(req.conn_time) + '\t' +
                       std::to_string(req.send_time) + '\t';
    line.reserve(line.size() + req.data.size() + 1);
    for (char ch : req.data) {
        switch (ch) {
            case '\\': line += "\\\\"; break;
            case '\n': line += "\\n"; break;
            case '\t': line += "\\t"; break;
            default: line.push_back(ch);
        }
    }
    line.push_back('\n');
    // Tests read the journal while we run, so every line goes out whole.
    std::lock_guard<std::mutex> lock(g_journal_mu);
    fwrite(line.data(), 1, line.size(), g_journal);
    fflush(g_journal);
}

// ---- controller model ------------------------------------------------------

std::mutex g_routes_mu;
int g_route[kNumRx] = {0, 0, 0, 0};  // per receiver: transmitter number, 0 = none

std::string Lower(std::string s) {
    for (char& ch : s) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return s;
}

std::vector<std::string> Words(const std::string& s) {
    std::vector<std::string> out;
    std::istringstream in(s);
    std::string w;
    while (in >> w) out.push_back(w);
    return out;
}

// "tx3" -> 3 for prefix "tx"; 0 when it is not a valid device name.
int DeviceNumber(const std::string& name, const char* prefix, int count) {
    std::string n = Lower(name);
    if (n.size() != 3 || n.compare(0, 2, prefix) != 0) return 0;
    int d = n[2] - '0';
    return (d >= 1 && d <= count) ? d : 0;
}

std::string Status() {
    std::lock_guard<std::mutex> lock(g_routes_mu);
    std::string out = "status:";
    for (int rx = 0; rx < kNumRx; ++rx) {
        out += " rx" + std::to_string(rx + 1) + "<-";
        out += g_route[rx] ? "tx" + std::to_string(g_route[rx]) : std::string("none");
    }
    return out;
}

std::string Route(const std::vector<std::string>& w) {
    if (w.size() != 3) return "error: usage: route TXn RXm";
    int tx = DeviceNumber(w[1], "tx", kNumTx);
    int rx = DeviceNumber(w[2], "rx", kNumRx);
    if (!tx) return "error: no such transmitter: " + w[1];
    if (!rx) return "error: no such receiver: " + w[2];
    std::lock_guard<std::mutex> lock(g_routes_mu);
    g_route[rx - 1] = tx;
    return "ok: tx" + std::to_string(tx) + " -> rx" + std::to_string(rx);
}

std::string Unroute(const std::vector<std::string>& w) {
    if (w.size() != 2) return "error: usage: unroute RXm";
    int rx = DeviceNumber(w[1], "rx", kNumRx);
    if (!rx) return "error: no such receiver: " + w[1];
    std::lock_guard<std::mutex> lock(g_routes_mu);
    g_route[rx - 1] = 0;
    return "ok: rx" + std::to_string(rx) + " unrouted";
}

bool ParseLong(const std::string& s, long& out) {
    if (s.empty() || s.size() > 9) return false;
    for (char ch : s)
        if (!std::isdigit(static_cast<unsigned char>(ch))) return false;
    out = std::stol(s);
    return true;
}

void BurstThread(long count, long rate, std::string text) {
    using clock = std::chrono::steady_clock;
    const auto start = clock::now();
    // Paced against the start time so slow sends do not lower the rate.
    auto due = [&](long i) { return start + std::chrono::microseconds((i - 1) * 1000000LL / rate); };
    std::string frames;
    for (long i = 1; i <= count && !g_stop.load();) {
        std::this_thread::sleep_until(due(i));
        // Every text due by now goes out in one write per client: one write
        // per text capped bursts near 176,000 texts a second.
        const auto now = clock::now();
        frames.clear();
        do {
            frames += devlink::encode_response(text + ' ' + std::to_string(i));
            ++i;
        } while (i <= count && due(i) <= now && frames.size() < kBurstBatchBytes);
        SendFramesToAll(frames);
    }
    WorkerDone(true);
}

std::string Burst(const std::string& args, std::function<void()>& after) {
    // Keep TEXT verbatim after the two numbers, inner spaces included.
    std::istringstream in(args);
    std::string count_s, rate_s;
    in >> count_s >> rate_s;
    std::string text;
    std::getline(in, text);
    size_t first = text.find_first_not_of(" \t");
    size_t last = text.find_last_not_of(" \t\r");
    text = first == std::string::npos ? "" : text.substr(first, last - first + 1);
    long count = 0, rate = 0;
    if (!ParseLong(count_s, count) || !ParseLong(rate_s, rate) || text.empty())
        return "error: usage: burst COUNT RATE TEXT";
    if (count < 1 || count > kMaxBurstCount)
        return "error: burst count must be 1.." + std::to_string(kMaxBurstCount);
    if (rate < 1 || rate > kMaxBurstRate)
        return "error: burst rate must be 1.." + std::to_string(kMaxBurstRate);
    {
        std::lock_guard<std::mutex> lock(g_workers_mu);
        if (g_bursts >= kMaxBursts) return "error: too many bursts running";
        ++g_bursts;
        ++g_workers;
    }
    // Started only after the reply went out, so the acknowledgement always
    // precedes the first burst message on the sender's connection.
    after = [count, rate, text] { std::thread(BurstThread, count, rate, text).detach(); };
    return "ok: burst " + std::to_string(count) + " at " + std::to_string(rate) + "/s";
}

// The argument text of a command, verbatim from its first non-blank byte.
std::string AfterFirstWord(const std::string& data) {
    const char* blanks = " \t\r\n";
    size_t at = data.find_first_not_of(blanks);
    at = data.find_first_of(blanks, at);
    at = data.find_first_not_of(blanks, at);
    return at == std::string::npos ? std::string() : data.substr(at);
}

// Every request gets exactly one reply to its sender; broadcast and burst
// additionally send to every connected client, the sender included.
std::string Answer(const std::string& data, std::function<void()>& after) {
    if (data == "echo") return "";
    if (data.compare(0, 5, "echo ") == 0) return data.substr(5);

    // Everything else is typed by people: forgive case and stray whitespace.
    std::vector<std::string> w = Words(data);
    if (w.empty()) return "error: empty command";
    std::string cmd = Lower(w[0]);
    if (cmd == "broadcast") {
        size_t n = SendToAll(AfterFirstWord(data));
        return "ok: broadcast to " + std::to_string(n) + " clients";
    }
    if (cmd == "burst") return Burst(AfterFirstWord(data), after);
    if (cmd == "help") return "commands: echo TEXT, list, route TXn RXm, unroute RXm, status, "
                              "broadcast TEXT, burst COUNT RATE TEXT, help";
    if (cmd == "list") {
        std::string out = "devices: tx:";
        for (int i = 1; i <= kNumTx; ++i) out += " tx" + std::to_string(i);
        out += "; rx:";
        for (int i = 1; i <= kNumRx; ++i) out += " rx" + std::to_string(i);
        return out;
    }
    if (cmd == "status") return Status();
    if (cmd == "route") return Route(w);
    if (cmd == "unroute") return Unroute(w);
    return "error: unknown command: " + w[0];
}

// ---- connections -----------------------------------------------------------

void ClientThread(std::shared_ptr<Client> c) {
    std::string payload;
    devlink::Request req;
    devlink::FrameReader reader;
    while (!g_stop.load()) {
        if (reader.Next(c->fd(), payload) != devlink::FrameResult::Ok) break;
        if (!devlink::decode_request(payload, req)) break;  // not our protocol
        Journal(req);
        std::function<void()> after;
        bool sent = c->Send(Answer(req.data, after));
        if (after) after();
        if (!sent) break;
    }
    c->Drop();
    Unregister(c);
    c.reset();
    WorkerDone(false);
}

int Listen(const std::string& path) {
    sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        fprintf(stderr, "devctl-sim: socket path too long: %s\n", path.c_str());
        return -1;
    }
    memcpy(addr.sun_path, path.data(), path.size());

    struct stat st;
    if (lstat(path.c_str(), &st) == 0) {
        // Only ever remove a leftover socket, never some unrelated file.
        if (!S_ISSOCK(st.st_mode)) {
            fprintf(stderr, "devctl-sim: %s exists and is not a socket\n", path.c_str());
            return -1;
        }
        unlink(path.c_str());
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0 ||
        listen(fd, 64) < 0) {
        fprintf(stderr, "devctl-sim: cannot listen on %s: %s\n", path.c_str(), strerror(errno));
        if (fd >= 0) close(fd);
        return -1;
    }
    return fd;
}

void Usage() {
    fprintf(stderr, "usage: devctl-sim --socket PATH [--journal FILE]\n");
}

}  // namespace

int main(int argc, char** argv) {
    std::string socket_path, journal_path;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if ((a == "--socket" || a == "--journal") && i + 1 < argc) {
            (a == "--socket" ? socket_path : journal_path) = argv[++i];
        } else if (a == "--help" || a == "-h") {
            Usage();
            return 0;
        } else {
            Usage();
            return 2;
        }
    }
    if (socket_path.empty()) {
        Usage();
        return 2;
    }

    signal(SIGPIPE, SIG_IGN);
    // Blocked in every thread and taken through a signalfd, so the shutdown
    // runs in ordinary code instead of a handler.
    sigset_t sigs;
    sigemptyset(&sigs);
    sigaddset(&sigs, SIGTERM);
    sigaddset(&sigs, SIGINT);
    pthread_sigmask(SIG_BLOCK, &sigs, nullptr);
    int sfd = signalfd(-1, &sigs, SFD_CLOEXEC);
    if (sfd < 0) {
        perror("devctl-sim: signalfd");
        return 1;
    }

    if (!journal_path.empty()) {
        g_journal = fopen(journal_path.c_str(), "ae");
        if (!g_journal) {
            fprintf(stderr, "devctl-sim: cannot open journal %s: %s\n", journal_path.c_str(),
                    strerror(errno));
            return 1;
        }
    }
    int lfd = Listen(socket_path);
    if (lfd < 0) return 1;

    pollfd fds[2] = {{lfd, POLLIN, 0}, {sfd, POLLIN, 0}};
    while (true) {
        int n = poll(fds, 2, -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            perror("devctl-sim: poll");
            break;
        }
        if (fds[1].revents) break;
        if (fds[0].revents & POLLIN) {
            int cfd = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
            if (cfd < 0) {
                // Out of descriptors, most likely: let clients leave first
                // instead of spinning on a listener that stays readable.
                if (errno != EINTR && errno != EAGAIN && errno != ECONNABORTED)
                    std::this_thread::sleep_for(std::chrono::milliseconds(50));
                continue;
            }
            auto c = std::make_shared<Client>(cfd);
            {
                std::lock_guard<std::mutex> lock(g_clients_mu);
                g_clients.push_back(c);
            }
            {
                std::lock_guard<std::mutex> lock(g_workers_mu);
                ++g_workers;
            }
            std::thread(ClientThread, c).detach();
        }
    }

    g_stop = true;
    close(lfd);
    unlink(socket_path.c_str());
    for (const auto& c : Snapshot()) c->Drop();
    bool idle;
    {
        // Bounded: a worker stuck in a send gives up at the send timeout.
        std::unique_lock<std::mutex> lock(g_workers_mu);
        idle = g_workers_cv.wait_for(lock, std::chrono::seconds(kClientSendTimeoutSec + 1),
                                     [] { return g_workers == 0; });
    }
    if (!idle) {
        // Tearing down globals under a live worker would crash on the way out.
        fflush(nullptr);
        _exit(0);
    }
    if (g_journal) fclose(g_journal);
    return 0;
}
