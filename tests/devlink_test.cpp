// Device link library, its framing and the devctl-sim service it talks to.
// Every test runs its own simulator on a socket in a fresh temp directory.
#include "DevLink.h"
#include "frame.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <future>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifndef DEVCTL_SIM_PATH
#error "DEVCTL_SIM_PATH must name the devctl-sim binary"
#endif
// Emulator in front of the simulator in a cross build (empty natively): the
// emulated test cannot start another target program by itself.
#ifndef DEVCTL_SIM_WRAPPER
#define DEVCTL_SIM_WRAPPER ""
#endif

extern char** environ;

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// ---- responses seen by the library callback ----
std::mutex g_mu;
std::condition_variable g_cv;
std::vector<std::string> g_rsp;

void OnResponse(const T_RspMsg* rsp) {
    std::lock_guard<std::mutex> lock(g_mu);
    g_rsp.push_back(rsp->data);
    g_cv.notify_all();
}

bool WaitResponses(size_t n, std::chrono::milliseconds limit = 10s) {
    std::unique_lock<std::mutex> lock(g_mu);
    return g_cv.wait_for(lock, limit, [n] { return g_rsp.size() >= n; });
}

std::vector<std::string> Responses() {
    std::lock_guard<std::mutex> lock(g_mu);
    return g_rsp;
}

int Send(const std::string& data, int32_t sn = 1, int64_t conn = 2, int64_t at = 3) {
    T_ReqMsg req;
    req.data = data;
    req.sn = sn;
    req.conn_time = conn;
    req.send_time = at;
    return SendCommand(&req);
}

sockaddr_un Addr(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    return addr;
}

int ConnectRaw(const std::string& path) {
    sockaddr_un addr = Addr(path);
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
    close(fd);
    return -1;
}

// A bound socket file; listening only when backlog >= 0.
int BindAt(const std::string& path, int backlog) {
    sockaddr_un addr = Addr(path);
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    if (backlog >= 0) {
        EXPECT_EQ(listen(fd, backlog), 0);
    }
    return fd;
}

// A plain second client, to see what the service sends to others.
struct RawClient {
    int fd;
    explicit RawClient(const std::string& path) : fd(ConnectRaw(path)) {
        timeval tv = {10, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    ~RawClient() { if (fd >= 0) close(fd); }
    std::string Ask(const std::string& cmd) {
        EXPECT_TRUE(devlink::write_string(fd, devlink::encode_request(7, 0, 0, cmd)));
        return Read();
    }
    std::string Read() {
        std::string text;
        EXPECT_EQ(reader.Next(fd, text), devlink::FrameResult::Ok);
        return text;
    }
    devlink::FrameReader reader;
};

class DevLinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/devlink_test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        sock_ = dir_ + "/dev.sock";
        journal_ = dir_ + "/journal.txt";
        setenv("DEVLINK_SOCKET", sock_.c_str(), 1);
        std::lock_guard<std::mutex> lock(g_mu);
        g_rsp.clear();
    }
    void TearDown() override {
        UnInit();
        if (pid_ > 0) StopSim(SIGKILL);
        unlink(sock_.c_str());
        unlink(journal_.c_str());
        rmdir(dir_.c_str());
    }

    void StartSim() {
        std::string wrapper = DEVCTL_SIM_WRAPPER, bin = DEVCTL_SIM_PATH;
        std::vector<char*> argv;
        if (!wrapper.empty()) argv.push_back(&wrapper[0]);
        for (char* arg : {&bin[0], const_cast<char*>("--socket"), &sock_[0],
                          const_cast<char*>("--journal"), &journal_[0]})
            argv.push_back(arg);
        argv.push_back(nullptr);
        ASSERT_EQ(posix_spawnp(&pid_, argv[0], nullptr, nullptr, argv.data(), environ), 0);
        for (int i = 0; i < 500; ++i) {  // up to 5 s for the socket to accept
            int fd = ConnectRaw(sock_);
            if (fd >= 0) { close(fd); return; }
            std::this_thread::sleep_for(10ms);
        }
        FAIL() << "simulator did not come up";
    }

