#include "webserver.h"

#define OPENSSL_API_COMPAT 0x10100000L  // the DH/EC_KEY calls of the TLS set-up
#include <openssl/bn.h>
#include <openssl/dh.h>
#include <openssl/ec.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <log4cpp/Category.hh>
#include <log4cpp/FileAppender.hh>
#include <log4cpp/Filter.hh>
#include <log4cpp/Layout.hh>
#include <log4cpp/LoggingEvent.hh>
#include <log4cpp/NDC.hh>
#include <log4cpp/OstreamAppender.hh>
#include <log4cpp/PatternLayout.hh>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <typeinfo>
#include <vector>

#include "IPtask.h"
#include "http_response.h"
#include "log.h"
#include "process_json.h"
#include "process_qr370.h"

extern char** environ;

namespace {
// Files are opened with "e" (close-on-exec): workers start device commands
// at any time, and those must not inherit what another request has open.
struct FileCloser {
    void operator()(FILE* f) const { fclose(f); }
};
typedef std::unique_ptr<FILE, FileCloser> FilePtr;
}  // namespace

// ===========================================================================
// Log
// ===========================================================================

namespace {

// How long the writer gathers lines after the first wakes it; also the
// most a line waits before it is written while the writer keeps up.
const std::chrono::microseconds kLogGather(500);
// Bytes of formatted lines the writer hands to a file in one write().
const size_t kLogWriteBytes = 64 * 1024;
// Besides the line count, the text waiting is bounded: a device text can
// be large, and the broadcast line carries it whole.
const size_t kLogQueueBytes = 4 * 1024 * 1024;

typedef std::shared_ptr<const log4cpp::LoggingEvent> LogEvent;

// Looked up once: each lookup takes the library's registry lock. The
// category lives as long as the process; configuring only changes its
// appenders.
log4cpp::Category& Log_Category() {
    static log4cpp::Category& category = log4cpp::Category::getInstance("CATEGORY");
    return category;
}

// The line as the appenders take it, built on the logging thread: the
// layouts print this moment and this thread, not the writer's.
LogEvent Make_Event(log4cpp::Priority::Value priority, const char* format, va_list args) {
    char small[512];
    va_list again;
    va_copy(again, args);
    const int n = vsnprintf(small, sizeof(small), format, args);
    std::string message;
    if (n >= static_cast<int>(sizeof(small))) {
        message.resize(static_cast<size_t>(n) + 1);
        vsnprintf(&message[0], message.size(), format, again);
        message.resize(static_cast<size_t>(n));
    } else if (n > 0) {
        message.assign(small, static_cast<size_t>(n));
    }
    va_end(again);
    return std::make_shared<const log4cpp::LoggingEvent>(Log_Category().getName(), message,
                                                         log4cpp::NDC::get(), priority);
}

// log4cpp gives an appender's layout, file descriptor and stream to its
// subclasses only. Through these the writer formats a line once for all
// its repeats and writes a whole batch in one call; other appender types
// get every line through doAppend.
struct FileAccess : log4cpp::FileAppender {
    using LayoutAppender::_getLayout;
    using FileAppender::_fd;
};
struct StreamAccess : log4cpp::OstreamAppender {
    using OstreamAppender::_stream;
};

// What AppenderSkeleton::doAppend decides before it appends.
bool Appender_Takes(log4cpp::Appender& appender, const log4cpp::LoggingEvent& event) {
    const log4cpp::Priority::Value threshold = appender.getThreshold();
    if (threshold != log4cpp::Priority::NOTSET && event.priority > threshold) return false;
    log4cpp::Filter* filter = appender.getFilter();
    return filter == nullptr || filter->decide(event) != log4cpp::Filter::DENY;
}

void Write_All(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return;  // a full disk loses the lines, as log4cpp's own append does
        }
    }
}

// Lines logged but not yet written. Callers append; the writer takes all
// that waits at once. A line logged several times in a row (one per client
// of a broadcast) is one entry with a count.
class LogQueue {
public:
    struct Entry {
        LogEvent event;
        size_t count;
    };

    void Start() {
        std::lock_guard<std::mutex> hold(lock_);
        if (running_) return;
        running_ = true;
        stopping_ = false;
        writer_ = std::thread(&LogQueue::Run, this);
    }

    void Stop() {
        {
            std::lock_guard<std::mutex> hold(lock_);
            if (!writer_.joinable()) return;
            stopping_ = true;
        }
        work_.notify_one();
        writer_.join();
    }

    // Queues count repeats of the line (count is at most the bound). False
    // when no writer runs: the caller writes the lines itself.
    bool Add(const LogEvent& event, size_t count) {
        std::unique_lock<std::mutex> hold(lock_);
        // Full: wait for the writer rather than drop a line or grow.
        room_.wait(hold, [this, count] {
            return !running_ || lines_ == 0 ||
                   (lines_ + count <= KT_LOG_QUEUE_LINES && bytes_ < kLogQueueBytes);
        });
        if (!running_) return false;
        if (!queue_.empty() && queue_.back().event == event) {
            queue_.back().count += count;
        } else {
            queue_.push_back({event, count});
            bytes_ += event->message.size();
        }
        const bool half_full = lines_ < KT_LOG_QUEUE_LINES / 2 &&
                               lines_ + count >= KT_LOG_QUEUE_LINES / 2;
        lines_ += count;
        if (writer_idle_ || half_full) {
            writer_idle_ = false;
            work_.notify_one();
        }
        return true;
    }

private:
    void Run() {
        // Named for whoever looks at the process (ps, top, the tests).
        pthread_setname_np(pthread_self(), "log-writer");
        std::vector<Entry> batch;
        std::unique_lock<std::mutex> hold(lock_);
        for (;;) {
            if (queue_.empty() && !stopping_) {
                writer_idle_ = true;
                work_.wait(hold, [this] { return !queue_.empty() || stopping_; });
                writer_idle_ = false;
                // Woken by one line, the writer gathers what follows for a
                // moment: a busy server then pays one wake-up and one write
                // for many lines instead of one each.
                work_.wait_for(hold, kLogGather, [this] {
                    return stopping_ || lines_ >= KT_LOG_QUEUE_LINES / 2;
                });
            }
            if (queue_.empty()) break;  // stopping, and all is written
            batch.swap(queue_);
            hold.unlock();
            size_t lines = 0;
            size_t bytes = 0;
            for (const Entry& entry : batch) {
                lines += entry.count;
                bytes += entry.event->message.size();
            }
            Write_Batch(batch);
            batch.clear();
            hold.lock();
            // Counted until written, so the bound is what a crash can lose.
            lines_ -= lines;
            bytes_ -= bytes;
            room_.notify_all();
        }
        running_ = false;
        room_.notify_all();
    }

    // The appenders callAppenders would reach: the category's, then its
    // ancestors' while additive. Nobody changes them while the writer runs
    // (logging is configured before and shut down after).
    static std::vector<log4cpp::Appender*> Appenders() {
        std::vector<log4cpp::Appender*> all;
        for (log4cpp::Category* c = &Log_Category(); c != nullptr;
             c = c->getAdditivity() ? c->getParent() : nullptr) {
            const log4cpp::AppenderSet set = c->getAllAppenders();
            all.insert(all.end(), set.begin(), set.end());
        }
        return all;
    }

    // One batch's lines as each layout prints them. Appenders whose layouts
    // print alike share them: the device's file and console appenders use
    // the same pattern, and formatting (time stamp, stream, locale) is most
    // of what a line costs the writer.
    class PrintedLines {
    public:
        explicit PrintedLines(const std::vector<Entry>& batch) : batch_(batch) {}

        const std::string& Line(log4cpp::Layout& layout, size_t i) {
            Printed& printed = For(layout);
            if (!printed.done[i]) {
                const log4cpp::LoggingEvent& event = *batch_[i].event;
                printed.lines[i] = printed.splices ? Spliced(layout, printed, event)
                                                   : layout.format(event);
                printed.done[i] = true;
            }
            return printed.lines[i];
        }

    private:
        // Around its message, a line prints the same as the one before it
        // if they agree in what the template printed from.
        struct Template {
            int seconds = -1, milliseconds = -1;
            log4cpp::Priority::Value priority = log4cpp::Priority::NOTSET;
            std::string category, ndc, head, tail;
        };
        struct Printed {
            std::string key;
            std::vector<std::string> lines;
            std::vector<bool> done;
            bool splices;
            Template around;
        };

        // Whether every conversion of the pattern but its one message prints
        // only from the line's time (to the millisecond), priority, category
        // and NDC. Not so: clock ticks and times since start (%u %r %R), the
        // thread (%t: the writer would print its own), padded or cut fields.
        static bool Splices(const std::string& pattern) {
            int messages = 0;
            for (size_t i = 0; i < pattern.size(); ++i) {
                if (pattern[i] != '%') continue;
                if (++i == pattern.size() || strchr("cdmnpx%", pattern[i]) == nullptr) return false;
                messages += pattern[i] == 'm';
                if (i + 1 < pattern.size() && pattern[i + 1] == '{') {
                    i = pattern.find('}', i);
                    if (i == std::string::npos) return false;
                }
            }
            return messages == 1;
        }

