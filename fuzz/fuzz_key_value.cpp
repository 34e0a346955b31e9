// The key/value file reader behind the TX/RX list, the line reader, and the
// zone password list, on a file of any content.
#include <json/json.h>

#include <string>

#include "fuzz_common.h"
#include "process_qr370.h"
#include "webserver.h"

namespace {
std::string g_file;
std::string g_zone_pw;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Fuzz_Quiet_Log();
    g_file = Fuzz_Sandbox() + "/device.properties";
    g_zone_pw = Fuzz_Sandbox() + "/home/ubuntu/zone/zone.pw";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Fuzz_Write_File(g_file, data, size);

    std::string joined;
    Analyze_Key_Value_File(g_file.c_str(), joined, " ");

    // The list body must stay one JSON object with a text member, whatever
    // the file holds.
    const std::string body = TXRX_List_Body(g_file.c_str());
    Json::Value root;
    Json::Reader reader;
    if (!reader.parse(body, root) || !root.isObject() || !root["list"].isString()) {
        Fuzz_Fail("TX/RX list body is not a JSON object with a text list");
    }

    std::string line;
    Get_Line_From_File(g_file.c_str(), line, 1 + static_cast<int>(size % 5));

    Fuzz_Write_File(g_zone_pw, data, size);
    std::string user = "user", pwd = "pw";
    Zone_Verify_Password(user, pwd);
    return 0;
}
