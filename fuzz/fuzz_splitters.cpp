// The field splitters and line-end trimmers that readers of device files and queries use.
#include <string.h>

#include <fuzzer/FuzzedDataProvider.h>
#include <memory>

#include "fuzz_common.h"
#include "process_qr370.h"
#include "webserver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const char sep = in.ConsumeIntegral<char>();
    const int index = in.ConsumeIntegralInRange<int>(-1, 8);
    const int out_size = in.ConsumeIntegralInRange<int>(1, 64);
    const std::string sep_text = in.ConsumeRandomLengthString(8).c_str();  // C text: ends at a NUL
    const std::string text = in.ConsumeRemainingBytesAsString();

    std::string head, tail;
    if (Split_Str(text, sep_text.c_str(), head, tail) == 1) {
        if (head.empty() || tail.empty()) Fuzz_Fail("Split_Str accepted an empty part");
        if (text.compare(0, head.size(), head) != 0 ||
            text.compare(head.size(), sep_text.size(), sep_text) != 0)
            Fuzz_Fail("Split_Str head is not the text before the separator");
    }

    // Callers hand over a zeroed buffer of exactly out_size bytes.
    std::unique_ptr<char[]> out(new char[out_size]());
    Split_Multi_Str(text.c_str(), index, out.get(), out_size, sep);
    if (strnlen(out.get(), out_size) >= static_cast<size_t>(out_size))
        Fuzz_Fail("Split_Multi_Str left its field unterminated");

    std::string line = text;
    const int comment = Analyze_Comment_Char(line, sep_text.c_str());
    if (line.size() > text.size() || (comment == -1 && !line.empty()))
        Fuzz_Fail("Analyze_Comment_Char result does not match the line");

    std::string trimmed = text;
    Delete_String_Terminate_Char(trimmed);
    if (trimmed.size() + 2 < text.size()) Fuzz_Fail("more than a line end removed");

    // The C trimmer on a buffer of exactly the text's length.
    const size_t len = strlen(text.c_str());
    std::unique_ptr<char[]> c_text(strcpy(new char[len + 1], text.c_str()));
    if (delete_terminate_char(c_text.get()) != static_cast<int>(len))
        Fuzz_Fail("delete_terminate_char returned another length");
    return 0;
}
