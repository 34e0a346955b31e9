// The XML parameter store and the configuration reader on a file of any content.
#include <string.h>

#include <fuzzer/FuzzedDataProvider.h>
#include <memory>

#include "fuzz_common.h"
#include "process_xml.h"

void Fuzz_Setup() {
    // The reader reports missing keys on standard output; libFuzzer uses standard error.
    if (freopen("/dev/null", "w", stdout) == nullptr) Fuzz_Fail("stdout");
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const auto mode = static_cast<WEB_START_MODE>(in.ConsumeIntegralInRange<int>(0, 2));
    const unsigned int buf_size = in.ConsumeIntegralInRange<unsigned int>(1, 48);
    const std::string name = in.ConsumeRandomLengthString(16);
    const std::string file = Fuzz_Sandbox() + "/webconf.xml";
    Fuzz_Write_File(file, in.ConsumeRemainingBytesAsString());

    ConfInfoParam param;
    if (GetConfParamfromxml(file.c_str(), &param, mode) == 1 && param.web_port.empty() &&
        mode != WEB_MODE_HTTP)
        Fuzz_Fail("configuration read without a port text");

    KT_XMLParser store(file.c_str());
    store.Parse();
    std::unique_ptr<char[]> buf(new char[buf_size]());
    if (store.GetXMLParamVal("webconfig", name.c_str(), buf.get(), buf_size) &&
        strnlen(buf.get(), buf_size) >= buf_size)
        Fuzz_Fail("value copied without its terminator");
    return 0;
}
