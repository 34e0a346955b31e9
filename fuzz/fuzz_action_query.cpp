// The zone action's query string: the field parser, then the percent-decoder
// on the user name, with the buffers the route gives them.
#include <string.h>

#include <memory>

#include "fuzz_common.h"
#include "process_qr370.h"
#include "webserver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // As the route copies the query: terminated, with a little slack.
    std::unique_ptr<char[]> query(new char[size + 10]());
    memcpy(query.get(), data, size);
    std::string cmdtype, cmdstr, username, passwd;
    Parse_Zone_PW(query.get(), cmdtype, cmdstr, username, passwd);

    const size_t decoded_size = username.size() + 200;
    std::unique_ptr<char[]> decoded(new char[decoded_size]());
    const int n = Process_Web_CH_Character(username.c_str(), decoded.get(),
                                           static_cast<int>(decoded_size));
    if (n > static_cast<int>(username.size())) Fuzz_Fail("decoding made the text longer");

    // The decoder against an exactly sized buffer that is too small.
    const size_t tight = 1 + (size > 0 ? data[0] % 32 : 0);
    std::unique_ptr<char[]> out(new char[tight]());
    Process_Web_CH_Character(query.get(), out.get(), static_cast<int>(tight));
    return 0;
}