        // Formatting (time stamp, stream, locale) is most of what a line
        // costs the writer: the layout prints a template once per
        // millisecond, priority and NDC, and each line's message goes into it.
        static std::string Spliced(log4cpp::Layout& layout, Printed& printed,
                                   const log4cpp::LoggingEvent& event) {
            static const char kMarker[] = "\x01\x02message\x02\x01";
            Template& t = printed.around;
            const int ms = event.timeStamp.getMilliSeconds();
            if (t.seconds != event.timeStamp.getSeconds() || t.milliseconds != ms ||
                t.priority != event.priority || t.category != event.categoryName ||
                t.ndc != event.ndc) {
                log4cpp::LoggingEvent probe(event.categoryName, kMarker, event.ndc,
                                            event.priority);
                probe.timeStamp = event.timeStamp;
                const std::string whole = layout.format(probe);
                const size_t at = whole.find(kMarker);
                if (at == std::string::npos) return layout.format(event);
                t = {event.timeStamp.getSeconds(), ms, event.priority, event.categoryName,
                     event.ndc, whole.substr(0, at), whole.substr(at + sizeof(kMarker) - 1)};
            }
            return t.head + event.message + t.tail;
        }

        // A pattern layout prints only from the line and its pattern; any
        // other layout shares only with itself.
        static std::string Key(log4cpp::Layout& layout) {
            if (typeid(layout) == typeid(log4cpp::PatternLayout)) {
                return "pattern:" + static_cast<log4cpp::PatternLayout&>(layout).getConversionPattern();
            }
            return "layout:" + std::to_string(reinterpret_cast<uintptr_t>(&layout));
        }

        Printed& For(log4cpp::Layout& layout) {
            const std::string key = Key(layout);
            for (Printed& printed : printed_) {
                if (printed.key == key) return printed;
            }
            const bool splices = typeid(layout) == typeid(log4cpp::PatternLayout) &&
                Splices(static_cast<log4cpp::PatternLayout&>(layout).getConversionPattern());
            printed_.push_back({key, std::vector<std::string>(batch_.size()),
                                std::vector<bool>(batch_.size(), false), splices, {}});
            return printed_.back();
        }

        const std::vector<Entry>& batch_;
        std::list<Printed> printed_;  // stable: callers hold references
    };

    // The batch's lines for one appender, written in pieces of at most
    // kLogWriteBytes (plus one line's repeats).
    template <typename Write>
    static void Write_Lines(log4cpp::Appender& appender, log4cpp::Layout& layout,
                            const std::vector<Entry>& batch, PrintedLines& printed, Write write) {
        std::string out;
        for (size_t i = 0; i < batch.size(); ++i) {
            if (!Appender_Takes(appender, *batch[i].event)) continue;
            const std::string& line = printed.Line(layout, i);
            for (size_t n = 0; n < batch[i].count; ++n) out += line;
            if (out.size() >= kLogWriteBytes) {
                write(out);
                out.clear();
            }
        }
        if (!out.empty()) write(out);
    }

    static void Write_Batch(const std::vector<Entry>& batch) {
        PrintedLines printed(batch);
        for (log4cpp::Appender* appender : Appenders()) {
            // Exact types only: a rolling appender checks its size per line.
            if (typeid(*appender) == typeid(log4cpp::FileAppender)) {
                auto& file = static_cast<log4cpp::FileAppender&>(*appender);
                const int fd = file.*(&FileAccess::_fd);
                Write_Lines(file, (file.*(&FileAccess::_getLayout))(), batch, printed,
                            [fd](const std::string& out) { Write_All(fd, out); });
            } else if (typeid(*appender) == typeid(log4cpp::OstreamAppender)) {
                auto& os = static_cast<log4cpp::OstreamAppender&>(*appender);
                std::ostream& stream = *(os.*(&StreamAccess::_stream));
                Write_Lines(os, (os.*(&FileAccess::_getLayout))(), batch, printed,
                            [&stream](const std::string& out) {
                                stream.write(out.data(), static_cast<std::streamsize>(out.size()));
                            });
            } else {
                for (const Entry& entry : batch) {
                    for (size_t i = 0; i < entry.count; ++i) appender->doAppend(*entry.event);
                }
            }
        }
    }

    std::mutex lock_;
    std::condition_variable work_;  // lines for the writer, or stop
    std::condition_variable room_;  // the writer has written a batch
    std::vector<Entry> queue_;
    size_t lines_ = 0;  // queued or being written
    size_t bytes_ = 0;
    bool running_ = false;
    bool stopping_ = false;
    bool writer_idle_ = false;
    std::thread writer_;
};

LogQueue g_log_queue;

void Log_Event(const LogEvent& event, size_t count) {
    if (g_log_queue.Add(event, count)) return;
    for (size_t i = 0; i < count; ++i) Log_Category().callAppenders(*event);
}

// The line this thread repeats and has not handed over yet; any other line
// of the thread hands it over first, so the order stays as logged.
thread_local KtLogLine* t_repeating = nullptr;

}  // namespace

void kt_log(log4cpp::Priority::Value priority, const char* format, ...) {
    if (t_repeating != nullptr) t_repeating->Flush();
    if (!Log_Category().isPriorityEnabled(priority)) return;
    va_list args;
    va_start(args, format);
    const LogEvent event = Make_Event(priority, format, args);
    va_end(args);
    Log_Event(event, 1);
}

void KtLogLine::Log(log4cpp::Priority::Value priority, const char* format, ...) {
    if (disabled_) return;
    if (!event_) {
        if (t_repeating != nullptr) t_repeating->Flush();
        if (!Log_Category().isPriorityEnabled(priority)) {
            disabled_ = true;
            return;
        }
        va_list args;
        va_start(args, format);
        event_ = Make_Event(priority, format, args);
        va_end(args);
    }
    if (t_repeating != this && t_repeating != nullptr) t_repeating->Flush();
    t_repeating = this;
    // Never more repeats at once than the queue holds.
    if (++repeats_ >= KT_LOG_QUEUE_LINES) Flush();
}

void KtLogLine::Flush() {
    if (t_repeating == this) t_repeating = nullptr;
    if (repeats_ == 0) return;
    const size_t count = repeats_;
    repeats_ = 0;
    Log_Event(event_, count);
}

KtLogLine::~KtLogLine() { Flush(); }

void Start_Log_Writer() { g_log_queue.Start(); }
void Stop_Log_Writer() { g_log_queue.Stop(); }

// ===========================================================================
// Server start, TLS and routes
// ===========================================================================

namespace {

// Offered cipher suites and protocol level the device's clients were built
// against; the TLS context is further capped at TLS 1.2 in init_ssl.
const char kCipherList[] =
    "ECDHE-RSA-AES256-GCM-SHA384:DES-CBC3-SHA:AES128-SHA:AES128-GCM-SHA256";
const int kMaxListedPorts = 32;

// Fixed 2236-bit safe prime for the Diffie-Hellman key exchange, generator 2.
const unsigned char kDh2236P[280] = {
    0x0F, 0x2C, 0x6F, 0x8E, 0x74, 0xC7, 0x3A, 0xE4, 0xF0, 0xE4, 0x48, 0xC6,
    0xE4, 0xED, 0xB3, 0xA9, 0x6A, 0xAF, 0x43, 0x8E, 0x37, 0xF4, 0x58, 0x99,
    0x0C, 0xCB, 0x82, 0xAA, 0xD9, 0x81, 0xC2, 0x40, 0xD8, 0xED, 0x2F, 0x55,
    0x40, 0xB2, 0x55, 0x71, 0x7A, 0xC9, 0x24, 0xFD, 0xA8, 0xEC, 0xE7, 0x50,
    0x0B, 0xC4, 0x49, 0x1A, 0xB9, 0xEA, 0x50, 0xB5, 0xB8, 0xF7, 0xB0, 0x92,
    0x4F, 0xE4, 0x95, 0x10, 0x12, 0x0F, 0x96, 0xF1, 0xF7, 0x06, 0xF7, 0x88,
    0xF3, 0x64, 0x30, 0x49, 0xC6, 0xF4, 0xFF, 0xD1, 0xEA, 0x68, 0x44, 0xDA,
    0xBC, 0x7F, 0xF6, 0x5B, 0x55, 0xCB, 0x93, 0x8A, 0x03, 0x83, 0x20, 0x5F,
    0x93, 0xB2, 0x5B, 0x64, 0x45, 0x40, 0x95, 0xDE, 0x31, 0x6D, 0x17, 0x8F,
    0x4C, 0x41, 0x48, 0xF8, 0x79, 0x86, 0x30, 0x2A, 0x8C, 0xC9, 0xF1, 0xB0,
    0x24, 0xF2, 0xB6, 0xA2, 0x2E, 0xFD, 0x21, 0x91, 0x7A, 0x33, 0xA7, 0x78,
    0x8D, 0xBF, 0x57, 0x73, 0x5F, 0x9F, 0xC1, 0x1A, 0xE2, 0x9A, 0xC4, 0xCB,
    0x6C, 0xF5, 0xCE, 0x0E, 0x43, 0xFB, 0x78, 0x3E, 0x54, 0xD3, 0x70, 0x8A,
    0xF0, 0x96, 0xC1, 0xF2, 0x1D, 0xB9, 0xEF, 0xB3, 0x70, 0x2F, 0xB1, 0x9D,
    0x47, 0x7A, 0x77, 0xA9, 0x29, 0x09, 0xAF, 0x85, 0xC0, 0x87, 0xD0, 0xD9,
    0xB4, 0xB9, 0xEA, 0x25, 0x52, 0x47, 0x8D, 0xF1, 0xA8, 0x3C, 0xAA, 0xB4,
    0xD4, 0x4C, 0x64, 0x96, 0x8F, 0xBD, 0x91, 0xE1, 0x6E, 0x0D, 0xF8, 0x0B,
    0x94, 0xCF, 0xF1, 0x3C, 0xC7, 0x84, 0x07, 0x8F, 0x24, 0x82, 0x90, 0xD4,
    0x49, 0xBC, 0x96, 0xDE, 0xBE, 0xEF, 0x11, 0xB4, 0x94, 0x27, 0xEC, 0x2D,
    0x8A, 0x4B, 0x01, 0x96, 0xBC, 0x3D, 0x6C, 0x47, 0x19, 0xE2, 0x8D, 0xA1,
    0x25, 0x74, 0x3B, 0x62, 0xB4, 0xA5, 0x6A, 0xB4, 0x77, 0x8A, 0x7F, 0xC1,
    0x92, 0x1F, 0x86, 0x7C, 0xE9, 0x19, 0x81, 0x23, 0x3B, 0x88, 0xFD, 0x5C,
    0xAE, 0x51, 0xA8, 0x19, 0xEB, 0xCC, 0xEA, 0x81, 0x49, 0x63, 0xC4, 0xE2,
    0x4E, 0xC4, 0x02, 0x17, 
};
const unsigned char kDh2236G[1] = {0x02};

}  // namespace

