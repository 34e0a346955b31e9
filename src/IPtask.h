// The link to the device control service.
#ifndef KT_IPTASK_H
#define KT_IPTASK_H

#include <stdint.h>
#include <string>

#include "DevLink.h"

class IPTask {
public:
    IPTask() = default;
    ~IPTask();  // closes the link (also after a failed IP_INIT)
    IPTask(const IPTask&) = delete;
    IPTask& operator=(const IPTask&) = delete;

    int IP_INIT(void (*callback)(const T_RspMsg*));
    int Send2IP(const T_ReqMsg* req);
};

// Scoped lock over the device library's recursive mutex; a null mutex is
// not locked.
class OSMutexLocker {
public:
    explicit OSMutexLocker(OSMutex* mutex) : mutex_(mutex) {
        if (mutex_) mutex_->Lock();
    }
    ~OSMutexLocker() {
        if (mutex_) mutex_->Unlock();
    }
    OSMutexLocker(const OSMutexLocker&) = delete;
    OSMutexLocker& operator=(const OSMutexLocker&) = delete;

private:
    OSMutex* mutex_;
};

extern IPTask* g_IP_task;

// Serial number of requests the server sends on its own behalf.
const int32_t SERVER_OWN_SN = 30001;

// Every request to the control service is built here: the text, the
// sender's serial number and connection stamp, and the sending time.
void Send_To_Device(const std::string& text, int32_t sn, int64_t conn_time);
// On the server's own behalf: SERVER_OWN_SN, stamped with the sending time.
void Send_To_Device(const std::string& text);
void send2ip_buf(char* text);

#endif