    // Returns the wait status, or -1 if the process would not go away.
    int StopSim(int sig) {
        kill(pid_, sig);
        int status = -1;
        for (int i = 0; i < 1000; ++i) {
            if (waitpid(pid_, &status, WNOHANG) == pid_) { pid_ = -1; return status; }
            std::this_thread::sleep_for(10ms);
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return -1;
    }

    std::string dir_, sock_, journal_;
    pid_t pid_ = -1;
};

// ---- framing ----

TEST(Frame, RequestBytesAreExactAndRoundTrip) {
    const std::string data("a\0b", 3);
    std::string f = devlink::encode_request(-2, 0x0102030405060708LL, -1, data);
    const std::string want = std::string("\x00\x00\x00\x17" "\xff\xff\xff\xfe"
                                         "\x01\x02\x03\x04\x05\x06\x07\x08", 16) +
                             std::string(8, '\xff') + data;
    EXPECT_EQ(f, want);

    devlink::Request r;
    ASSERT_TRUE(devlink::decode_request(f.substr(4), r));
    EXPECT_EQ(r.sn, -2);
    EXPECT_EQ(r.conn_time, 0x0102030405060708LL);
    EXPECT_EQ(r.send_time, -1);
    EXPECT_EQ(r.data, data);
    EXPECT_FALSE(devlink::decode_request(std::string(19, 'x'), r));
    EXPECT_EQ(devlink::encode_response(""), std::string(4, '\0'));
}

// What one reader makes of the given bytes, written by a second thread
// (socket buffers hold less than the larger cases) and then closed.
std::vector<std::pair<devlink::FrameResult, std::string>> ReadAll(const std::string& bytes,
                                                                  size_t piece) {
    int sv[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    std::thread writer([&] {
        for (size_t at = 0; at < bytes.size(); at += piece) {
            devlink::write_full(sv[1], bytes.data() + at, std::min(piece, bytes.size() - at));
            if (piece == 1) std::this_thread::sleep_for(1ms);
        }
        close(sv[1]);
    });
    devlink::FrameReader reader;
    std::vector<std::pair<devlink::FrameResult, std::string>> got;
    std::string payload = "junk";
    while (true) {
        const devlink::FrameResult r = reader.Next(sv[0], payload);
        got.emplace_back(r, r == devlink::FrameResult::Ok ? payload : "");
        if (r != devlink::FrameResult::Ok) break;
    }
    writer.join();
    close(sv[0]);
    return got;
}

TEST(Frame, ReaderHandlesBoundariesAndErrors) {
    using devlink::FrameResult;
    const size_t buffer = devlink::FrameReader::kBufferBytes;
    // Dribbled in one byte at a time: short reads must be stitched together.
    const std::string odd("x\0\ny", 4);
    auto got = ReadAll(devlink::encode_response(odd), 1);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].second, odd);
    EXPECT_EQ(got[1].first, FrameResult::Closed);

    // Frames that end on, before and after the read buffer's edge, empty
    // ones and ones larger than the buffer, in one stream and in pieces.
    const std::vector<std::string> texts = {
        "", "a", std::string(buffer - 4 - 4 - 1, 'b'), "", std::string(buffer, 'c'),
        std::string(3 * buffer + 7, 'd'), "e", std::string(buffer - 8, 'f'), "g"};
    std::string stream;
    for (const std::string& text : texts) stream += devlink::encode_response(text);
    for (size_t piece : {stream.size(), buffer / 3, size_t(4093)}) {
        got = ReadAll(stream, piece);
        ASSERT_EQ(got.size(), texts.size() + 1) << piece;
        for (size_t i = 0; i < texts.size(); i++) {
            EXPECT_EQ(got[i].first, FrameResult::Ok) << piece << " " << i;
            EXPECT_EQ(got[i].second, texts[i]) << piece << " " << i;
        }
        EXPECT_EQ(got.back().first, FrameResult::Closed) << piece;
    }

    std::string at_max, over_max;
    devlink::put_u32(at_max, devlink::kMaxFrame);
    devlink::put_u32(over_max, devlink::kMaxFrame + 1);
    EXPECT_EQ(ReadAll(over_max + "abc", 64).back().first, FrameResult::Error);
    // A frame or a length cut short by the peer is an error, not an orderly close.
    EXPECT_EQ(ReadAll(at_max + "abc", 64).back().first, FrameResult::Error);
    got = ReadAll(devlink::encode_response("whole") + at_max.substr(0, 2), 64);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].second, "whole");
    EXPECT_EQ(got[1].first, FrameResult::Error);
    EXPECT_EQ(ReadAll("", 64).back().first, FrameResult::Closed);

    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    close(sv[1]);
    // Default SIGPIPE disposition would kill the test here without MSG_NOSIGNAL.
    EXPECT_FALSE(devlink::write_string(sv[0], std::string("x")));
    close(sv[0]);
}