DH* get_dh2236() {
    DH* dh = DH_new();
    if (dh == nullptr) return nullptr;
    BIGNUM* p = BN_bin2bn(kDh2236P, sizeof(kDh2236P), nullptr);
    BIGNUM* g = BN_bin2bn(kDh2236G, sizeof(kDh2236G), nullptr);
    if (p == nullptr || g == nullptr || DH_set0_pqg(dh, p, nullptr, g) != 1) {
        BN_free(p);
        BN_free(g);
        DH_free(dh);
        return nullptr;
    }
    return dh;
}

int init_ssl(void* ssl_ctx, void* /*user_data*/) {
    SSL_CTX* ctx = static_cast<SSL_CTX*>(ssl_ctx);
    // Only TLS 1.1 and 1.2 are offered to the device's clients.
    SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION);

    DH* dh = get_dh2236();
    if (dh == nullptr) return -1;
    long rc = SSL_CTX_ctrl(ctx, SSL_CTRL_SET_TMP_DH, 0, dh);
    DH_free(dh);  // the context keeps its own copy
    if (rc != 1) return -1;

    EC_KEY* ecdh = EC_KEY_new_by_curve_name(NID_X9_62_prime256v1);
    if (ecdh == nullptr) return -1;
    rc = SSL_CTX_ctrl(ctx, SSL_CTRL_SET_TMP_ECDH, 0, ecdh);
    EC_KEY_free(ecdh);
    if (rc != 1) return -1;

    LOG_INFO("Rezudezi : ECDH ciphers initialized");
    return 0;
}

int log_message(const mg_connection* /*conn*/, const char* message) {
    puts(message);
    fflush(stdout);
    return 1;  // the library then never writes its own error log file
}

mg_context* ServerStart(const web_options* options, void* user_data) {
    const char* option_list[] = {
        "document_root", options->document_root.c_str(),
        "listening_ports", options->listening_ports.c_str(),
        "request_timeout_ms", "10000",
        "error_log_file", "error.log",
        "websocket_timeout_ms", "3600000",
        "ssl_certificate", options->ssl_certificate.c_str(),
        "ssl_protocol_version", "3",
        "ssl_cipher_list", kCipherList,
        "enable_auth_domain_check", "no",
        // Broadcast frames are small and come in runs. With Nagle's
        // algorithm (the library's default) a frame written while the one
        // before is unacknowledged waits for the client's delayed
        // acknowledgement, up to 40 ms.
        "tcp_nodelay", "1",
        nullptr};
    mg_callbacks callbacks;
    memset(&callbacks, 0, sizeof(callbacks));
    callbacks.log_message = log_message;
    callbacks.init_ssl = init_ssl;
    // Before any route is looked up, and from the first request on.
    callbacks.begin_request = Refuse_Secret_File;
    callbacks.connection_close = Connection_Close_Handler;
    return mg_start(&callbacks, user_data, option_list);
}

void List_All_ServerPort(mg_context* ctx) {
    mg_server_port ports[kMaxListedPorts];
    memset(ports, 0, sizeof(ports));
    int n = mg_get_server_ports(ctx, kMaxListedPorts, ports);
    LOG_INFO("Rezudezi : %i listening ports:", n);
    for (int i = 0; i < n && i < kMaxListedPorts; i++) {
        const char* scheme = ports[i].is_ssl ? "https" : "http";
        if (ports[i].protocol & 1) {
            LOG_INFO("Rezudezi : You can Browse files at %s://%s:%i", scheme, "127.0.0.1",
                     ports[i].port);
        }
        if (ports[i].protocol & 2) {
            LOG_INFO("Rezudezi : You can Browse files at %s://%s:%i", scheme, "[::1]",
                     ports[i].port);
        }
    }
}

void AddURIProcessHandler(mg_context* ctx, const uri_list* list, int count) {
    for (int i = 0; i < count; i++) {
        if (list[i].uri != nullptr && list[i].handler != nullptr) {
            mg_set_request_handler(ctx, list[i].uri, list[i].handler, list[i].cbdata);
        } else {
            LOG_WARN("ADD URI handler error : list[%d]", i);
        }
    }
}

void SetWebsocketHandler(mg_context* ctx, websocket_msg_handler handler, void* cbdata) {
    my_websocket_handler = handler;
    // Anchored: "/websocketX" and "/websocket/x" are no WebSocket endpoint.
    mg_set_websocket_handler(ctx, "/websocket$", WebSocketConnectHandler, WebSocketReadyHandler,
                             WebsocketDataHandler, WebSocketCloseHandler, cbdata);
}

void ServerStop(mg_context* ctx) { mg_stop(ctx); }

int Civetweb_check_WEBSOCKET_feature() { return mg_check_feature(16); }

int Civetweb_check_SSL_feature() { return mg_check_feature(2); }

// ===========================================================================
// Response writers
// ===========================================================================

namespace {

const size_t kHtmlBlock = 1024;
const size_t kChunkBlock = 2000;     // no data chunk exceeds this
const size_t kFrameBlock = 204800;   // one read of a stream frame

const char kFrameHeadFormat[] = "--w00t\r\nContent-Type: image/jpeg\r\nContent-Length: %lu\r\n\r\n";
const char kLineEnd[] = "\r\n";

// Opens a file that stat can see; null otherwise (size left untouched).
FilePtr Open_Stated(const char* path, struct stat* st) {
    if (stat(path, st) != 0) return FilePtr();
    return FilePtr(fopen(path, "rbe"));
}

}  // namespace

int send_chunk_file(mg_connection* conn, const char* path) {
    struct stat st;
    FilePtr file = Open_Stated(path, &st);
    if (!file) {
        LOG_ERROR("open file error");
        return 1;
    }
    std::unique_ptr<char[]> block(new char[kChunkBlock]);
    size_t n;
    while ((n = fread(block.get(), 1, kChunkBlock, file.get())) > 0) {
        if (mg_send_chunk(conn, block.get(), static_cast<unsigned>(n)) < 0) {
            LOG_ERROR("mg_send_chunk error");
            return 0;
        }
    }
    mg_send_chunk(conn, "", 0);
    return 1;
}

int send_json_data(mg_connection* conn, const char* text) {
    Send_Head(HEAD_JSON, conn);
    mg_printf(conn, "%s", text);
    return 0;
}

int send_html_file(mg_connection* conn, const char* path) {
    const int32_t size = get_file_size(path);
    LOG_INFO("Rezudezi : %s size is %d", path, size);
    if (size == -1) return -1;
    Send_Head(HEAD_HTML, conn, size);
    return Sendhtml(conn, path);
}

int Sendhtml(mg_connection* conn, const char* path) {
    struct stat st;
    FilePtr file = Open_Stated(path, &st);
    if (!file) {
        LOG_ERROR("send file error");
        return -1;
    }
    char block[kHtmlBlock];
    int total = 0;
    size_t n;
    while ((n = fread(block, 1, sizeof(block), file.get())) > 0) {
        int written = mg_write(conn, block, n);
        if (written <= 0) {
            LOG_ERROR("write error");
            return -1;
        }
        total += written;
    }
    file.reset();
    mg_write(conn, kLineEnd, 2);
    return total;
}

int send_jpg_stream_file(mg_connection* conn, const char* path) {
    Send_Head(HEAD_STREAM, conn);
    // The stream holds its worker until the client leaves; a stopping
    // server ends it too, so shutdown never waits on a viewer.
    while (sendjpgstream(conn, path) != 0 && exitNow == 0) sleep(1);
    return 1;
}

int sendjpgstream(mg_connection* conn, const char* path) {
    struct stat st;
    FilePtr file = Open_Stated(path, &st);
    if (!file) return 0;
    // Every write is checked: with an empty picture the frame head and the
    // line end are all a frame writes, and only they can tell that the
    // client has gone and its worker may go back to the pool.
    if (mg_printf(conn, kFrameHeadFormat, static_cast<unsigned long>(st.st_size)) <= 0) return 0;
    // 200 KiB is too much for a worker's stack on the device.
    std::unique_ptr<char[]> block(new char[kFrameBlock]);
    size_t n;
    while ((n = fread(block.get(), 1, kFrameBlock, file.get())) > 0) {
        if (mg_write(conn, block.get(), n) <= 0) return 0;
    }
    file.reset();
    return mg_write(conn, kLineEnd, 2) > 0 ? 1 : 0;
}

