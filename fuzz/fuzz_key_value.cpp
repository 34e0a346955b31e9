// The key/value reader behind the TX/RX list, the line reader and the zone password list.
#include <json/json.h>

#include "fuzz_common.h"
#include "process_qr370.h"
#include "webserver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::string file = Fuzz_Sandbox() + "/device.properties";
    Fuzz_Write_File(file, bytes);
    std::string joined;
    Analyze_Key_Value_File(file.c_str(), joined, " ");

    // Whatever the file holds, the list body stays one JSON object with a text member.
    Json::Value root;
    if (!Json::Reader().parse(TXRX_List_Body(file.c_str()), root) || !root.isObject() ||
        !root["list"].isString())
        Fuzz_Fail("TX/RX list body is not a JSON object with a text list");

    std::string line;
    Get_Line_From_File(file.c_str(), line, 1 + static_cast<int>(size % 5));

    Fuzz_Write_File(Fuzz_Sandbox() + "/home/ubuntu/zone/zone.pw", bytes);
    std::string user = "user", pwd = "pw";
    Zone_Verify_Password(user, pwd);
    return 0;
}
