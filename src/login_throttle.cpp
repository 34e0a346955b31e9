#include "login_throttle.h"

#include <stdint.h>

#include <chrono>
#include <map>
#include <mutex>
#include <thread>

#include "log.h"
#include "webserver.h"

namespace {

// Once a login from an address has failed, its later attempts are checked
// one per kLoginSpacingMs: a password guesser gets 5 tries a second, while
// an operator who mistyped only waits a moment, and is never refused. The
// episode ends kLoginEpisodeMs after the address's last failure.
const int64_t kLoginSpacingMs = 200;
const int64_t kLoginEpisodeMs = 10000;
// Addresses remembered at once; beyond this the oldest episode is forgotten.
const size_t kLoginThrottleEntries = 1024;

struct login_episode {
    int64_t last_failure;
    int64_t next_slot;  // when the next attempt may be checked
    bool warned;
};

std::mutex g_login_throttle_mutex;
std::map<std::string, login_episode> g_login_episodes;

// Caller holds g_login_throttle_mutex.
void Forget_Ended_Episodes(int64_t now) {
    for (auto it = g_login_episodes.begin(); it != g_login_episodes.end();) {
        if (now - it->second.last_failure >= kLoginEpisodeMs) {
            it = g_login_episodes.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace

void Wait_Login_Turn(const std::string& address) {
    int64_t wait_ms = 0;
    bool warn = false;
    {
        std::lock_guard<std::mutex> lock(g_login_throttle_mutex);
        const int64_t now = get_time_ms();
        Forget_Ended_Episodes(now);
        auto it = g_login_episodes.find(address);
        if (it == g_login_episodes.end()) return;
        login_episode& episode = it->second;
        const int64_t slot = episode.next_slot > now ? episode.next_slot : now;
        episode.next_slot = slot + kLoginSpacingMs;
        wait_ms = slot - now;
        warn = wait_ms > 0 && !episode.warned;
        if (warn) episode.warned = true;
    }
    if (warn) {
        LOG_WARN("login attempts from %s slowed to one per %lld ms after a failed login",
                 address.c_str(), static_cast<long long>(kLoginSpacingMs));
    }
    if (wait_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(wait_ms));
}

void Note_Login_Failure(const std::string& address) {
    std::lock_guard<std::mutex> lock(g_login_throttle_mutex);
    const int64_t now = get_time_ms();
    auto it = g_login_episodes.find(address);
    if (it == g_login_episodes.end()) {
        if (g_login_episodes.size() >= kLoginThrottleEntries) Forget_Ended_Episodes(now);
        if (g_login_episodes.size() >= kLoginThrottleEntries) {
            auto oldest = g_login_episodes.begin();
            for (auto e = g_login_episodes.begin(); e != g_login_episodes.end(); ++e) {
                if (e->second.last_failure < oldest->second.last_failure) oldest = e;
            }
            g_login_episodes.erase(oldest);
        }
        it = g_login_episodes.emplace(address, login_episode{now, now, false}).first;
    }
    it->second.last_failure = now;
}