// ===========================================================================
// Multipart forms
// ===========================================================================

int Set_Formdata_Handler(mg_connection* conn, mg_form_data_handler* handler) {
    return mg_handle_form_request(conn, handler);
}

// ===========================================================================
// Request guards: files never served, static files read-only, WebSocket
// pages of the device only
// ===========================================================================

namespace {

// Methods static files answer; the routes check their own.
const char* const kStaticMethods[] = {"GET", "HEAD"};

const char kCrossSiteRsp[] =
    "HTTP/1.1 403 Forbidden\r\nContent-Type: text/plain\r\nContent-Length: 29\r\n"
    "Connection: close\r\n\r\nCross-site WebSocket refused\n";

// The path with every link and dot resolved; empty when nothing is there.
std::string Resolved(const std::string& path) {
    std::unique_ptr<char, void (*)(void*)> real(realpath(path.c_str(), nullptr), free);
    return real ? std::string(real.get()) : std::string();
}

bool Is_Within(const std::string& path, const std::string& dir) {
    return !dir.empty() && path.compare(0, dir.size(), dir) == 0 &&
           (path.size() == dir.size() || path[dir.size()] == '/');
}

// Host name of an authority, "host[:port]" or "[v6 literal][:port]", port
// dropped; empty when it is neither.
std::string Authority_Host(const std::string& authority) {
    if (authority.compare(0, 1, "[") != 0) return authority.substr(0, authority.find(':'));
    const size_t after = authority.find(']') + 1;  // 0 when unclosed
    if (after == 0 || (after < authority.size() && authority[after] != ':')) return "";
    return authority.substr(0, after);
}

// A browser names the page that opens a WebSocket in Origin. The device's own
// pages, on any of its ports, come from the host name the request was sent
// to; any other page would drive the relay with the operator's browser.
// Native clients send no Origin.
bool Is_Cross_Site(const mg_connection* conn) {
    const char* origin = mg_get_header(conn, "Origin");
    if (origin == nullptr) return false;
    const char* host = mg_get_header(conn, "Host");
    const char* scheme_end = strstr(origin, "://");
    if (host == nullptr || scheme_end == nullptr) return true;  // "null" among others
    std::string authority(scheme_end + 3);
    authority.erase(std::min(authority.find('/'), authority.size()));
    const std::string page = Authority_Host(authority);
    return page.empty() || strcasecmp(page.c_str(), Authority_Host(host).c_str()) != 0;
}

}  // namespace

int Refuse_Secret_File(mg_connection* conn) {
    const mg_context* ctx = mg_get_context(conn);
    const char* root = mg_get_option(ctx, "document_root");
    const char* cert = mg_get_option(ctx, "ssl_certificate");
    if (root == nullptr || root[0] == '\0') return 0;  // no files served at all
    const std::string target = Resolved(std::string(root) + mg_get_request_info(conn)->local_uri);
    if (target.empty()) return 0;
    if (!Is_Within(target, Resolved(std::string(root) + "/WEB-INF")) &&
        (cert == nullptr || cert[0] == '\0' || target != Resolved(cert))) {
        return 0;
    }
    LOG_WARN("protected file refused to %s", mg_get_request_info(conn)->remote_addr);
    mg_send_http_error(conn, 404, "%s", "Not Found");
    return 404;
}

int Static_File_Handler(mg_connection* conn, void* /*cbdata*/) {
    const char* method = mg_get_request_info(conn)->request_method;
    for (const char* allowed : kStaticMethods) {
        if (strcmp(method, allowed) == 0) return 0;  // the library serves the file
    }
    mg_send_http_error(conn, 405, "%s", "Method Not Allowed");
    return 405;
}

void Guard_Static_Files(mg_context* ctx) {
    // Registered after the routes: a pattern is tried in registration order,
    // so this one only takes what no route matches.
    mg_set_request_handler(ctx, "**", Static_File_Handler, nullptr);
}

bool Refuse_Cross_Site(const mg_connection* conn) {
    if (!Is_Cross_Site(conn)) return false;
    LOG_WARN("Rezudezi : Websocket client %s", "refused: cross-site Origin");
    // Written raw: the library refuses its header writer on an upgrade
    // request. Without a 101 the connection ends after this answer.
    mg_printf(const_cast<mg_connection*>(conn), "%s", kCrossSiteRsp);
    return true;
}

// ===========================================================================
// WebSocket client registry
//
// A client's record lives on its connection (the connection's user data):
// every frame finds its sender's record there. The registry list serves the
// broadcasts only.
//
// Lock order, never reversed: server context lock, registry lock, then the
// online-count lock or a client's outbox lock. The library holds a
// connection's own lock while it calls Connection_Close_Handler, which takes
// the registry lock; nothing takes a connection lock inside the registry.
//
// One thread at a time writes to a connection, and never while holding a
// lock. A frame for a client whose outbox is empty and whose socket nobody
// writes goes out at once from the sending thread, with a send that never
// waits (plain connections only: over TLS one SSL object is never used by
// two threads, so there the client's own worker writes everything). What
// the socket does not take at once waits in the outbox, and the client's
// worker writes it between its reads in the library's read loop. A client
// that stops reading fills only its own outbox.
// ===========================================================================

namespace {

const int kOpcodeMask = 0x0F;
const size_t kAssertTextSize = 256;

// CivetWeb runs 50 workers and a WebSocket holds one for its whole life;
// beyond this many WebSockets an upgrade is refused at once (503), so the
// pages always keep workers.
const size_t kMaxWebSockets = 40;
// A client that has not logged in by then only holds a worker.
const int64_t kLoginDeadlineMs = 30 * 1000;
// The device's commands are far shorter; a longer frame closes the
// connection before any of it is read into memory.
const unsigned long long kMaxFrameBytes = 64 * 1024;
// How far a client may fall behind before it is closed: bytes not yet
// written to it, and the age of the oldest frame still waiting.
const size_t kOutboxMaxBytes = 1024 * 1024;
const int64_t kOutboxMaxAgeMs = 5 * 1000;
// The worker looks at its login deadline at least this often.
const int kServiceIntervalMs = 1000;
// A worker woken within this time after its last service yields first.
const int64_t kGatherAfterUs = 500;
// Broadcasts that each start within kBurstGapUs after the one before ended,
// kBurstRun of them in a row, are a burst: their frames gather in the
// outboxes for each worker's batched write, as a send per text and client
// would make the broadcasting thread the bottleneck. A few texts that only
// caught up after a delay are no burst: woken workers would cost more than
// the sends.
const int64_t kBurstGapUs = 100;
const int kBurstRun = 16;
// What the kernel holds of a client's unread frames; the rest waits in its
// outbox, where the bounds above see it. Left alone, the kernel lets a
// stalled reader's buffer grow to megabytes, per client, on a small device.
const int kSocketSendBytes = 128 * 1024;
// Frames waiting together go out in one write of up to this size.
const size_t kWriteBatchBytes = 64 * 1024;
// Of a received text the log keeps this much.
const size_t kLoggedTextBytes = 1024;
// Close status sent to a client that did not log in in time (policy).
const char kClosePolicy[2] = {0x03, static_cast<char>(0xF0)};

typedef std::shared_ptr<const std::string> Frame;

}  // namespace

struct t_ws_client {
    // Who writes to the socket at the moment.
    enum Writer { NOBODY, WORKER, SENDER };
    struct Pending {
        Frame frame;
        int64_t queued_ms;
    };

    // Fixed at connect.
    mg_connection* conn = nullptr;
    int32_t sn_num = 0;
    int64_t conn_time_ms = 0;
    // Under the registry lock.
    ws_conn_state conn_state = WS_JOINED;
    ws_auth_flag auth_flag = WS_NOT_LOGGED_IN;

    // The outbox, under its own lock.
    std::mutex lock;
    std::condition_variable sender_gone;  // writer is no longer SENDER
    std::deque<Pending> frames;           // not yet taken by a writer
    size_t bytes = 0;                     // queued or being written
    bool overflowed = false;
    // The worker has been woken, or is serving: it looks at the frames
    // again before it waits, so nobody needs to wake it.
    bool due = false;
    Writer writer = NOBODY;
    int sock = -1;         // the connection's socket, once ready
    bool direct = false;   // a sender may write whole frames into sock
    int wake_fd = -1;      // eventfd polled by the worker

    // The worker's own.
    int64_t login_deadline_ms = 0;  // 0 once logged in
    int64_t served_us = 0;          // its last service

    t_ws_client() : wake_fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~t_ws_client() {
        if (wake_fd >= 0) close(wake_fd);
    }
    t_ws_client(const t_ws_client&) = delete;
    t_ws_client& operator=(const t_ws_client&) = delete;

    void Wake() {
        const uint64_t one = 1;
        (void)!write(wake_fd, &one, sizeof(one));
    }
};

