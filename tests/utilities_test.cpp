// Text and file-line helpers at the edges clients and device files reach.
#include <gtest/gtest.h>

#include <fstream>

#include "process_json.h"
#include "form_reception.h"
#include "process_qr370.h"
#include "test_support.h"
#include "webserver.h"

namespace {

std::string Json_Text(const std::string& s) { return Json_Write(Json::Value(s)); }
// Both line-end trims, and the length the buffer form reports.
std::string Trims(const std::string& s) {
    std::string text = s, buf = s;
    Delete_String_Terminate_Char(text);
    const int len = delete_terminate_char(&buf[0]);
    return text + "|" + buf.c_str() + "|" + std::to_string(len);
}

}  // namespace

TEST(Text, EveryTransformKeepsItsExactBytesAtTheEdges) {
    const std::string utf8 = "\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF";
    const struct { std::string (*transform)(const std::string&); std::string in, out; } rows[] = {
        // The JSON clients compare: named escapes, upper-case hex, NUL kept, other bytes as sent.
        {Json_Text, std::string("q\"b\\/\b\f\n\r\t\x01\x1f\x7f\0z", 15),
         "\"q\\\"b\\\\/\\b\\f\\n\\r\\t\\u0001\\u001F\x7f\\u0000z\"\n"},
        {Json_Text, utf8 + "\xFF\xC3(", "\"" + utf8 + "\xFF\xC3(\"\n"},
        // Line ends: CRLF or LF; a lone final CR stays; a CR before one last character goes.
        {Trims, "abc\r\n", "abc|abc|5"}, {Trims, "abc\n", "abc|abc|4"}, {Trims, "\n", "||1"},
        {Trims, "abc\r", "abc\r|abc\r|4"}, {Trims, "ab\rc", "ab|ab|4"}, {Trims, "", "||0"},
    };
    for (const auto& r : rows) EXPECT_EQ(r.transform(r.in), r.out) << "input " << r.in;
}

TEST(Files, NumberedLinesCountFromOneAndKeepTheirLineEnds) {
    const TempDir tmp;
    const std::string path = tmp.path + "/p";
    std::ofstream(path, std::ios::binary) << "first\nsecond";
    const struct { int number, rc; const char* line; } rows[] = {
        {1, 0, "first\n"}, {2, 0, "second"}, {3, -3, "-"}, {0, -2, "-"}};
    for (const auto& r : rows) {
        std::string line = "-";
        EXPECT_EQ(Get_Line_From_File(path.c_str(), line, r.number), r.rc) << r.number;
        EXPECT_EQ(line, r.line) << r.number;
    }
}

TEST(Uploads, ClientFileNamesThatNameTheFolderItselfAreSkipped) {
    // The device update stores files under the client's name; what is left
    // of it after its folders may still be the folder (or its parent).
    for (const char* name : {"a.bin", "x/..", "x/.", ""}) {
        char path[512] = "";
        const int code =
            Decide_Form_Field(kUpdateDeviceForm, "f", name, path, sizeof path, nullptr);
        EXPECT_EQ(code == FORM_FIELD_STORE, name[0] == 'a') << name;
    }
}
