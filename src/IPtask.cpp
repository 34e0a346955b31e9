#include "IPtask.h"

#include <stdio.h>

#include "log.h"
#include "process_qr370.h"
#include "webserver.h"

IPTask* g_IP_task = nullptr;

IPTask::~IPTask() { UnInit(); }

int IPTask::IP_INIT(void (*callback)(const T_RspMsg*)) { return Init(1, callback); }

int IPTask::Send2IP(const T_ReqMsg* req) {
    int err = SendCommand(req);
    LOG_INFO("Rezudezi : send to IP : err = %d", err);
    return err;
}

void send2ip_buf(char* text) {
    T_ReqMsg req;
    req.data = text;
    req.sn = SERVER_OWN_SN;
    req.conn_time = get_time_ms();
    req.send_time = get_time_ms();
    if (g_IP_task) g_IP_task->Send2IP(&req);
}

void IpReadCallBack(const T_RspMsg* rsp) {
    if (rsp == nullptr) {
        puts("NULL");
        return;
    }
    Send_370_Websocket_Json_Data("command", 0, rsp->data);
}