websocket_msg_handler my_websocket_handler = nullptr;
std::list<std::shared_ptr<t_ws_client>> kt_clientconnlist;
OSMutex g_mutexWsCliList;
OSMutex g_lockOnlineNum;
int32_t p_snnum = WS_FIRST_SN;
// Changed under g_lockOnlineNum; read without it by the status route.
std::atomic<int32_t> g_App_Num{0};
// When the latest broadcast had handed its frame to every client, and how
// many broadcasts in a row started right after the one before.
std::atomic<int64_t> g_broadcast_done_us{0};
std::atomic<int> g_broadcasts_in_run{0};

namespace {

int64_t Monotonic_Us() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

t_ws_client* Client_Of(const mg_connection* conn) {
    return static_cast<t_ws_client*>(mg_get_user_connection_data(conn));
}

// What a sender does for one client once the registry lock is released.
struct Delivery {
    enum Action { NOTHING, WAKE, SEND };
    Action action = NOTHING;
    int sock = -1;  // with SEND: the socket the sender now holds
};

// Decides, under the client's outbox lock, how a frame reaches the client:
// written at once by the sender (SEND, when may_send), queued for the
// worker (WAKE when the worker must be woken for it), or dropped for a
// client past its bound. That client is closed: its socket is shut down,
// which also ends a write of its worker that waits on the full socket.
Delivery Plan_Frame(t_ws_client& client, const Frame& frame, int64_t now_us, bool may_send) {
    Delivery plan;
    const int64_t now = now_us / 1000;
    std::lock_guard<std::mutex> hold(client.lock);
    if (client.overflowed) return plan;
    const int64_t behind_ms = client.frames.empty() ? 0 : now - client.frames.front().queued_ms;
    if (client.bytes + frame->size() > kOutboxMaxBytes || behind_ms > kOutboxMaxAgeMs) {
        client.overflowed = true;
        LOG_WARN("Rezudezi : websocket client [%p] fell behind (%zu bytes, %lld ms), closed",
                 static_cast<const void*>(client.conn), client.bytes,
                 static_cast<long long>(behind_ms));
        if (client.sock >= 0) shutdown(client.sock, SHUT_RDWR);
        client.Wake();
        return plan;
    }
    client.bytes += frame->size();
    if (may_send && client.direct && client.writer == t_ws_client::NOBODY && !client.due &&
        client.frames.empty()) {
        client.writer = t_ws_client::SENDER;
        plan.action = Delivery::SEND;
        plan.sock = client.sock;
        return plan;
    }
    client.frames.push_back({frame, now});
    // A sender still writing wakes the worker itself when it leaves.
    if (client.due || client.writer == t_ws_client::SENDER) return plan;
    client.due = true;
    plan.action = Delivery::WAKE;
    return plan;
}

// Writes what the socket takes now; the rest waits in the outbox, ahead of
// what was queued meanwhile, and the worker is woken for it.
void Send_Now(t_ws_client& client, int sock, const Frame& frame, int64_t now_us) {
    const ssize_t n = send(sock, frame->data(), frame->size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    const size_t sent = n > 0 ? static_cast<size_t>(n) : 0;
    bool wake = false;
    {
        std::lock_guard<std::mutex> hold(client.lock);
        client.writer = t_ws_client::NOBODY;
        client.bytes -= sent;
        if (sent < frame->size()) {
            client.frames.push_front(
                {sent == 0 ? frame : std::make_shared<const std::string>(frame->substr(sent)),
                 now_us / 1000});
        }
        if (!client.frames.empty() && !client.due) client.due = wake = true;
    }
    client.sender_gone.notify_all();
    if (wake) client.Wake();
}

// Carries out a plan, with no registry lock held: a woken worker may
// preempt the waking thread at once, and must not find the lock held by a
// broadcast still busy with the others.
void Deliver(t_ws_client& client, const Delivery& plan, const Frame& frame, int64_t now_us) {
    if (plan.action == Delivery::WAKE) client.Wake();
    if (plan.action == Delivery::SEND) Send_Now(client, plan.sock, frame, now_us);
}

// Whether a broadcast starting now is part of a burst (kBurstRun).
bool In_Burst(int64_t now_us) {
    if (now_us - g_broadcast_done_us.load(std::memory_order_relaxed) >= kBurstGapUs) {
        g_broadcasts_in_run.store(0, std::memory_order_relaxed);
        return false;
    }
    return g_broadcasts_in_run.fetch_add(1, std::memory_order_relaxed) + 1 >= kBurstRun;
}

// Runs on the worker before its connection's socket is closed: no sender
// writes into it from then on, and none is still writing.
void Retire_Client(t_ws_client& client) {
    std::unique_lock<std::mutex> hold(client.lock);
    client.direct = false;
    client.sender_gone.wait(hold, [&client] { return client.writer != t_ws_client::SENDER; });
}

// Takes the socket for the worker; false while a sender writes into it
// (that sender wakes the worker when it leaves frames behind).
bool Take_Socket(t_ws_client& client) {
    std::lock_guard<std::mutex> hold(client.lock);
    if (client.writer == t_ws_client::SENDER) return false;
    client.writer = t_ws_client::WORKER;
    return true;
}

bool Login_Overdue(mg_connection* conn, t_ws_client& client) {
    if (client.login_deadline_ms == 0 || get_time_ms() < client.login_deadline_ms) return false;
    if (CheckIfAuth(conn) == WS_AUTH_LOGGED_IN) {
        client.login_deadline_ms = 0;
        return false;
    }
    if (!Take_Socket(client)) return false;  // at the next service
    LOG_WARN("Rezudezi : websocket client [%p] not logged in within %lld s, closed",
             static_cast<const void*>(conn), static_cast<long long>(kLoginDeadlineMs / 1000));
    // The socket stays taken: the connection closes now.
    mg_websocket_write(conn, MG_WEBSOCKET_OPCODE_CONNECTION_CLOSE, kClosePolicy,
                       sizeof(kClosePolicy));
    return true;
}

// Texts coming faster than the workers serve them would each wake the
// worker on its own. A worker woken again soon after its last service first
// yields its CPU: the thread broadcasting (and the other workers) run, more
// frames gather, and they go out in one write. With nothing else to run, as
// at the device's usual pace, the yield returns at once.
void Gather_Frames(t_ws_client& client) {
    const int64_t now_us = Monotonic_Us();
    if (now_us - client.served_us < kGatherAfterUs) sched_yield();
    client.served_us = now_us;
}

// Runs on the connection's own worker, inside the library's read loop, when
// its outbox woke it and once a service interval. Non-zero closes it.
int Serve_Outbox(mg_connection* conn, void* cbdata) {
    t_ws_client& client = *static_cast<t_ws_client*>(cbdata);
    Gather_Frames(client);
    uint64_t wakes;
    (void)!read(client.wake_fd, &wakes, sizeof(wakes));
    std::string batch;
    for (;;) {
        {
            std::lock_guard<std::mutex> hold(client.lock);
            if (client.overflowed) return 1;
            if (client.writer == t_ws_client::SENDER || client.frames.empty()) {
                if (client.writer == t_ws_client::WORKER) client.writer = t_ws_client::NOBODY;
                client.due = false;
                break;
            }
            client.writer = t_ws_client::WORKER;
            while (!client.frames.empty() &&
                   (batch.empty() ||
                    batch.size() + client.frames.front().frame->size() <= kWriteBatchBytes)) {
                batch += *client.frames.front().frame;
                client.frames.pop_front();
            }
        }
        // No lock is held while the socket takes the bytes.
        if (mg_write(conn, batch.data(), batch.size()) != static_cast<int>(batch.size())) return 1;
        {
            std::lock_guard<std::mutex> hold(client.lock);
            client.bytes -= batch.size();
        }
        batch.clear();
    }
    return Login_Overdue(conn, client) ? 1 : 0;
}

// Removes the record from the registry, if it is there; the caller holds
// the registry lock.
std::shared_ptr<t_ws_client> Leave_Registry(const t_ws_client* record) {
    for (auto it = kt_clientconnlist.begin(); it != kt_clientconnlist.end(); ++it) {
        if (it->get() != record) continue;
        std::shared_ptr<t_ws_client> client = *it;
        LOG_INFO("Rezudezi : Websocket Close and Leave List : [%p]",
                 static_cast<const void*>(client->conn));
        if (client->auth_flag == WS_LOGGED_IN) DeleteAppOnlineNum();
        kt_clientconnlist.erase(it);
        return client;
    }
    return nullptr;
}

// What the log keeps of a received text: at most kLoggedTextBytes of it,
// control characters escaped (a client's line break must not forge log
// entries), and a login's password masked.
std::string Logged_Text(const char* text, size_t len) {
    std::string shown(text, len);
    std::string type;
    if (ParseJsonStream(shown, "type", type) && type == "login") {
        std::string command;
        ParseJsonStream(shown, "command", command);
        try {
            Json::Value root;
            Json::Reader reader;
            if (reader.parse(shown, root, true) && root.isObject()) {
                root["command"] = Masked_Credential(command, ' ');
                shown = Json_Write(root);
                shown.pop_back();  // the writer's line end
            }
        } catch (const std::exception&) {
            shown = kLogMask;
        }
    }
    if (shown.size() > kLoggedTextBytes) {
        shown.resize(kLoggedTextBytes);
        shown += "...";
    }
    return Log_Line_Text(shown.c_str());
}

// Server context lock, held by connect and close for their whole list work.
class ContextLock {
public:
    explicit ContextLock(const mg_connection* conn) : ctx_(mg_get_context(conn)) {
        mg_lock_context(ctx_);
    }
    ~ContextLock() { mg_unlock_context(ctx_); }
    ContextLock(const ContextLock&) = delete;
    ContextLock& operator=(const ContextLock&) = delete;

private:
    mg_context* ctx_;
};

// A text frame as the library's own frame writer would send it. That writer
// sends the header and the payload in two calls: two system calls per client
// per broadcast, and two segments on the wire. Built whole, a frame goes out
// in one write, and a broadcast builds it once for all its clients.
Frame Text_Frame(const char* text, size_t text_len) {
    const std::string payload = Valid_Utf8(text, text_len);
    const size_t len = payload.size();
    auto frame = std::make_shared<std::string>();
    frame->reserve(len + 10);
    *frame += static_cast<char>(0x80 | MG_WEBSOCKET_OPCODE_TEXT);  // final fragment
    if (len < 126) {
        *frame += static_cast<char>(len);
    } else if (len <= 0xFFFF) {
        *frame += static_cast<char>(126);
        *frame += static_cast<char>(len >> 8);
        *frame += static_cast<char>(len & 0xFF);
    } else {
        *frame += static_cast<char>(127);
        for (int shift = 56; shift >= 0; shift -= 8) {
            *frame += static_cast<char>((static_cast<uint64_t>(len) >> shift) & 0xFF);
        }
    }
    *frame += payload;
    return frame;
}

}  // namespace

int WebSocketConnectHandler(const mg_connection* conn, void* /*cbdata*/) {
    if (Refuse_Cross_Site(conn)) return 1;
    std::shared_ptr<t_ws_client> client = std::make_shared<t_ws_client>();
    bool joined = false;
    if (client->wake_fd >= 0) {
        ContextLock context(conn);
        OSMutexLocker registry(&g_mutexWsCliList);
        if (kt_clientconnlist.size() < kMaxWebSockets) {
            client->conn = const_cast<mg_connection*>(conn);
            client->sn_num = p_snnum++;
            client->conn_time_ms = get_time_ms();
            client->login_deadline_ms = client->conn_time_ms + kLoginDeadlineMs;
            mg_set_user_connection_data(conn, client.get());
            kt_clientconnlist.push_back(std::move(client));
            joined = true;
            LOG_INFO("Rezudezi : Websocket Connect and Join List : [%p]",
                     static_cast<const void*>(conn));
        }
    }
    if (!joined) {
        LOG_WARN("Rezudezi : Websocket client %s", "refused: no worker to spare");
        mg_send_http_error(const_cast<mg_connection*>(conn), 503, "%s",
                           "Too many WebSocket connections");
        return 1;
    }
    LOG_INFO("Rezudezi : Websocket client %s", "accepted");
    return 0;
}

void WebSocketReadyHandler(mg_connection* conn, void* /*cbdata*/) {
    t_ws_client* client = Client_Of(conn);
    if (client == nullptr || !SetWebsocketConnVal(conn, WS_READY, WS_NOT_LOGGED_IN)) {
        LOG_ERROR("websocket ready handler error!!!");
        mg_close_connection(conn);
        return;
    }
    const mg_request_info* info = mg_get_request_info(conn);
    const int sock = mg_get_client_socket(conn);
    if (sock >= 0) {
        setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &kSocketSendBytes, sizeof(kSocketSendBytes));
    }
    {
        std::lock_guard<std::mutex> hold(client->lock);
        client->sock = sock;
        client->direct = sock >= 0 && info != nullptr && !info->is_ssl;
    }
    mg_websocket_service service;
    service.wake_fd = client->wake_fd;
    service.interval_ms = kServiceIntervalMs;
    service.max_frame = kMaxFrameBytes;
    service.handler = Serve_Outbox;
    service.cbdata = client;
    mg_set_websocket_service(conn, &service);
}

