// Text and property-file helpers at the edges clients and device files reach.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "process_json.h"
#include "process_qr370.h"
#include "webserver.h"

namespace {

std::string Json_Text(const std::string& s) { return Json_Write(Json::Value(s)); }
std::string Utf8(const std::string& s) { return Valid_Utf8(s.data(), s.size()); }
// Both line-end trims, and the length the buffer form reports.
std::string Trims(const std::string& s) {
    std::string text = s, buf = s;
    Delete_String_Terminate_Char(text);
    const int len = delete_terminate_char(&buf[0]);
    return text + "|" + buf.c_str() + "|" + std::to_string(len);
}
std::string Decode(const std::string& s) {
    char out[8] = {0};
    const int n = Process_Web_CH_Character(s.c_str(), out, sizeof out);
    return std::to_string(n) + ":" + std::string(out, strnlen(out, sizeof out));
}
// The second blank-separated field into 5 bytes; "!" when the byte after them changed.
std::string Field(const std::string& s) {
    char out[6] = {0, 0, 0, 0, 0, 'Z'};
    const int rc = Split_Multi_Str(s.c_str(), 2, out, 5, ' ');
    return std::to_string(rc) + ":" + std::string(out, strnlen(out, 5)) + (out[5] == 'Z' ? "" : "!");
}
std::string Split(const std::string& s) {
    std::string head = "h", tail = "t";
    return std::to_string(Split_Str(s, "=", head, tail)) + ":" + head + ":" + tail;
}

std::string Read(const std::string& path) {
    std::stringstream ss;
    ss << std::ifstream(path, std::ios::binary).rdbuf();
    return ss.str();
}

class Files : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kt-util-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        path_ = (dir_ = tmpl) + "/p";
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    void Write(const std::string& text) { std::ofstream(path_, std::ios::binary) << text; }
    std::string dir_, path_;
};

}  // namespace

TEST(Text, EveryTransformKeepsItsExactBytesAtTheEdges) {
    const std::string R = "\xEF\xBF\xBD", utf8 = "\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF";
    const struct {
        std::string (*transform)(const std::string&);
        std::string in, out;
    } rows[] = {
        // The JSON clients compare: named escapes, upper-case hex, NUL kept,
        // every other byte as the device wrote it.
        {Json_Text, std::string("q\"b\\/\b\f\n\r\t\x01\x1f\x7f\0z", 15),
         "\"q\\\"b\\\\/\\b\\f\\n\\r\\t\\u0001\\u001F\x7f\\u0000z\"\n"},
        {Json_Text, utf8 + "\xFF\xC3(", "\"" + utf8 + "\xFF\xC3(\"\n"},
        // Text frames: each ill-formed part becomes one replacement character.
        {Utf8, utf8 + R + std::string(1, '\0'), utf8 + R + std::string(1, '\0')},
        {Utf8, "\xC0\xAF\xED\xA0\x80", R + R + R + R + R},  // overlong "/", a surrogate
        {Utf8, "\xF4\x90\x80\x80", R + R + R + R},  // above U+10FFFF
        {Utf8, "\x80\xE4\xB8x\xC3\xC3\xA9\xE4\xB8", R + R + "x" + R + "\xC3\xA9" + R},  // cut short
        // Line ends: CRLF or LF; a lone final CR stays; a CR before one last character goes.
        {Trims, "abc\r\n", "abc|abc|5"},
        {Trims, "abc\n", "abc|abc|4"},
        {Trims, "abc\r", "abc\r|abc\r|4"},
        {Trims, "ab\rc", "ab|ab|4"},
        {Trims, "\n", "||1"},
        {Trims, "", "||0"},
        // Web text: upper-case hex only ("a" counts as its code minus 48), "+"
        // stays, a full buffer stops with what fits.
        {Decode, "%E4%B8%AD+1", "5:\xE4\xB8\xAD+1"},
        {Decode, "%2a", "1:" + std::string(1, char((2 << 4) | ('a' - 48)))},
        {Decode, "abcdefghij", "-1:abcdefg"},
        // Fields count from 1, empty ones too; the text's end gives -1 and the last one.
        {Field, "a bb ccc", "1:bb"},
        {Field, "a bb", "-1:bb"},
        {Field, "a  c", "1:"},
        {Field, "a toolong x", "-2:tool"},
        {Split, "key=val=ue", "1:key:val=ue"},
        {Split, "=value", "0::value"},
        {Split, "key=", "0:key:"},
        {Split, "novalue", "0:h:t"},
    };
    for (const auto& r : rows) EXPECT_EQ(r.transform(r.in), r.out) << "input " << r.in;
}

