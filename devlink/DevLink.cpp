// Device link: one Unix stream connection to the control service, a reader
// thread that keeps the connection alive and queues every message, a
// dispatcher thread that hands them to the server's callback in order, and a
// serialized send path used by many server threads.
#include "DevLink.h"

#include "frame.h"

#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr std::chrono::milliseconds kFirstBackoff(50);
constexpr std::chrono::milliseconds kMaxBackoff(1000);
// A service that stops reading must not hold a server worker for long.
// Sends carry this as a whole-frame deadline; the socket option bounds
// connect to a service whose backlog is full.
constexpr int kSendTimeoutMs = 1000;
// Messages read but not yet handed to the callback. The reader drains the
// socket into this queue at once, so a callback that is slow for a while (a
// broadcast to many clients) never stalls the service; only when this much
// is waiting does the reader stop reading.
constexpr size_t kMaxQueuedBytes = 64u << 20;
// Frames handed to the queue under one lock at most.
constexpr size_t kMaxBatch = 256;

std::string SocketPath() {
    const char* explicit_path = getenv("DEVLINK_SOCKET");
    if (explicit_path && *explicit_path) return explicit_path;
    const char* root = getenv("DEVICE_ROOT");
    std::string path = root ? root : "";
    return path + "/run/devlink.sock";
}