int WebsocketDataHandler(mg_connection* conn, int flags, char* data, size_t len,
                         void* /*cbdata*/) {
    const int opcode = flags & kOpcodeMask;
    switch (opcode) {
    case MG_WEBSOCKET_OPCODE_CONTINUATION: break;
    case MG_WEBSOCKET_OPCODE_TEXT: {
        char* copy = static_cast<char*>(calloc(len + 1, 1));
        if (copy == nullptr) {
            LOG_ERROR("malloc error");
            break;
        }
        std::unique_ptr<char, void (*)(void*)> owned(copy, free);
        memcpy(copy, data, len);
        LOG_INFO("Rezudezi : data recv from web is %s\tlen is %d",
                 Logged_Text(copy, len).c_str(), static_cast<int>(len));
        if (my_websocket_handler) my_websocket_handler(conn, copy, static_cast<int>(len));
        break;
    }
    case MG_WEBSOCKET_OPCODE_BINARY: LOG_INFO("Rezudezi : binary"); break;
    case MG_WEBSOCKET_OPCODE_CONNECTION_CLOSE: LOG_INFO("Rezudezi : close"); break;
    case MG_WEBSOCKET_OPCODE_PING: LOG_INFO("Rezudezi : ping"); break;
    case MG_WEBSOCKET_OPCODE_PONG: LOG_INFO("Rezudezi : pong"); break;
    default: LOG_INFO("Rezudezi : unknown(%1xh)", static_cast<unsigned>(opcode)); break;
    }
    return 1;
}

void WebSocketCloseHandler(const mg_connection* conn, void* /*cbdata*/) {
    std::shared_ptr<t_ws_client> client;
    {
        ContextLock context(conn);
        OSMutexLocker registry(&g_mutexWsCliList);
        client = Leave_Registry(Client_Of(conn));
        mg_set_user_connection_data(conn, nullptr);
    }
    if (!client) {
        LOG_ERROR("error: don't find this we_clientconn in list!!!!");
        return;
    }
    Retire_Client(*client);
    LOG_INFO("Rezudezi : Client dropped from the set of webserver connections,and delet");
}

void Connection_Close_Handler(const mg_connection* conn) {
    // Every connection ends here, most of them plain requests or WebSockets
    // already gone through the close handler: only a leftover is logged. A
    // plain request's user data is a form's block, never looked into: only
    // a registered record matches.
    const t_ws_client* record = Client_Of(conn);
    if (record == nullptr) return;
    std::shared_ptr<t_ws_client> client;
    {
        OSMutexLocker registry(&g_mutexWsCliList);
        client = Leave_Registry(record);
    }
    if (!client) return;
    mg_set_user_connection_data(conn, nullptr);
    LOG_INFO("Rezudezi : Client dropped from the set of webserver connections,and delet");
}

int SetWebsocketConnVal(const mg_connection* conn, ws_conn_state state, ws_auth_flag auth) {
    t_ws_client* client = Client_Of(conn);
    if (client == nullptr) return 0;
    OSMutexLocker registry(&g_mutexWsCliList);
    client->conn_state = state;
    client->auth_flag = auth;
    return 1;
}

int SetWebsocketConnSuccess(const mg_connection* conn) {
    t_ws_client* client = Client_Of(conn);
    if (client == nullptr) return 0;
    OSMutexLocker registry(&g_mutexWsCliList);
    const bool was_logged_in = client->auth_flag == WS_LOGGED_IN;
    client->conn_state = WS_READY;
    client->auth_flag = WS_LOGGED_IN;
    if (!was_logged_in) AddAppOnlineNum();
    return 1;
}

int GetWSSNnum(const mg_connection* conn, int32_t* sn, int64_t* conn_time) {
    const t_ws_client* client = Client_Of(conn);
    if (client == nullptr) return 0;
    *sn = client->sn_num;
    *conn_time = client->conn_time_ms;
    return 1;
}

ws_auth_check CheckIfAuth(const mg_connection* conn) {
    const t_ws_client* client = Client_Of(conn);
    if (client == nullptr) return WS_AUTH_NO_ENTRY;
    OSMutexLocker registry(&g_mutexWsCliList);
    return client->auth_flag == WS_LOGGED_IN ? WS_AUTH_LOGGED_IN : WS_AUTH_NOT_LOGGED_IN;
}

void Send_Data_To_CurWebsocket(mg_connection* conn, const char* data, size_t len) {
    LOG_INFO("Rezudezi : signal send ==> ready to send data to web , data len :  %d",
             static_cast<int>(strlen(data)));
    t_ws_client* client = Client_Of(conn);
    if (client == nullptr) return;
    // Only the connection's own worker sends to it alone: the record stays
    // for the call. The frame waits for the worker's next service, after the
    // handler: a client answered at once would go on while the handler's
    // last lines are still to come.
    const Frame frame = Text_Frame(data, len);
    const int64_t now_us = Monotonic_Us();
    Deliver(*client, Plan_Frame(*client, frame, now_us, false), frame, now_us);
}

void Send_Data_To_ALLWebsocket(const char* data, size_t len) {
    const Frame frame = Text_Frame(data, len);
    const int text_len = static_cast<int>(strlen(data));
    const int64_t now_us = Monotonic_Us();
    const bool burst = In_Burst(now_us);
    std::vector<std::pair<std::shared_ptr<t_ws_client>, Delivery>> plans;
    {
        KtLogLine sent;  // the same line for every client, formatted once
        OSMutexLocker registry(&g_mutexWsCliList);
        plans.reserve(kt_clientconnlist.size());
        for (const std::shared_ptr<t_ws_client>& client : kt_clientconnlist) {
            if (client->conn_state <= 0 || client->auth_flag != WS_LOGGED_IN) continue;
            LOG_INFO_AGAIN(sent,
                           "Rezudezi : ALL send ==> ready to send data to web ,data [%s] data len :  %d",
                           data, text_len);
            const Delivery plan = Plan_Frame(*client, frame, now_us, !burst);
            if (plan.action != Delivery::NOTHING) plans.emplace_back(client, plan);
        }
    }
    // The records outlive a close meanwhile.
    for (const auto& p : plans) Deliver(*p.first, p.second, frame, now_us);
    g_broadcast_done_us.store(Monotonic_Us(), std::memory_order_relaxed);
}