TEST_F(Files, NumberedLinesCountFromOneAndKeepTheirLineEnds) {
    Write("first\nsecond");
    const struct {
        int number, rc;
        const char* line;
    } rows[] = {{1, 0, "first\n"}, {2, 0, "second"}, {3, -3, "-"}, {0, -2, "-"}};
    for (const auto& r : rows) {
        std::string line = "-";
        EXPECT_EQ(Get_Line_From_File(path_.c_str(), line, r.number), r.rc) << r.number;
        EXPECT_EQ(line, r.line) << r.number;
    }
    std::string line;
    EXPECT_EQ(Get_Line_From_File((dir_ + "/none").c_str(), line, 1), -1);
}

TEST_F(Files, PropertiesReadAndWriteAsTheDeviceToolsDo) {
    // A file, the values awk -F= '/^a/ {print $2}' prints, the file after
    // sed -i '/^a/c a=NEW', and after the last line's line end is removed.
    const struct {
        std::string file, values, replaced, trimmed;
    } rows[] = {
        {"a=1", "1\n", "a=NEW\n", "a=1"},
        {"a=1\r\nb=2\r\n", "1\r\n", "a=NEW\nb=2\r\n", "a=1\r\nb=2\r"},
        {"ab=1\na=2\n", "1\n2\n", "a=NEW\na=NEW\n", "ab=1\na=2"},  // the key is a prefix
        {"a=x=y\n", "x\n", "a=NEW\n", "a=x=y"},
        {"a\n", "\n", "a=NEW\n", "a"},
        {"x=1\n\n", "", "x=1\n\n", "x=1\n"},  // nothing is appended
    };
    for (const auto& r : rows) {
        Write(r.file);
        char buf[64] = {0};
        EXPECT_EQ(Get_File_Key_Value(path_.c_str(), "a", buf, sizeof buf), 0);
        EXPECT_EQ(buf, r.values) << r.file;
        EXPECT_EQ(delete_file_terminate(path_.c_str()), 0);
        EXPECT_EQ(Read(path_), r.trimmed) << r.file;
        Write(r.file);
        EXPECT_EQ(Set_File_Key_Value(path_.c_str(), "a", "NEW"), 0);
        EXPECT_EQ(Read(path_), r.replaced) << r.file;
    }
    EXPECT_EQ(Set_File_Key_Value((dir_ + "/none").c_str(), "a", "1"), -1);
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/none"));
}

TEST_F(Files, ConcurrentChangesOfOneFileKeepEveryLine) {
    std::string initial, expected;
    for (int i = 0; i < 8; i++) {
        initial += "k" + std::to_string(i) + "=start\n";
        expected += "k" + std::to_string(i) + "=24\n";
    }
    Write(initial);
    std::vector<std::thread> writers;
    for (int i = 0; i < 8; i++)
        writers.emplace_back([this, i] {
            for (int r = 0; r < 25; r++)
                Set_File_Key_Value(path_.c_str(), ("k" + std::to_string(i)).c_str(), std::to_string(r).c_str());
        });
    for (std::thread& t : writers) t.join();
    EXPECT_EQ(Read(path_), expected);
}
