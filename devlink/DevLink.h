// Device control library: the interface the web server links against.
// The link carries command texts to the device control service and hands
// every message of the service to the callback given to Init.
#ifndef DEVLINK_H
#define DEVLINK_H

#include <pthread.h>
#include <stdint.h>
#include <string>

// One request to the control service. The library copies what it needs;
// the record may be destroyed as soon as SendCommand returns.
struct T_ReqMsg {
    std::string data;      // command text, any bytes
    int32_t sn;            // sender serial number (30001: the server itself)
    int64_t conn_time;     // sender's connection stamp, monotonic ms
    int64_t send_time;     // time of sending, monotonic ms
    T_ReqMsg() : sn(0), conn_time(0), send_time(0) {}
};

// One message from the control service; owned by the library for the
// duration of the callback.
struct T_RspMsg {
    std::string data;
};

typedef void (*DevLinkCallback)(const T_RspMsg*);

// Opens the link. mode is reserved (callers pass 1). Returns 0 when the link
// is connected, non-zero when it cannot connect. After a 0 result the
// callback runs once per message, on the library's reader thread.
int Init(int mode, DevLinkCallback cb);
// Closes the link and stops the reader thread; safe after a failed Init and
// when called twice.
void UnInit();
// Sends one request. 0 when it was handed to the service; non-zero when the
// link is down or the write failed. Never blocks for long.
int SendCommand(const T_ReqMsg* req);
// Reports an assertion message on standard error and returns.
void MyAssert(const char* msg);

// Recursive mutex: a thread may lock what it already holds.
class OSMutex {
public:
    OSMutex();
    ~OSMutex();
    OSMutex(const OSMutex&) = delete;
    OSMutex& operator=(const OSMutex&) = delete;
    void RecursiveLock();
    void RecursiveUnlock();
    void Lock() { RecursiveLock(); }
    void Unlock() { RecursiveUnlock(); }

private:
    pthread_mutex_t mutex_;
};

#endif