TEST(Frame, HasFrameOnlyWhenAWholeFrameIsBuffered) {
    // The link's reader batches frames while this says true and expects Next
    // to return them without reading: never true for a part or a bad length.
    const std::string two = devlink::encode_response("one") + devlink::encode_response("two");
    std::string over_max;
    devlink::put_u32(over_max, devlink::kMaxFrame + 1);
    // After two whole frames: part of a length, a length and part of its
    // payload, an oversized length with bytes enough behind it.
    for (const std::string& tail : {two.substr(7, 2), two.substr(7, 5), over_max + "0123456789"}) {
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        ASSERT_TRUE(devlink::write_string(sv[1], two + tail));
        devlink::FrameReader reader;
        std::string payload;
        EXPECT_FALSE(reader.HasFrame());
        ASSERT_EQ(reader.Next(sv[0], payload), devlink::FrameResult::Ok);
        EXPECT_TRUE(reader.HasFrame());
        ASSERT_EQ(reader.Next(sv[0], payload), devlink::FrameResult::Ok);
        EXPECT_EQ(payload, "two");
        EXPECT_FALSE(reader.HasFrame()) << tail.size();
        close(sv[0]);
        close(sv[1]);
    }
}

// ---- library lifecycle ----

TEST_F(DevLinkTest, InitFailsWithoutServiceAndCleanupIsSafe) {
    UnInit();  // without any Init
    EXPECT_NE(Init(1, OnResponse), 0);
    EXPECT_NE(Send("echo x"), 0);
    EXPECT_NE(SendCommand(nullptr), 0);
    UnInit();
    UnInit();

    // A socket file left behind by a dead service has nobody listening.
    close(BindAt(sock_, -1));
    EXPECT_NE(Init(1, OnResponse), 0);

    // The stale file is no obstacle for a fresh service.
    StartSim();
    ASSERT_EQ(Init(1, OnResponse), 0);
    EXPECT_NE(SendCommand(nullptr), 0);
    ASSERT_EQ(Send("echo up"), 0);
    ASSERT_TRUE(WaitResponses(1));
    EXPECT_EQ(Responses()[0], "up");
}

TEST_F(DevLinkTest, EchoIsByteExactAndOrdered) {
    StartSim();
    ASSERT_EQ(Init(1, OnResponse), 0);
    std::string binary;
    for (int i = 0; i < (1 << 20); ++i) binary.push_back(static_cast<char>(i * 7 + (i >> 8)));
    const std::vector<std::string> texts = {
        std::string("line1\nline2\ttab\\back") + '\0' + "nul\r\n", "", "", binary, " lead and trail "};
    ASSERT_EQ(Send("echo " + texts[0]), 0);
    ASSERT_EQ(Send("echo"), 0);
    ASSERT_EQ(Send("echo "), 0);
    ASSERT_EQ(Send("echo " + texts[3]), 0);
    ASSERT_EQ(Send("echo " + texts[4]), 0);
    ASSERT_TRUE(WaitResponses(texts.size()));
    EXPECT_EQ(Responses(), texts);
    EXPECT_NE(Send(std::string(devlink::kMaxFrame, 'x')), 0);  // over the frame limit
}

TEST_F(DevLinkTest, JournalColumnsAndEscaping) {
    StartSim();
    ASSERT_EQ(Init(1, OnResponse), 0);
    ASSERT_EQ(Send(std::string("echo a\\b\tc\nd\0e", 14), 30001, 1700000000123LL, -7), 0);
    ASSERT_EQ(Send("status", -1, 0, 9223372036854775807LL), 0);
    ASSERT_TRUE(WaitResponses(2));  // answered only after journaling
    std::ifstream in(journal_, std::ios::binary);
    std::stringstream got;
    got << in.rdbuf();
    EXPECT_EQ(got.str(), std::string("30001\t1700000000123\t-7\techo a\\\\b\\tc\\nd") + '\0' +
                             "e\n-1\t0\t9223372036854775807\tstatus\n");
}

