// Device link library and its framing, against the devctl-sim service on a private socket.
#include "DevLink.h"
#include "frame.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <condition_variable>
#include <future>
#include <thread>

#include "test_support.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using devlink::FrameResult;

std::mutex g_mu;
std::condition_variable g_cv;
std::vector<std::string> g_rsp;

void On_Response(const T_RspMsg* rsp) {
    std::lock_guard<std::mutex> lock(g_mu);
    g_rsp.push_back(rsp->data);
    g_cv.notify_all();
}

std::vector<std::string> Responses(size_t n, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(g_mu);
    g_cv.wait_for(lock, limit, [n] { return g_rsp.size() >= n; });
    return g_rsp;
}

int Send(const std::string& data) { T_ReqMsg req; req.data = data; return SendCommand(&req); }

// A stream's frames and how it ended; from a file each read fills the buffer, as from a busy peer.
std::pair<std::vector<std::string>, FrameResult> Read_All(const std::string& bytes) {
    FILE* f = tmpfile();
    fwrite(bytes.data(), 1, bytes.size(), f);
    rewind(f);
    devlink::FrameReader reader;
    std::pair<std::vector<std::string>, FrameResult> got;
    std::string payload;
    while ((got.second = reader.Next(fileno(f), payload)) == FrameResult::Ok)
        got.first.push_back(payload);
    fclose(f);
    return got;
}

class DevLinkTest : public ::testing::Test {
protected:
    void SetUp() override { setenv("DEVLINK_SOCKET", sock_.c_str(), 1); }
    void TearDown() override {
        UnInit();
        if (pid_ > 0 && kill(pid_, SIGKILL) == 0) waitpid(pid_, nullptr, 0);
    }
    TempDir tmp_;
    const std::string sock_ = tmp_.path + "/dev.sock";
    pid_t pid_ = -1;
};

}  // namespace

TEST(Frame, FramesAreWholeAcrossReadsAndCutOnesAreErrors) {
    // A length across the read buffer's edge (after 8 + 4 + 4 + buffer - 18
    // bytes), empty frames and ones larger than the buffer.
    const size_t buffer = devlink::FrameReader::kBufferBytes;
    const std::vector<std::string> texts = {
        std::string("x\0\ny", 4), "", std::string(buffer - 18, 'b'), std::string(buffer, 'c'),
        std::string(3 * buffer + 7, 'd'), "e", std::string(buffer - 8, 'f'), "g"};
    std::string stream, at_max, over_max;
    for (const std::string& text : texts) stream += devlink::encode_response(text);
    EXPECT_EQ(Read_All(stream), std::make_pair(texts, FrameResult::Closed));
    // Too long, or cut short by the peer (payload or length): an error, not an end.
    devlink::put_u32(at_max, devlink::kMaxFrame);
    devlink::put_u32(over_max, devlink::kMaxFrame + 1);
    for (const std::string& bad : {over_max + "abc", at_max + "abc", stream + std::string(2, '\0')})
        EXPECT_EQ(Read_All(bad).second, FrameResult::Error) << bad.size();
}

TEST_F(DevLinkTest, StuckServiceCostsASenderAtMostTheTimeout) {
    // A service that accepts into its backlog and never reads.
    sockaddr_un addr{AF_UNIX, {}};
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", sock_.c_str());
    const int lfd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    ASSERT_EQ(bind(lfd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) | listen(lfd, 8), 0);
    ASSERT_EQ(Init(1, On_Response), 0);
    auto sending = std::async(std::launch::async, [] {
        for (int sent = 0;; ++sent)
            if (sent == 64 || Send(std::string(256 * 1024, 'z')) != 0) return sent;
    });
    ASSERT_EQ(sending.wait_for(10s), std::future_status::ready) << "SendCommand blocks";
    EXPECT_LT(sending.get(), 64);
    // Half a frame went out: that connection is finished, the link dials anew.
    int accepted = 0;
    for (int i = 0, fd; i < 500 && accepted < 2; ++i, std::this_thread::sleep_for(10ms))
        if ((fd = accept(lfd, nullptr, nullptr)) >= 0 && close(fd) == 0) ++accepted;
    EXPECT_EQ(accepted, 2);
    close(lfd);
}

TEST_F(DevLinkTest, EchoesStayWholeAndInOrderUnderConcurrentSenders) {
    // A cross build names its emulator first: the emulated test cannot start others.
    const char* argv[] = {DEVCTL_SIM_WRAPPER, DEVCTL_SIM_PATH, "--socket", sock_.c_str(), nullptr};
    char** args = const_cast<char**>(argv[0][0] == '\0' ? argv + 1 : argv);
    ASSERT_EQ(posix_spawnp(&pid_, args[0], nullptr, nullptr, args, environ), 0);
    int tries = 0;
    while (Init(1, On_Response) != 0 && ++tries < 500) std::this_thread::sleep_for(10ms);
    ASSERT_LT(tries, 500) << "no link to the simulator within 5 s";
    // Every fourth text is larger than a socket buffer chunk, every first one than the
    // reader's buffer, and made of any bytes: unserialized senders would splice them.
    auto body = [](int t, int j) {
        std::string text = "T" + std::to_string(t) + " " + std::to_string(j) + "\n";
        for (int i = 0; i < (j == 0 ? 1 << 20 : j % 4 == 0 ? 70000 + j : 300 + j); ++i)
            text.push_back(static_cast<char>(j == 0 ? i * 7 + (i >> 8) : 'a' + t));
        return text;
    };
    std::vector<std::thread> senders;
    for (int t = 0; t < 8; ++t)
        senders.emplace_back([&, t] {
            for (int j = 0; j < 200; ++j) EXPECT_EQ(Send("echo " + body(t, j)), 0);
        });
    for (auto& th : senders) th.join();
    std::vector<int> next(8, 0);  // one sender's texts keep their order
    for (const std::string& r : Responses(1600, 30s))
        ASSERT_EQ(r, body(r[1] - '0', next[(r[1] - '0') & 7]++));
    EXPECT_EQ(next, std::vector<int>(8, 200));
    EXPECT_NE(Send(std::string(devlink::kMaxFrame, 'x')), 0) << "over the frame limit";
}
