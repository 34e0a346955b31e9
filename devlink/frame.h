// Wire framing between the device link and the control service.
//
// Every frame is a 32-bit length (network byte order) followed by that many
// payload bytes, so texts may hold newlines, NULs or anything else.
//   request  payload: int32 sn, int64 conn_time, int64 send_time, data bytes
//   response payload: the text bytes
// Header-only so the library and the simulator cannot drift apart.
#ifndef DEVLINK_FRAME_H
#define DEVLINK_FRAME_H

#include <arpa/inet.h>
#include <errno.h>
#include <poll.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>

namespace devlink {

// A length beyond this is taken as a corrupt or hostile stream rather than
// an honest message; the reader drops the connection instead of allocating.
constexpr uint32_t kMaxFrame = 16u * 1024u * 1024u;
constexpr size_t kLengthBytes = 4;
constexpr size_t kRequestHeader = 4 + 8 + 8;
constexpr size_t kMaxRequestData = kMaxFrame - kRequestHeader;

struct Request {
    int32_t sn = 0;
    int64_t conn_time = 0;
    int64_t send_time = 0;
    std::string data;
};

inline void put_u32(std::string& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<char>((v >> shift) & 0xffu));
}

inline void put_u64(std::string& out, uint64_t v) {
    for (int shift = 56; shift >= 0; shift -= 8)
        out.push_back(static_cast<char>((v >> shift) & 0xffu));
}

inline uint32_t get_u32(const unsigned char* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

inline uint64_t get_u64(const unsigned char* p) {
    return (uint64_t(get_u32(p)) << 32) | uint64_t(get_u32(p + 4));
}

// Callers must keep data within kMaxRequestData; the peer would reject more.
inline std::string encode_request(int32_t sn, int64_t conn_time, int64_t send_time,
                                  const std::string& data) {
    std::string out;
    out.reserve(kLengthBytes + kRequestHeader + data.size());
    put_u32(out, static_cast<uint32_t>(kRequestHeader + data.size()));
    put_u32(out, static_cast<uint32_t>(sn));
    put_u64(out, static_cast<uint64_t>(conn_time));
    put_u64(out, static_cast<uint64_t>(send_time));
    out.append(data);
    return out;
}

// Callers must keep text within kMaxFrame.
inline std::string encode_response(const std::string& text) {
    std::string out;
    out.reserve(kLengthBytes + text.size());
    put_u32(out, static_cast<uint32_t>(text.size()));
    out.append(text);
    return out;
}

// Splits a request payload; false when it is too short to hold the header.
inline bool decode_request(const std::string& payload, Request& req) {
    if (payload.size() < kRequestHeader) return false;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(payload.data());
    req.sn = static_cast<int32_t>(get_u32(p));
    req.conn_time = static_cast<int64_t>(get_u64(p + 4));
    req.send_time = static_cast<int64_t>(get_u64(p + 12));
    req.data.assign(payload, kRequestHeader, std::string::npos);
    return true;
}

// Reads until n bytes arrived. Returns n on success, fewer when the peer
// closed first, -1 on error (a receive timeout counts as an error).
inline ssize_t read_full(int fd, void* buf, size_t n) {
    char* p = static_cast<char*>(buf);
    size_t got = 0;
    while (got < n) {
        ssize_t r = ::read(fd, p + got, n - got);
        if (r > 0) {
            got += static_cast<size_t>(r);
        } else if (r == 0) {
            break;
        } else if (errno != EINTR) {
            return -1;
        }
    }
    return static_cast<ssize_t>(got);
}

// Writes all n bytes. MSG_NOSIGNAL because a vanished peer must cost a
// failed call, never the whole process through SIGPIPE. With timeout_ms >= 0
// the whole frame must go out within that time: a per-call socket timeout
// alone would restart on every partial write. False on any error or timeout;
// the stream then may end in half a frame and is unusable.
inline bool write_full(int fd, const void* buf, size_t n, int timeout_ms = -1) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    const int flags = MSG_NOSIGNAL | (timeout_ms >= 0 ? MSG_DONTWAIT : 0);
    const char* p = static_cast<const char*>(buf);
    size_t done = 0;
    while (done < n) {
        ssize_t w = ::send(fd, p + done, n - done, flags);
        if (w > 0) {
            done += static_cast<size_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && timeout_ms >= 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) return false;
            pollfd pfd = {fd, POLLOUT, 0};
            if (::poll(&pfd, 1, static_cast<int>(left.count()) + 1) < 0 && errno != EINTR)
                return false;
            continue;
        }
        return false;
    }
    return true;
}

inline bool write_string(int fd, const std::string& bytes, int timeout_ms = -1) {
    return write_full(fd, bytes.data(), bytes.size(), timeout_ms);
}

enum class FrameResult { Ok, Closed, Error };

// Reads frames from one stream through a buffer: a run of small frames costs
// one read() for all of them instead of two each. One reader per
// connection; after Closed or Error the connection is done.
class FrameReader {
public:
    static constexpr size_t kBufferBytes = 64 * 1024;

    FrameReader() : buf_(new char[kBufferBytes]) {}

    // The next frame's payload. Closed only for an orderly end between
    // frames; a truncated or oversized frame is an Error.
    FrameResult Next(int fd, std::string& payload) {
        if (!Fill(fd, kLengthBytes)) {
            return Buffered() == 0 && eof_ ? FrameResult::Closed : FrameResult::Error;
        }
        const uint32_t len = get_u32(reinterpret_cast<const unsigned char*>(buf_.get() + start_));
        if (len > kMaxFrame) return FrameResult::Error;
        start_ += kLengthBytes;
        const size_t have = Buffered() < len ? Buffered() : len;
        payload.assign(buf_.get() + start_, have);
        start_ += have;
        if (start_ == end_) start_ = end_ = 0;
        if (have < len) {
            // The rest goes straight into the payload, however long it is.
            payload.resize(len);
            const ssize_t r = read_full(fd, &payload[have], len - have);
            if (r != static_cast<ssize_t>(len - have)) return FrameResult::Error;
        }
        return FrameResult::Ok;
    }

    // True when a whole frame is buffered: Next returns it without reading.
    bool HasFrame() const {
        if (Buffered() < kLengthBytes) return false;
        const uint32_t len = get_u32(reinterpret_cast<const unsigned char*>(buf_.get() + start_));
        return len <= kMaxFrame && Buffered() - kLengthBytes >= len;
    }

private:
    size_t Buffered() const { return end_ - start_; }

    // Reads until at least n (<= kBufferBytes) bytes are buffered; false at
    // the end of the stream (eof_ set) or on an error.
    bool Fill(int fd, size_t n) {
        if (Buffered() >= n) return true;
        if (start_ + n > kBufferBytes) {
            memmove(buf_.get(), buf_.get() + start_, Buffered());
            end_ -= start_;
            start_ = 0;
        }
        while (Buffered() < n) {
            const ssize_t r = ::read(fd, buf_.get() + end_, kBufferBytes - end_);
            if (r > 0) {
                end_ += static_cast<size_t>(r);
            } else if (r == 0) {
                eof_ = true;
                return false;
            } else if (errno != EINTR) {
                return false;
            }
        }
        return true;
    }

    std::unique_ptr<char[]> buf_;
    size_t start_ = 0;
    size_t end_ = 0;
    bool eof_ = false;
};

}  // namespace devlink

#endif