TEST_F(DevLinkTest, ConcurrentSendersNeverInterleave) {
    StartSim();
    ASSERT_EQ(Init(1, OnResponse), 0);
    constexpr int kThreads = 8, kPerThread = 200;
    // Every fourth frame is too large for one socket buffer chunk, so
    // unserialized senders would splice their bytes into each other.
    auto body = [](int t, int j) {
        size_t size = j % 4 == 0 ? 70000 + j : 300 + j;
        return "T" + std::to_string(t) + " " + std::to_string(j) + "\n" +
               std::string(size, static_cast<char>('a' + t));
    };
    std::atomic<int> failures{0};
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t)
        senders.emplace_back([&, t] {
            for (int j = 0; j < kPerThread; ++j)
                if (Send("echo " + body(t, j)) != 0) ++failures;
        });
    for (auto& th : senders) th.join();
    ASSERT_EQ(failures.load(), 0);
    ASSERT_TRUE(WaitResponses(kThreads * kPerThread, 30s));
    std::vector<int> next(kThreads, 0);
    for (const std::string& r : Responses()) {
        int t = -1, j = -1;
        ASSERT_EQ(sscanf(r.c_str(), "T%d %d", &t, &j), 2) << r.substr(0, 40);
        ASSERT_TRUE(t >= 0 && t < kThreads);
        // One sender's messages keep their order on the single connection.
        ASSERT_EQ(j, next[t]) << "thread " << t;
        ASSERT_EQ(r, body(t, j));
        ++next[t];
    }
    EXPECT_EQ(Responses().size(), static_cast<size_t>(kThreads * kPerThread));
}

// ---- losing and regaining the service ----

