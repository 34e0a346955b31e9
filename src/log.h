// The one logging path of the server: every line goes through the log4cpp
// category "CATEGORY" and ends with the source location " --[src/FILE:LINE]".
// The build maps __FILE__ to the path relative to the project root.
#ifndef KT_LOG_H
#define KT_LOG_H

#include <log4cpp/Priority.hh>

void kt_log(log4cpp::Priority::Value priority, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

#define KT_LOG_AT(prio, fmt, ...) \
    kt_log(prio, fmt " --[%s:%u]", ##__VA_ARGS__, __FILE__, (unsigned)__LINE__)
#define LOG_ERROR(fmt, ...) KT_LOG_AT(log4cpp::Priority::ERROR, fmt, ##__VA_ARGS__)
#define LOG_WARN(fmt, ...) KT_LOG_AT(log4cpp::Priority::WARN, fmt, ##__VA_ARGS__)
#define LOG_INFO(fmt, ...) KT_LOG_AT(log4cpp::Priority::INFO, fmt, ##__VA_ARGS__)

#endif