int GetAppOnlineNum() { return g_App_Num.load(std::memory_order_relaxed); }

void AddAppOnlineNum() {
    OSMutexLocker online(&g_lockOnlineNum);
    const int32_t now = ++g_App_Num;
    LOG_INFO("Rezudezi : Online num [%d]", now);
}

void DeleteAppOnlineNum() {
    OSMutexLocker online(&g_lockOnlineNum);
    if (--g_App_Num < 0) {
        char text[kAssertTextSize];
        snprintf(text, sizeof(text), "_Assert: %s, %d", __FILE__, __LINE__);
        MyAssert(text);
        g_App_Num = 0;
    }
    LOG_INFO("Rezudezi : Online num [%d]", g_App_Num.load());
}

void mg_close_cur_connection(mg_connection* conn) {
    // The socket may close at once: no sender may write into it any more.
    if (t_ws_client* client = Client_Of(conn)) Retire_Client(*client);
    mg_close_connection(conn);
}

// ===========================================================================
// Programs
// ===========================================================================

namespace {

// Bytes per read of program output: longer lines arrive in pieces.
const int kOutputLineSize = 2018;
const int kNotRunStatus = 127 << 8;

// One posix_spawnp: no copy of the server's address space (a forked
// 50-thread server would copy its page tables for every program), default
// signal handling and an empty signal mask whatever the server's threads have
// set, and nothing open but the three standard streams. The server's log
// file, sockets and files being stored are no business of a script, and an
// upgrade package or a daemon a script leaves behind would otherwise hold
// them open. With stdout_fd >= 0 that descriptor becomes the standard output.
int Spawn(pid_t* pid, const char* file, char* const argv[], int stdout_fd) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdout_fd >= 0) posix_spawn_file_actions_adddup2(&actions, stdout_fd, STDOUT_FILENO);
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);

    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGCHLD);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    const int rc = posix_spawnp(pid, file, &actions, &attr, argv, environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    return rc;
}

// Starts the program; with out_fd non-null its standard output is a pipe
// whose read end is returned there. The child's pid, or -1 with errno set;
// 0 when the program itself could not be executed (the caller reports exit
// status 127).
pid_t Spawn_Program(const Argv& args, int* out_fd) {
    if (args.empty()) {
        errno = EINVAL;
        return -1;
    }
    int pipefd[2] = {-1, -1};
    if (out_fd != nullptr && pipe2(pipefd, O_CLOEXEC) != 0) return -1;

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>("sh"));  // only for a file without "#!"
    for (const std::string& word : args) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);

    pid_t pid = -1;
    int rc = Spawn(&pid, argv[1], &argv[1], pipefd[1]);
    if (rc == ENOEXEC) {
        // A package or script without a "#!" line: the shell runs it as a
        // script, as it would have from a command line. It gets the file and
        // the arguments as words, never a line to parse.
        rc = Spawn(&pid, "/bin/sh", argv.data(), pipefd[1]);
    }

    if (out_fd != nullptr) {
        close(pipefd[1]);
        if (rc != 0) {
            close(pipefd[0]);
        } else {
            *out_fd = pipefd[0];
        }
    }
    if (rc == 0) return pid;
    errno = rc;
    return (rc == ENOENT || rc == EACCES || rc == ENOEXEC || rc == ENOTDIR) ? 0 : -1;
}

int Wait_Child(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return status;
}

}  // namespace

int Run_Program(const Argv& argv) {
    const pid_t pid = Spawn_Program(argv, nullptr);
    if (pid < 0) {
        LOG_ERROR("cannot start %s: %s", Command_Text(argv).c_str(), strerror(errno));
        return -1;
    }
    if (pid == 0) return kNotRunStatus;
    return Wait_Child(pid);
}

int Run_Program_Output(const Argv& argv, char* buf, int size) {
    if (buf == nullptr || size <= 0) return -1;
    int fd = -1;
    const pid_t pid = Spawn_Program(argv, &fd);
    if (pid < 0) {
        LOG_ERROR("cannot start %s: %s", Command_Text(argv).c_str(), strerror(errno));
        return -1;
    }
    if (pid == 0) return 0;  // as a shell that cannot find it: no output
    FilePtr pipe(fdopen(fd, "r"));
    if (!pipe) {
        close(fd);
    } else {
        OutputBuffer out(buf, size);
        char line[kOutputLineSize];
        while (fgets(line, sizeof(line), pipe.get()) != nullptr) {
            if (line[0] != '\0' && !out.Add(line, strlen(line))) break;
        }
        pipe.reset();  // the program sees a closed pipe if it still writes
    }
    Wait_Child(pid);
    return 0;
}

std::string Command_Text(const Argv& argv) {
    std::string text;
    for (const std::string& word : argv) {
        if (!text.empty()) text += ' ';
        text += word;
    }
    return text;
}

OutputBuffer::OutputBuffer(char* buf, int size) : buf_(buf), size_(size), remaining_(size) {}

bool OutputBuffer::Add(const char* piece, size_t len) {
    if (remaining_ < 0 || size_ <= 0) return false;
    const size_t used = strlen(buf_);
    const size_t room = static_cast<size_t>(size_) - 1 - used;
    const size_t n = len < room ? len : room;
    memcpy(buf_ + used, piece, n);
    buf_[used + n] = '\0';
    remaining_ -= static_cast<long>(len);
    if (remaining_ < 0) {
        buf_[size_ - 1] = '\0';
        LOG_WARN("buf overflow!!!,return buf : %s", buf_);
        return false;
    }
    return true;
}

bool OutputBuffer::Add_Text(const std::string& text) {
    const size_t max_piece = kOutputLineSize - 1;
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t eol = text.find('\n', pos);
        size_t len = (eol == std::string::npos ? text.size() : eol + 1) - pos;
        if (len > max_piece) len = max_piece;
        if (!Add(text.data() + pos, len)) return false;
        pos += len;
    }
    return true;
}

// ===========================================================================
// Text
// ===========================================================================

std::string Valid_Utf8(const char* text, size_t len) {
    static const char kReplacement[] = "\xEF\xBF\xBD";
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    std::string out;
    out.reserve(len);
    size_t i = 0;
    while (i < len) {
        const unsigned char lead = p[i];
        if (lead < 0x80) {  // a run of ASCII in one append
            const size_t start = i;
            while (i < len && p[i] < 0x80) i++;
            out.append(text + start, i - start);
            continue;
        }
        // Continuation bytes 80-BF, narrowed after E0, ED, F0 and F4 so that
        // overlong forms, surrogates and code points above U+10FFFF fail.
        size_t need = 0;
        unsigned char lo = 0x80, hi = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            need = 1;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            need = 2;
            if (lead == 0xE0) lo = 0xA0;
            if (lead == 0xED) hi = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            need = 3;
            if (lead == 0xF0) lo = 0x90;
            if (lead == 0xF4) hi = 0x8F;
        }
        size_t j = 1;
        while (j <= need && i + j < len && p[i + j] >= lo && p[i + j] <= hi) {
            lo = 0x80;
            hi = 0xBF;
            j++;
        }
        if (need > 0 && j > need) {
            out.append(text + i, j);
        } else {
            out += kReplacement;
        }
        i += j;
    }
    return out;
}

int Split_Str(std::string text, const char* sep, std::string& head, std::string& tail) {
    size_t pos = text.find(sep);
    if (pos == std::string::npos) {
        LOG_ERROR("can not find %s", sep);
        return 0;
    }
    tail = text.substr(pos + strlen(sep));
    head = text.substr(0, pos);
    if (head.empty()) {
        LOG_ERROR("val_fix is NULL");
        return 0;
    }
    if (tail.empty()) {
        LOG_ERROR("val_tail is NULL");
        return 0;
    }
    return 1;
}

int Split_Multi_Str(const char* text, int index, char* out, int out_size, char sep) {
    int count = 0;
    int pos = 0;
    for (const char* p = text; *p != '\0'; p++) {
        if (*p == sep) {
            count++;
            pos = 0;
            if (count == index) return 1;
            memset(out, 0, static_cast<size_t>(out_size));
        } else {
            if (pos >= out_size - 1) {
                LOG_ERROR("store buf size is too small");
                return -2;
            }
            out[pos++] = *p;
        }
    }
    return -1;
}

namespace {
int Hex_Digit(unsigned char c) { return (c >= 'A' && c <= 'F') ? c - 'A' + 10 : c - '0'; }
}  // namespace

int Process_Web_CH_Character(const char* src, char* out, int out_size) {
    int written = 0;
    for (size_t i = 0; src[i] != '\0';) {
        if (written >= out_size - 1) {
            LOG_ERROR("buf is too samll");
            return -1;
        }
        // A "%" without two characters after it is kept as it stands, so
        // the terminator is never read past.
        if (src[i] == '%' && src[i + 1] != '\0' && src[i + 2] != '\0') {
            // Unsigned arithmetic: a character below "0" gives a negative
            // digit, whose shift is undefined for int; the byte stays the same.
            unsigned hi = static_cast<unsigned>(Hex_Digit(static_cast<unsigned char>(src[i + 1])));
            unsigned lo = static_cast<unsigned>(Hex_Digit(static_cast<unsigned char>(src[i + 2])));
            out[written++] = static_cast<char>(((hi << 4) | lo) & 0xFFu);
            i += 3;
        } else {
            out[written++] = src[i++];
        }
    }
    return written;
}