TEST_F(DevLinkTest, ReconnectsAfterServiceRestartAndStopsCleanly) {
    StartSim();
    ASSERT_EQ(Init(1, OnResponse), 0);
    ASSERT_EQ(Send("echo one"), 0);
    ASSERT_TRUE(WaitResponses(1));
    StopSim(SIGKILL);  // leaves the socket file behind

    bool down = false;
    for (int i = 0; i < 500 && !down; ++i) {
        down = Send("echo lost") != 0;
        if (!down) std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(down);
    // Down means refused at once, not after a send timeout each.
    auto t0 = Clock::now();
    for (int i = 0; i < 20; ++i) EXPECT_NE(Send("echo lost"), 0);
    EXPECT_LT(Clock::now() - t0, 5s);

    StartSim();
    bool back = false;
    for (int i = 0; i < 100 && !back; ++i) {  // up to 10 s
        if (Send("echo again") == 0) back = WaitResponses(2, 100ms);
        else std::this_thread::sleep_for(100ms);
    }
    ASSERT_TRUE(back);
    EXPECT_EQ(Responses()[1], "again");

    // An orderly exit cleans up after itself; the link retries meanwhile.
    int status = StopSim(SIGTERM);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_NE(access(sock_.c_str(), F_OK), 0) << "socket file left behind";
    std::this_thread::sleep_for(300ms);  // reader now in its back-off wait
    auto done = std::async(std::launch::async, [] { UnInit(); });
    if (done.wait_for(10s) != std::future_status::ready) {
        ADD_FAILURE() << "UnInit hangs during reconnect back-off";
        _exit(1);  // the stuck thread cannot be recovered
    }
}

TEST_F(DevLinkTest, StuckServiceCostsASenderAtMostTheTimeout) {
    // A listener that accepts into its backlog but never reads.
    int lfd = BindAt(sock_, 8);
    ASSERT_EQ(Init(1, OnResponse), 0);
    auto sending = std::async(std::launch::async, [] {
        const std::string big(256 * 1024, 'z');
        int sent = 0;
        while (sent < 64 && Send(big) == 0) ++sent;
        return sent;
    });
    if (sending.wait_for(10s) != std::future_status::ready) {
        ADD_FAILURE() << "SendCommand blocks on a service that does not read";
        _exit(1);  // the stuck thread cannot be recovered
    }
    EXPECT_LT(sending.get(), 64);
    // Half a frame went out: that connection is finished, and the link
    // must dial a fresh one by itself.
    ASSERT_EQ(fcntl(lfd, F_SETFL, O_NONBLOCK), 0);
    std::vector<int> accepted;
    for (int i = 0; i < 500 && accepted.size() < 2; ++i) {
        int fd = accept(lfd, nullptr, nullptr);
        if (fd >= 0) accepted.push_back(fd);
        else std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(accepted.size(), 2u);
    UnInit();
    for (int fd : accepted) close(fd);
    close(lfd);
}

// ---- simulator behaviour other clients rely on ----

TEST_F(DevLinkTest, BroadcastAndBurstReachEveryClient) {
    StartSim();
    ASSERT_EQ(Init(1, OnResponse), 0);
    RawClient raw(sock_);
    ASSERT_GE(raw.fd, 0);
    EXPECT_EQ(raw.Ask("broadcast hello\nall"), "hello\nall");
    EXPECT_EQ(raw.Read(), "ok: broadcast to 2 clients");
    ASSERT_TRUE(WaitResponses(1));

    EXPECT_EQ(raw.Ask("burst 5 1000 tick tock"), "ok: burst 5 at 1000/s");
    for (int i = 1; i <= 5; ++i) EXPECT_EQ(raw.Read(), "tick tock " + std::to_string(i));
    ASSERT_TRUE(WaitResponses(6));
    std::vector<std::string> want = {"hello\nall"};
    for (int i = 1; i <= 5; ++i) want.push_back("tick tock " + std::to_string(i));
    EXPECT_EQ(Responses(), want);

    for (const char* bad : {"burst 0 10 x", "burst 1000001 1 x", "burst 5 1000001 x",
                            "burst 5 0 x", "burst 5 10", "burst -1 10 x"})
        EXPECT_EQ(raw.Ask(bad).rfind("error: ", 0), 0u) << bad;
    // The limits themselves are allowed.
    EXPECT_EQ(raw.Ask("burst 1 1000000 last"), "ok: burst 1 at 1000000/s");
    EXPECT_EQ(raw.Read(), "last 1");
    EXPECT_EQ(raw.Ask("burst 1000000 1 slow"), "ok: burst 1000000 at 1/s");
}

// A callback that is busy for longer than the service waits on a peer that
// does not read (5 s) must not cost the link: nothing is lost, order kept.
std::atomic<bool> g_hold_first{false};

void OnResponseSlowFirst(const T_RspMsg* rsp) {
    if (g_hold_first.exchange(false)) std::this_thread::sleep_for(6500ms);
    OnResponse(rsp);
}

TEST_F(DevLinkTest, SlowCallbackNeverStallsTheService) {
    StartSim();
    g_hold_first = true;
    ASSERT_EQ(Init(1, OnResponseSlowFirst), 0);
    RawClient raw(sock_);
    ASSERT_GE(raw.fd, 0);
    // About 6 MB: far more than the socket buffers hold while the callback
    // sleeps on the first message.
    const int count = 8000;
    const std::string text(800, 'p');
    EXPECT_EQ(raw.Ask("burst " + std::to_string(count) + " 100000 " + text),
              "ok: burst " + std::to_string(count) + " at 100000/s");
    std::thread drain([&raw] {  // the raw client must not stall either
        for (int i = 0; i < count; ++i) raw.Read();
    });
    ASSERT_TRUE(WaitResponses(count, 60s));
    drain.join();
    std::vector<std::string> got = Responses();
    ASSERT_EQ(got.size(), static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) ASSERT_EQ(got[i], text + " " + std::to_string(i + 1));
    // The link is the one it was: a command still round-trips.
    EXPECT_EQ(Send("echo still here"), 0);
    ASSERT_TRUE(WaitResponses(count + 1));
    EXPECT_EQ(Responses().back(), "still here");
}

TEST_F(DevLinkTest, MalformedClientIsDroppedAlone) {
    StartSim();
    ASSERT_EQ(Init(1, OnResponse), 0);
    RawClient oversize(sock_), short_header(sock_);
    std::string len;
    devlink::put_u32(len, devlink::kMaxFrame + 1);
    ASSERT_TRUE(devlink::write_string(oversize.fd, len));
    std::string tiny;
    devlink::put_u32(tiny, 3);
    ASSERT_TRUE(devlink::write_string(short_header.fd, tiny + "abc"));
    std::string payload;
    EXPECT_NE(oversize.reader.Next(oversize.fd, payload), devlink::FrameResult::Ok);
    EXPECT_NE(short_header.reader.Next(short_header.fd, payload), devlink::FrameResult::Ok);
    ASSERT_EQ(Send("echo still here"), 0);
    ASSERT_TRUE(WaitResponses(1));
    EXPECT_EQ(Responses()[0], "still here");
}

TEST(OSMutexTest, RecursiveAndExclusive) {
    OSMutex m;
    std::atomic<bool> got{false};
    auto body = std::async(std::launch::async, [&] {
        m.Lock();
        m.RecursiveLock();  // would deadlock on a plain mutex
        std::thread other([&] { m.Lock(); got = true; m.Unlock(); });
        std::this_thread::sleep_for(50ms);
        EXPECT_FALSE(got.load());
        m.RecursiveUnlock();
        std::this_thread::sleep_for(50ms);
        EXPECT_FALSE(got.load()) << "released after one of two unlocks";
        m.Unlock();
        other.join();
    });
    if (body.wait_for(10s) != std::future_status::ready) {
        ADD_FAILURE() << "second lock by the holder deadlocked";
        _exit(1);
    }
    EXPECT_TRUE(got.load());
}

}  // namespace