// Returns a connected socket or -1. The send timeout is set before connect
// because on Unix sockets it also bounds a connect to a full backlog.
int ConnectTo(const std::string& path) {
    sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path) return -1;
    memcpy(addr.sun_path, path.data(), path.size());

    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    timeval tv;
    tv.tv_sec = kSendTimeoutMs / 1000;
    tv.tv_usec = (kSendTimeoutMs % 1000) * 1000;
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    int rc;
    do {
        rc = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

class Link {
public:
    int Open(DevLinkCallback cb) {
        std::lock_guard<std::mutex> life(life_mu_);
        // Re-opening an open link starts over rather than leaking a reader.
        StopLocked();
        // Read once: the reader keeps dialling this path, whatever the
        // environment says later.
        std::string path = SocketPath();
        int fd = ConnectTo(path);
        if (fd < 0) return -1;
        {
            std::lock_guard<std::mutex> w(write_mu_);
            fd_ = fd;
        }
        {
            std::lock_guard<std::mutex> s(state_mu_);
            stop_ = false;
        }
        {
            std::lock_guard<std::mutex> q(queue_mu_);
            stopping_ = false;
        }
        cb_ = cb;
        path_ = path;
        reader_ = std::thread(&Link::ReaderLoop, this, fd);
        dispatcher_ = std::thread(&Link::DispatchLoop, this);
        return 0;
    }

    void Close() {
        std::lock_guard<std::mutex> life(life_mu_);
        StopLocked();
    }

    int Send(const T_ReqMsg& req) {
        if (req.data.size() > devlink::kMaxRequestData) return -1;
        // Encode outside the lock so senders only queue for the write itself.
        const std::string frame =
            devlink::encode_request(req.sn, req.conn_time, req.send_time, req.data);
        std::lock_guard<std::mutex> w(write_mu_);
        if (fd_ < 0) return -1;
        if (devlink::write_string(fd_, frame, kSendTimeoutMs)) return 0;
        // The stream may now end in half a frame: nothing more may follow it.
        // Waking the reader makes it drop this connection and dial again;
        // forgetting the fd makes the next senders fail at once instead of
        // each waiting out the timeout.
        shutdown(fd_, SHUT_RDWR);
        fd_ = -1;
        return -1;
    }

private:
    void StopLocked() {
        {
            std::lock_guard<std::mutex> s(state_mu_);
            stop_ = true;
        }
        {
            std::lock_guard<std::mutex> q(queue_mu_);
            stopping_ = true;
        }
        cv_.notify_all();
        {
            // The reader installs new connections under write_mu_ after
            // checking stop_, so any fd it publishes is seen here.
            std::lock_guard<std::mutex> w(write_mu_);
            if (fd_ >= 0) shutdown(fd_, SHUT_RDWR);
        }
        queue_cv_.notify_all();
        JoinOrDetach(reader_);
        JoinOrDetach(dispatcher_);
        std::lock_guard<std::mutex> q(queue_mu_);
        queue_.clear();
        queued_bytes_ = 0;
    }

    static void JoinOrDetach(std::thread& t) {
        if (!t.joinable()) return;
        if (t.get_id() == std::this_thread::get_id()) {
            // Called from the callback: joining would wait for ourselves.
            // The thread sees stop_ once the callback returns.
            t.detach();
        } else {
            t.join();
        }
    }

    // Queues messages for the callback, emptying batch; false when stopping.
    bool Enqueue(std::vector<std::string>& batch) {
        size_t bytes = 0;
        for (const std::string& payload : batch) bytes += payload.size();
        std::unique_lock<std::mutex> q(queue_mu_);
        queue_cv_.wait(q, [this] {
            return queued_bytes_ < kMaxQueuedBytes || StoppingQueued();
        });
        if (StoppingQueued()) return false;
        queued_bytes_ += bytes;
        for (std::string& payload : batch) {
            queue_.emplace_back();
            queue_.back().swap(payload);
        }
        batch.clear();
        queue_cv_.notify_all();
        return true;
    }

    // Hands queued messages to the callback one at a time, in arrival order.
    void DispatchLoop() {
        while (true) {
            T_RspMsg rsp;
            {
                std::unique_lock<std::mutex> q(queue_mu_);
                queue_cv_.wait(q, [this] { return !queue_.empty() || StoppingQueued(); });
                if (StoppingQueued()) return;
                rsp.data.swap(queue_.front());
                queue_.pop_front();
                queued_bytes_ -= rsp.data.size();
                queue_cv_.notify_all();
            }
            if (cb_) cb_(&rsp);
        }
    }

    // stop_ as seen under queue_mu_ (set before queue_cv_ is notified).
    bool StoppingQueued() { return stopping_.load(); }

    bool Stopping() {
        std::lock_guard<std::mutex> s(state_mu_);
        return stop_;
    }

    // Owns every connection fd: only this thread closes them, so a sender
    // never writes to a number that was closed and reused behind its back.
    void ReaderLoop(int fd) {
        std::chrono::milliseconds backoff = kFirstBackoff;
        std::string payload;
        std::vector<std::string> batch;
        while (true) {
            devlink::FrameReader reader;
            while (reader.Next(fd, payload) == devlink::FrameResult::Ok) {
                batch.emplace_back();
                batch.back().swap(payload);
                // Frames that one read brought in go to the dispatcher
                // together: one wake-up for a run, not one per frame. The
                // batch is empty whenever Next has to read.
                if (reader.HasFrame() && batch.size() < kMaxBatch) continue;
                if (!Enqueue(batch)) break;
                if (Stopping()) break;
            }
            batch.clear();
            {
                std::lock_guard<std::mutex> w(write_mu_);
                if (fd_ == fd) fd_ = -1;
            }
            close(fd);
            fd = -1;

            while (fd < 0) {
                {
                    std::unique_lock<std::mutex> s(state_mu_);
                    if (cv_.wait_for(s, backoff, [this] { return stop_; })) return;
                }
                fd = ConnectTo(path_);
                if (fd < 0) backoff = std::min(backoff * 2, kMaxBackoff);
            }
            backoff = kFirstBackoff;
            {
                std::lock_guard<std::mutex> w(write_mu_);
                if (Stopping()) {
                    close(fd);
                    return;
                }
                fd_ = fd;
            }
        }
    }

    std::mutex life_mu_;   // Init/UnInit against each other
    std::mutex write_mu_;  // frame writes and every change of fd_
    std::mutex state_mu_;  // stop_ and the back-off wait
    std::condition_variable cv_;
    bool stop_ = true;
    int fd_ = -1;
    DevLinkCallback cb_ = nullptr;
    std::string path_;
    std::thread reader_;
    std::thread dispatcher_;
    std::mutex queue_mu_;  // queue_, queued_bytes_, stopping_ changes
    std::condition_variable queue_cv_;
    std::deque<std::string> queue_;
    size_t queued_bytes_ = 0;
    std::atomic<bool> stopping_{true};
};

// Never destroyed: a server that exits without UnInit must not run a
// std::thread destructor on a live reader (that would abort the process).
Link& TheLink() {
    static Link* link = new Link;
    return *link;
}

}  // namespace

int Init(int /*mode*/, DevLinkCallback cb) {
    return TheLink().Open(cb);
}

void UnInit() {
    TheLink().Close();
}

int SendCommand(const T_ReqMsg* req) {
    if (!req) return -1;
    return TheLink().Send(*req);
}

void MyAssert(const char* msg) {
    // One write so concurrent reports do not mix within a line.
    std::string line = msg ? msg : "(null)";
    line.push_back('\n');
    ssize_t r = write(STDERR_FILENO, line.data(), line.size());
    (void)r;
}

OSMutex::OSMutex() {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&mutex_, &attr);
    pthread_mutexattr_destroy(&attr);
}

OSMutex::~OSMutex() {
    pthread_mutex_destroy(&mutex_);
}

void OSMutex::RecursiveLock() {
    pthread_mutex_lock(&mutex_);
}

void OSMutex::RecursiveUnlock() {
    pthread_mutex_unlock(&mutex_);
}