void Delete_String_Terminate_Char(std::string& text) {
    size_t n = text.size();
    if (n >= 2 && text[n - 2] == '\r') {
        text.erase(n - 2);
    } else if (n >= 1 && text[n - 1] == '\n') {
        text.erase(n - 1);
    }
}

int Analyze_Comment_Char(std::string& line, const char* marker) {
    if (line.empty()) return -2;
    size_t pos = line.find(marker);
    if (pos == std::string::npos) return 0;
    line.erase(pos);
    return pos == 0 ? -1 : 1;
}

// ===========================================================================
// Files
// ===========================================================================

namespace {
const size_t kLineFileBuffer = 64 * 1024;
const size_t kCopyBlock = 8 * 1024;  // one read of a copied or edited file
const mode_t kNewFileMode = 0644;
}  // namespace

int32_t get_file_size(const char* path) {
    struct stat st;
    if (stat(path, &st) != 0) return -1;
    return static_cast<int32_t>(st.st_size);
}

int64_t get_time_ms() {
    struct timespec ts;
    if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) return -1;
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

LineFile::LineFile(const char* path) : file_(fopen(path, "re")) {
    if (file_ == nullptr) return;
    buffer_.reset(new char[kLineFileBuffer]);
    setvbuf(file_, buffer_.get(), _IOFBF, kLineFileBuffer);
}

LineFile::~LineFile() {
    if (file_ != nullptr) fclose(file_);  // read only: nothing to lose
}

bool LineFile::Next(std::string& line) {
    line.clear();
    int c;
    while ((c = fgetc_unlocked(file_)) != EOF) {
        line += static_cast<char>(c);
        if (c == '\n') break;
    }
    return !line.empty();
}

int Get_Line_From_File(const char* path, std::string& line, int number) {
    LineFile file(path);
    if (!file.is_open()) {
        LOG_ERROR("cannot read %s: %s", path, strerror(errno));
        return -1;
    }
    if (number < 1) {
        LOG_WARN("param i_cnt is < 0");
        return -2;
    }
    std::string current;
    for (int i = 1; i <= number; i++) {
        if (!file.Next(current)) {
            LOG_WARN("file not exist %d line", number);
            return -3;
        }
    }
    line = current;
    return 0;
}

int Analyze_Key_Value_File(const char* path, std::string& out, const char* joiner) {
    // One pass over the file, with the same results and log lines as reading
    // line 1, 2, 3 ... each from the start: a long device list stays linear.
    LineFile file(path);
    if (!file.is_open()) {
        LOG_ERROR("cannot read %s: %s", path, strerror(errno));
        return 0;
    }
    std::string line;
    int number = 0;
    while (file.Next(line)) {
        number++;
        Delete_String_Terminate_Char(line);
        if (Analyze_Comment_Char(line, "#") < 0) continue;
        std::string key, value;
        Split_Str(line, "=", key, value);
        if (!out.empty()) out += joiner;
        out += value;
    }
    LOG_WARN("file not exist %d line", number + 1);
    return 0;
}

void FileToString(const char* path, std::string& text) {
    FilePtr file(fopen(path, "rbe"));
    if (!file) return;
    char block[1024];
    size_t n;
    while ((n = fread(block, 1, sizeof(block), file.get())) > 0) text.append(block, n);
}

AtomicFile::AtomicFile(const std::string& target, const std::string& temp_dir)
    : target_(target), fd_(-1), failed_(false), size_(0) {
    const size_t slash = target.rfind('/');
    std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    if (!temp_dir.empty()) dir = temp_dir + "/";
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    std::string pattern = dir + "." + name + ".XXXXXX";
    fd_ = mkostemp(&pattern[0], O_CLOEXEC);
    if (fd_ < 0) return;
    temp_ = pattern;
    struct stat old;
    if (stat(target.c_str(), &old) == 0) {
        // The owner and group stay too: the system password file is read
        // through its group.
        if (fchown(fd_, old.st_uid, old.st_gid) != 0) {
            LOG_WARN("cannot keep the owner of %s: %s", target.c_str(), strerror(errno));
        }
        fchmod(fd_, old.st_mode & 07777);
    } else {
        fchmod(fd_, kNewFileMode);
    }
}

AtomicFile::~AtomicFile() {
    if (fd_ >= 0) close(fd_);
    if (!temp_.empty()) unlink(temp_.c_str());
}

bool AtomicFile::Write(const void* data, size_t length) {
    const char* p = static_cast<const char*>(data);
    while (!failed_ && length > 0) {
        const ssize_t n = write(fd_, p, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            failed_ = true;
            break;
        }
        p += n;
        length -= static_cast<size_t>(n);
        size_ += n;
    }
    return fd_ >= 0 && !failed_;
}

bool AtomicFile::Commit() {
    if (fd_ < 0) return false;
    bool ok = !failed_ && fsync(fd_) == 0;
    ok = close(fd_) == 0 && ok;
    fd_ = -1;
    if (ok && rename(temp_.c_str(), target_.c_str()) == 0) {
        temp_.clear();
        return true;
    }
    LOG_ERROR("cannot store %s: %s", target_.c_str(), strerror(errno));
    return false;
}

int StringToFile(const char* path, const char* data, size_t length) {
    AtomicFile file(path);
    if (!file.is_open()) {
        LOG_ERROR("cannot store %s: %s", path, strerror(errno));
        return -1;
    }
    return file.Write(data, length) && file.Commit() ? 0 : -1;
}

bool Copy_File(const char* from, const char* to) {
    FilePtr source(fopen(from, "rb"));
    if (!source) return false;
    AtomicFile target(to);
    if (!target.is_open()) return false;
    char block[kCopyBlock];
    size_t n;
    while ((n = fread(block, 1, sizeof(block), source.get())) > 0) {
        if (!target.Write(block, n)) return false;
    }
    return !ferror(source.get()) && target.Commit();
}

// ===========================================================================
// Property files
// ===========================================================================

namespace {

// One writer at a time for every property file: each change reads the file
// and puts a new one in its place, and two interleaved changes would each
// drop the other's line.
std::mutex g_property_mutex;

// Calls fn(begin, length) for every line of text, line end excluded, as a
// line tool reads them: a last line without line end is a line; an empty
// text has none.
template <typename Fn>
void For_Each_Line(const std::string& text, Fn fn) {
    size_t pos = 0;
    while (pos < text.size()) {
        size_t eol = text.find('\n', pos);
        const bool has_end = eol != std::string::npos;
        if (!has_end) eol = text.size();
        fn(pos, eol - pos, has_end);
        pos = eol + 1;
    }
}

bool Begins_With(const std::string& text, size_t pos, size_t len, const std::string& prefix) {
    return len >= prefix.size() && text.compare(pos, prefix.size(), prefix) == 0;
}

}  // namespace

std::string Property_Values(const std::string& text, const std::string& key) {
    std::string out;
    For_Each_Line(text, [&](size_t pos, size_t len, bool) {
        if (!Begins_With(text, pos, len, key)) return;
        const std::string line = text.substr(pos, len);
        const size_t first = line.find('=');
        if (first != std::string::npos) {
            const size_t second = line.find('=', first + 1);
            out += line.substr(first + 1,
                               second == std::string::npos ? std::string::npos : second - first - 1);
        }
        out += '\n';
    });
    return out;
}

bool Replace_Property_Lines(std::string& text, const std::string& match, const std::string& line) {
    std::string out;
    bool replaced = false;
    For_Each_Line(text, [&](size_t pos, size_t len, bool has_end) {
        if (Begins_With(text, pos, len, match)) {
            out += line;
            out += '\n';
            replaced = true;
        } else {
            out.append(text, pos, len);
            if (has_end) out += '\n';
        }
    });
    if (replaced) text.swap(out);
    return replaced;
}

void Strip_Final_Line_End(std::string& text) {
    if (!text.empty() && text.back() == '\n') text.pop_back();
}

int Edit_Property_File(const char* path, const std::function<void(std::string&)>& edit,
                       const char* seed) {
    std::lock_guard<std::mutex> writer(g_property_mutex);
    std::string text;
    FilePtr file(fopen(path, "rb"));
    if (!file && seed != nullptr && errno == ENOENT) file.reset(fopen(seed, "rb"));
    if (!file) {
        LOG_ERROR("cannot read %s: %s", path, strerror(errno));
        return -1;
    }
    char block[kCopyBlock];
    size_t n;
    while ((n = fread(block, 1, sizeof(block), file.get())) > 0) text.append(block, n);
    if (ferror(file.get())) return -1;
    file.reset();
    std::string changed = text;
    edit(changed);
    struct stat st;
    if (changed == text && stat(path, &st) == 0) return 0;
    AtomicFile out(path);
    return out.Write(changed.data(), changed.size()) && out.Commit() ? 0 : -1;
}

int BC_GET_Request_Body(mg_connection* conn, char* buf, size_t length) {
    return mg_read(conn, buf, length);
}
