// The WebSocket text-frame handler (JSON members, login credentials, the private
// service query and commands) with the client registry: three in-memory connections
// join, take the input's frames and leave; their CivetWeb calls land in the fakes below.
#include <fuzzer/FuzzedDataProvider.h>

#include "IPtask.h"
#include "fuzz_common.h"
#include "process_qr370.h"
#include "webserver.h"

namespace {

const int kConns = 3;
const int kMaxFrames = 8;  // each login runs a dozen credential lookups
// An in-memory connection: opaque to the handler, its state kept by the fakes.
struct Fake_Conn {
    char opaque[64];
    bool closed;
    void* user_data;
} g_conns[kConns];
char g_context[64];
volatile unsigned char g_sink;

mg_connection* Conn(int i) { return reinterpret_cast<mg_connection*>(&g_conns[i]); }

Fake_Conn& Of(const mg_connection* conn) {
    for (int i = 0; i < kConns; i++)
        if (conn == Conn(i)) return g_conns[i];
    Fuzz_Fail("CivetWeb call on a connection that is not one of ours");
}

}  // namespace

void Fuzz_Setup() {
    Fuzz_Sandbox();
    my_websocket_handler = websocket_handler;
    // A link that never connected: a command's send fails at once.
    g_IP_task = new IPTask();
}

extern "C" {

int __wrap_mg_websocket_write(mg_connection* conn, int, const char* data, size_t len) {
    Of(conn);
    // Every byte handed over must be readable.
    for (size_t i = 0; i < len; i++) g_sink = g_sink + static_cast<unsigned char>(data[i]);
    return static_cast<int>(len);
}
int __wrap_mg_write(mg_connection* c, const void* data, size_t len) {  // the opcode is unused
    return __wrap_mg_websocket_write(c, 0, static_cast<const char*>(data), len);
}
// No request or headers behind an in-memory connection: no Origin, as from native clients.
const mg_request_info* __wrap_mg_get_request_info(const mg_connection* c) { Of(c); return {}; }
const char* __wrap_mg_get_header(const mg_connection* c, const char*) { Of(c); return {}; }
void __wrap_mg_lock_connection(mg_connection* c) { Of(c); }
void __wrap_mg_unlock_connection(mg_connection* c) { Of(c); }
void __wrap_mg_close_connection(mg_connection* c) { Of(c).closed = true; }
mg_context* __wrap_mg_get_context(const mg_connection* c) {
    return Of(c), reinterpret_cast<mg_context*>(g_context);
}
void __wrap_mg_lock_context(mg_context*) {}
void __wrap_mg_unlock_context(mg_context*) {}
// No read loop serves an in-memory connection: its frames stay queued.
int __wrap_mg_get_client_socket(const mg_connection* c) { return Of(c), -1; }
void __wrap_mg_set_websocket_service(mg_connection* c, const mg_websocket_service*) { Of(c); }
void __wrap_mg_set_user_connection_data(const mg_connection* c, void* p) { Of(c).user_data = p; }
void* __wrap_mg_get_user_connection_data(const mg_connection* c) { return Of(c).user_data; }

int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    for (int i = 0; i < kConns; i++) {
        g_conns[i].closed = false;
        WebSocketConnectHandler(Conn(i), nullptr);
        WebSocketReadyHandler(Conn(i), nullptr);
    }
    FuzzedDataProvider in(data, size);
    for (int frame = 0; frame < kMaxFrames && in.remaining_bytes() > 0; frame++) {
        const int i = in.ConsumeIntegralInRange<int>(0, kConns - 1);
        std::string text = in.ConsumeRandomLengthString(4096);
        if (g_conns[i].closed) continue;  // CivetWeb hands a closing connection nothing more
        WebsocketDataHandler(Conn(i), 0x80 | MG_WEBSOCKET_OPCODE_TEXT, &text[0], text.size(), {});
    }
    int logged_in = 0;
    for (int i = 0; i < kConns; i++) logged_in += CheckIfAuth(Conn(i)) == 1;
    if (GetAppOnlineNum() != logged_in) Fuzz_Fail("online count differs from logged-in clients");
    for (int i = 0; i < kConns; i++) WebSocketCloseHandler(Conn(i), nullptr);
    for (int32_t i = 0, sn; i < kConns; i++)
        if (int64_t when; GetWSSNnum(Conn(i), &sn, &when)) Fuzz_Fail("closed client still listed");
    if (GetAppOnlineNum() != 0) Fuzz_Fail("online count not back to zero");
    return 0;
}

}  // extern "C"
