// The one logging path of the server: every line goes through the log4cpp
// category "CATEGORY" and ends with the source location " --[src/FILE:LINE]".
// The build maps __FILE__ to the path relative to the project root.
//
// Once the writer is started, a caller only formats its line (timestamp
// taken then) and queues it; one writer thread hands the lines to the
// category's appenders in the order they were logged. Before the writer
// starts and after it stops, the caller's thread writes the line itself.
#ifndef KT_LOG_H
#define KT_LOG_H

#include <log4cpp/Priority.hh>

#include <stddef.h>

#include <memory>

namespace log4cpp {
struct LoggingEvent;
}

void kt_log(log4cpp::Priority::Value priority, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// A line formatted at its first use and logged again, unformatted, at
// every further use: a broadcast writes the same line for every client.
// The repeats are handed to the log together, when the thread logs any
// other line, or when the object ends.
class KtLogLine {
public:
    KtLogLine() = default;
    ~KtLogLine();
    KtLogLine(const KtLogLine&) = delete;
    KtLogLine& operator=(const KtLogLine&) = delete;

    void Log(log4cpp::Priority::Value priority, const char* format, ...)
        __attribute__((format(printf, 3, 4)));
    void Flush();

private:
    std::shared_ptr<const log4cpp::LoggingEvent> event_;
    size_t repeats_ = 0;
    bool disabled_ = false;
};

// Starts the writer thread; from here on lines are queued. At most
// KT_LOG_QUEUE_LINES lines are logged but not yet written; a caller beyond
// that waits for the writer.
void Start_Log_Writer();
// Writes every queued line, then ends the writer. Called on every way out
// of the process after logging was configured.
void Stop_Log_Writer();
const unsigned KT_LOG_QUEUE_LINES = 4096;

#define KT_LOG_AT(prio, fmt, ...) \
    kt_log(prio, fmt " --[%s:%u]", ##__VA_ARGS__, __FILE__, (unsigned)__LINE__)
#define LOG_ERROR(fmt, ...) KT_LOG_AT(log4cpp::Priority::ERROR, fmt, ##__VA_ARGS__)
#define LOG_WARN(fmt, ...) KT_LOG_AT(log4cpp::Priority::WARN, fmt, ##__VA_ARGS__)
#define LOG_INFO(fmt, ...) KT_LOG_AT(log4cpp::Priority::INFO, fmt, ##__VA_ARGS__)
// LOG_INFO through a KtLogLine.
#define LOG_INFO_AGAIN(line, fmt, ...)                                              \
    (line).Log(log4cpp::Priority::INFO, fmt " --[%s:%u]", ##__VA_ARGS__, __FILE__, \
               (unsigned)__LINE__)

#endif
