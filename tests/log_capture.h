// Captures what the server logs through its one category, for assertions on
// log lines in unit tests.
#ifndef KT_TEST_LOG_CAPTURE_H
#define KT_TEST_LOG_CAPTURE_H

#include <log4cpp/Category.hh>
#include <log4cpp/PatternLayout.hh>
#include <log4cpp/StringQueueAppender.hh>

#include <string>

class LogCapture {
public:
    LogCapture() : appender_(new log4cpp::StringQueueAppender("capture")) {
        auto* layout = new log4cpp::PatternLayout();
        layout->setConversionPattern("[%p] %m%n");
        appender_->setLayout(layout);
        category().setPriority(log4cpp::Priority::DEBUG);
        category().addAppender(appender_);  // the category owns it
    }
    ~LogCapture() { category().removeAppender(appender_); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Everything logged so far, one line per message.
    std::string text() const {
        std::string all;
        auto queue = appender_->getQueue();
        while (!queue.empty()) {
            all += queue.front();
            queue.pop();
        }
        return all;
    }
    bool contains(const std::string& needle) const {
        return text().find(needle) != std::string::npos;
    }

private:
    static log4cpp::Category& category() { return log4cpp::Category::getInstance("CATEGORY"); }
    log4cpp::StringQueueAppender* appender_;
};

#endif
