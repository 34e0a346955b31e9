#include "IPtask.h"

#include "log.h"
#include "webserver.h"

IPTask* g_IP_task = nullptr;

IPTask::~IPTask() { UnInit(); }

int IPTask::IP_INIT(void (*callback)(const T_RspMsg*)) { return Init(1, callback); }

int IPTask::Send2IP(const T_ReqMsg* req) {
    int err = SendCommand(req);
    LOG_INFO("Rezudezi : send to IP : err = %d", err);
    return err;
}

void Send_To_Device(const std::string& text, int32_t sn, int64_t conn_time) {
    T_ReqMsg req;
    req.data = text;
    req.sn = sn;
    req.conn_time = conn_time;
    req.send_time = get_time_ms();
    // No link before start-up opens it (and none in the unit tests).
    if (g_IP_task) g_IP_task->Send2IP(&req);
}

void Send_To_Device(const std::string& text) { Send_To_Device(text, SERVER_OWN_SN, get_time_ms()); }

void send2ip_buf(char* text) { Send_To_Device(text); }
