// The link to the device control service.
#ifndef KT_IPTASK_H
#define KT_IPTASK_H

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

// Sends text to the control service on the server's own behalf.
void send2ip_buf(char* text);
// Called by the device library once per message of the control service.
void IpReadCallBack(const T_RspMsg* rsp);

#endif
