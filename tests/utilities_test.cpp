// Shell, text and file utilities at their boundaries.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "log_capture.h"
#include "process_qr370.h"
#include "webserver.h"

namespace {

class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/kt-util-XXXXXX";
        path_ = mkdtemp(tmpl);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

void Write(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

}  // namespace

// ---- fields -----------------------------------------------------------------

TEST(SplitMultiStr, WantedFieldOrTheLastOneThere) {
    // 1: the field was found with more after it; -1: the text ended, and the
    // buffer holds its last field.
    const struct {
        const char* text;
        int field;
        char sep;
        int rc;
        const char* out;
    } cases[] = {
        {"a bb ccc dddd eeeee", 5, ' ', -1, "eeeee"},
        {"a bb ccc dddd eeeee ffffff", 5, ' ', 1, "eeeee"},
        {"config get service capability", 5, ' ', -1, "capability"},
        {"a,,c,d", 2, ',', 1, ""},  // empty fields count
    };
    for (const auto& c : cases) {
        char buf[64] = {0};
        EXPECT_EQ(c.rc, Split_Multi_Str(c.text, c.field, buf, sizeof(buf), c.sep)) << c.text;
        EXPECT_STREQ(c.out, buf) << c.text;
    }
}

TEST(SplitMultiStr, FieldThatDoesNotFitIsRefusedWithoutOverflow) {
    LogCapture log;
    char buf[6];
    memset(buf, 0, sizeof(buf));
    EXPECT_EQ(-2, Split_Multi_Str("abcdef ghi", 1, buf, 5, ' '));
    EXPECT_STREQ("abcd", buf);
    EXPECT_EQ('\0', buf[5]);
    EXPECT_TRUE(log.contains("[ERROR] store buf size is too small --[src/webserver.cpp:"));
}

TEST(SplitStr, FirstSeparatorAndTheMissingParts) {
    const struct {
        const char* text;
        int rc;
        const char* head;  // the outputs start as "h" and "t"
        const char* tail;
        const char* logged;
    } cases[] = {
        {"key=val=ue", 1, "key", "val=ue", ""},
        {"=value", 0, "", "value", "[ERROR] val_fix is NULL --[src/webserver.cpp:"},
        {"novalue", 0, "h", "t", "[ERROR] can not find = --[src/webserver.cpp:"},
        {"key=", 0, "key", "", "val_tail is NULL"},
    };
    for (const auto& c : cases) {
        LogCapture log;
        std::string head = "h", tail = "t";
        EXPECT_EQ(c.rc, Split_Str(c.text, "=", head, tail)) << c.text;
        EXPECT_EQ(c.head, head) << c.text;
        EXPECT_EQ(c.tail, tail) << c.text;
        EXPECT_TRUE(log.contains(c.logged)) << c.text << ": " << log.text();
    }
}

// ---- line ends -------------------------------------------------------------------

TEST(LineEnds, StringTrimRemovesCrLfOrLfOnly) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {{"abc\r\n", "abc"}, {"abc\n", "abc"}, {"abc\r", "abc\r"}, {"", ""},
                 {"\n", ""},         {"x", "x"},       {"ab\rc", "ab"}};
    for (const Case& c : cases) {
        std::string s = c.in;
        Delete_String_Terminate_Char(s);
        EXPECT_EQ(c.out, s) << "input " << c.in;
    }
}

TEST(LineEnds, BufferTrimReturnsLengthBeforeTrimming) {
    char a[] = "abc\r\n";
    EXPECT_EQ(5, delete_terminate_char(a));
    EXPECT_STREQ("abc", a);
    char b[] = "\n";
    EXPECT_EQ(1, delete_terminate_char(b));
    EXPECT_STREQ("", b);
    char c[] = "";
    EXPECT_EQ(0, delete_terminate_char(c));
    char d[] = "ab\rc";
    delete_terminate_char(d);
    EXPECT_STREQ("ab", d);
}

// ---- UTF-8 for text frames -------------------------------------------------------

TEST(ValidUtf8, EachIllFormedPartBecomesOneReplacementAndValidTextPassesWhole) {
    const std::string R = "\xEF\xBF\xBD";
    struct Case {
        std::string in;
        std::string out;
    } cases[] = {
        {std::string("a\0b", 3), std::string("a\0b", 3)},
        {"\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF", "\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF"},
        {"\xEF\xBF\xBD\xED\x9F\xBF", "\xEF\xBF\xBD\xED\x9F\xBF"},  // U+FFFD itself, U+D7FF
        {"\xFF\xFE", R + R},
        {"\xC0\xAF", R + R},                 // overlong "/": C0 is never a lead
        {"\xE0\x80\xAF", R + R + R},         // overlong three-byte form
        {"\xED\xA0\x80", R + R + R},         // a surrogate
        {"\xF4\x90\x80\x80", R + R + R + R},  // above U+10FFFF
        {"\xF5\x80", R + R},
        {"\xE4\xB8", R},                     // cut at the end: one part
        {"\xE4\xB8x", R + "x"},
        {"\xF0\x9F\x98", R},
        {"\x80" "a", R + "a"},
        {"\xC3\xC3\xA9", R + "\xC3\xA9"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.out, Valid_Utf8(c.in.data(), c.in.size())) << "input " << c.in;
    }
}

// ---- percent-decoding -------------------------------------------------------

TEST(PercentDecoding, EscapesFollowTheDeviceArithmetic) {
    // Upper-case escapes become bytes and "+" stays. Only "A" to "F" are hex
    // letters: "a" is taken as its code minus 48. "!" is 15 below "0": the
    // digit is negative, and the byte is the low eight bits of (-15 * 16) | 0;
    // the undefined-behaviour build checks that arithmetic.
    const struct {
        const char* in;
        std::string out;
    } cases[] = {
        {"%E4%B8%AD+1", "\xE4\xB8\xAD+1"},
        {"%2a", std::string(1, static_cast<char>(((2 << 4) | ('a' - 48)) & 0xFF))},
        {"%!0%- ", std::string{static_cast<char>(0x10),
                               static_cast<char>(((('-' - 48) * 16) | (' ' - 48)) & 0xFF)}},
    };
    for (const auto& c : cases) {
        char out[32] = {0};
        EXPECT_EQ(static_cast<int>(c.out.size()), Process_Web_CH_Character(c.in, out, sizeof(out)))
            << c.in;
        EXPECT_EQ(c.out, std::string(out, c.out.size())) << c.in;
    }
}

TEST(PercentDecoding, FullBufferStopsWithMinusOneKeepingWhatWasWritten) {
    LogCapture log;
    char out[4] = {0};
    EXPECT_EQ(-1, Process_Web_CH_Character("abcdef", out, sizeof(out)));
    EXPECT_EQ(std::string("abc"), std::string(out, 3));
    EXPECT_TRUE(log.contains("[ERROR] buf is too samll --[src/webserver.cpp:"));
}

TEST(PercentDecoding, TrailingPercentNeverReadsPastTheEnd) {
    // Heap copies sized exactly, so a read past the terminator is caught by
    // the address sanitizer build.
    for (const char* text : {"ab%", "ab%4", "%"}) {
        std::string copy(text);
        char* src = static_cast<char*>(malloc(copy.size() + 1));
        memcpy(src, copy.c_str(), copy.size() + 1);
        char out[16] = {0};
        int n = Process_Web_CH_Character(src, out, sizeof(out));
        EXPECT_GE(n, 0) << text;
        EXPECT_LE(n, static_cast<int>(copy.size())) << text;
        free(src);
    }
}

// ---- files --------------------------------------------------------------------

TEST(NumberedLines, BoundariesAndLineEnds) {
    TempDir dir;
    const std::string two = dir.file("two");
    Write(two, "first\nsecond");
    std::string line = "untouched";
    EXPECT_EQ(0, Get_Line_From_File(two.c_str(), line, 1));
    EXPECT_EQ("first\n", line);
    EXPECT_EQ(0, Get_Line_From_File(two.c_str(), line, 2));
    EXPECT_EQ("second", line);

    LogCapture log;
    line = "untouched";
    EXPECT_EQ(-3, Get_Line_From_File(two.c_str(), line, 3));
    EXPECT_EQ("untouched", line);
    EXPECT_TRUE(log.contains("[WARN] file not exist 3 line --[src/webserver.cpp:"));
    EXPECT_EQ(-2, Get_Line_From_File(two.c_str(), line, 0));
    EXPECT_TRUE(log.contains("param i_cnt is < 0"));
    EXPECT_EQ(-1, Get_Line_From_File(dir.file("missing").c_str(), line, 1));
}

TEST(WholeFiles, RoundTripKeepsEveryByte) {
    TempDir dir;
    const std::string path = dir.file("blob");
    std::string data;
    for (int i = 0; i < 3000; i++) data += static_cast<char>(i % 256);
    EXPECT_EQ(0, StringToFile(path.c_str(), data.data(), data.size()));
    EXPECT_EQ(static_cast<int32_t>(data.size()), get_file_size(path.c_str()));
    std::string back = "head:";
    FileToString(path.c_str(), back);
    EXPECT_EQ("head:" + data, back);
}

TEST(WholeFiles, AStoreTakesEffectWholeOrNotAtAll) {
    TempDir dir;
    const std::string path = dir.file("doc");
    ASSERT_EQ(0, StringToFile(path.c_str(), "old", 3));
    chmod(path.c_str(), 0640);
    {
        AtomicFile cut(path);
        ASSERT_TRUE(cut.is_open());
        EXPECT_TRUE(cut.Write("new but cut", 11));
    }  // never committed: as a request whose body broke off
    std::string text;
    FileToString(path.c_str(), text);
    EXPECT_EQ("old", text);
    AtomicFile whole(path);
    EXPECT_TRUE(whole.Write("new", 3));
    EXPECT_TRUE(whole.Commit());
    text.clear();
    FileToString(path.c_str(), text);
    EXPECT_EQ("new", text);
    struct stat st;
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 07777);
    // Nothing but the stored file is left in the folder.
    size_t entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.file(""))) {
        (void)entry;
        entries++;
    }
    EXPECT_EQ(1u, entries);
}

TEST(WholeFiles, UnopenablePathsAreReported) {
    TempDir dir;
    const std::string bad = dir.file("no/such/file");
    EXPECT_EQ(-1, StringToFile(bad.c_str(), "x", 1));
    EXPECT_EQ(-1, get_file_size(bad.c_str()));
    std::string text = "same";
    FileToString(bad.c_str(), text);
    EXPECT_EQ("same", text);
}

TEST(Paths, ChecksAndCreation) {
    TempDir dir;
    LogCapture log;
    EXPECT_EQ(-1, ACCESS_FILE_EXIT_R_OK(dir.file("none").c_str()));
    EXPECT_TRUE(log.contains("[WARN] WARING file [" + dir.file("none") + "]! not exist"));
    Write(dir.file("f"), "x");
    EXPECT_EQ(0, ACCESS_FILE_EXIT_R_OK(dir.file("f").c_str()));

    EXPECT_EQ(0, Ensure_Dir(dir.file("new").c_str()));
    EXPECT_TRUE(log.contains("WARING path [" + dir.file("new") + "]! not exist"));
    EXPECT_TRUE(Exists(dir.file("new")));
    EXPECT_EQ(0, Ensure_Dir(dir.file("new").c_str()));
    // One level only: a missing parent is not created.
    EXPECT_NE(0, Ensure_Dir(dir.file("a/b").c_str()));
    EXPECT_FALSE(Exists(dir.file("a")));

    EXPECT_STREQ("fw.bin", GET_NAME_FROM_PATH("C:/temp/fw.bin"));
    EXPECT_STREQ("plain", GET_NAME_FROM_PATH("plain"));
    EXPECT_STREQ("", GET_NAME_FROM_PATH("dir/"));
}

// ---- programs -------------------------------------------------------------------

TEST(Programs, RawWaitStatus) {
    const struct {
        Argv argv;
        int status;
    } cases[] = {
        {{"/bin/sh", "-c", "exit 0"}, 0},
        {{"/bin/sh", "-c", "exit 3"}, 768},
        {{"/no/such/program"}, 127 << 8},
        {{"no-such-program-in-path"}, 127 << 8},
        {{}, -1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.status, Run_Program(c.argv)) << Command_Text(c.argv);
    }
}

TEST(Programs, ArgumentsArriveAsWordsAndAFileWithoutHashBangRunsAsAScript) {
    // User-mode emulation turns the spawn's vfork into a fork, so the
    // child's exec error (ENOEXEC here) never reaches the parent.
    if (getenv("KT_RUN_WRAPPER") != nullptr) GTEST_SKIP() << "exec errors are lost under emulation";
    TempDir dir;
    const std::string canary = dir.file("canary");
    const std::string hostile = "a'b\"c $(touch " + canary + ") `touch " + canary + "`; | && * \\";
    const std::string script = dir.file("no hashbang");
    Write(script, "printf '%s|' \"$@\"\n");
    chmod(script.c_str(), 0755);
    char buf[512] = {0};
    EXPECT_EQ(0, Run_Program_Output({script, hostile, ""}, buf, sizeof(buf)));
    EXPECT_EQ(hostile + "||", std::string(buf));
    EXPECT_FALSE(Exists(canary));
}

TEST(Programs, ChildGetsDefaultSignalsAndOnlyTheStandardStreams) {
    // The HTTP library ignores SIGPIPE in the server; programs must still see
    // the default, or pipelines like "yes | head" never end. No descriptor of
    // the server (here one opened without close-on-exec) reaches a program.
    struct sigaction ignore = {}, old = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &old);
    const int leaked = open("/dev/null", O_RDONLY);
    ASSERT_GE(leaked, 3);
    char buf[64] = {0};
    EXPECT_EQ(0, Run_Program_Output({"/bin/sh", "-c", "yes | head -n 2"}, buf, sizeof(buf)));
    EXPECT_STREQ("y\ny\n", buf);
    memset(buf, 0, sizeof(buf));
    EXPECT_EQ(0, Run_Program_Output({"/bin/sh", "-c", "ls /proc/$$/fd"}, buf, sizeof(buf)));
    EXPECT_STREQ("0\n1\n2\n", buf);
    close(leaked);
    sigaction(SIGPIPE, &old, nullptr);
}

TEST(Programs, OutputOverflowKeepsSizeMinusOneCharacters) {
    LogCapture log;
    char buf[10] = {0};
    EXPECT_EQ(0, Run_Program_Output({"printf", "1234567890abc"}, buf, sizeof(buf)));
    EXPECT_STREQ("123456789", buf);
    EXPECT_TRUE(log.contains("[WARN] buf overflow!!!,return buf : 123456789 --[src/webserver.cpp:"));
    char big[8192] = {0};
    EXPECT_EQ(0, Run_Program_Output({"/bin/sh", "-c", "head -c 5000 /dev/zero | tr '\\0' x; echo"},
                                    big, sizeof(big)));
    EXPECT_EQ(5001u, strlen(big));
}

TEST(Programs, CommandThatWouldNotFitIsRefusedNotCut) {
    TempDir dir;
    LogCapture log;
    const std::string canary = dir.file("ran");
    Write(dir.file("svc.sh"), "#!/bin/sh\ntouch " + canary + "\necho ok\n");
    chmod(dir.file("svc.sh").c_str(), 0755);
    char buf[32] = {0};
    EXPECT_EQ(-1, Get_ServiceFile_Key_Value(dir.file("svc.sh").c_str(), std::string(400, 'p').c_str(),
                                            buf, sizeof(buf)));
    EXPECT_STREQ("", buf);
    EXPECT_FALSE(Exists(canary));
    EXPECT_TRUE(log.contains("command refused"));
    EXPECT_EQ(0, Get_ServiceFile_Key_Value(dir.file("svc.sh").c_str(), "service_http", buf,
                                           sizeof(buf)));
    EXPECT_STREQ("ok\n", buf);
}

// ---- property files ---------------------------------------------------------------

TEST(Properties, SameBytesAsTheDeviceToolsOnTrickyFiles) {
    // Each row: a file, the values awk -F= '/^a/ {print $2}' prints, the file
    // after sed -i '/^a/c a=NEW', and after the last-line trim (tail -n1 |
    // tr -d '\n' > tmp; sed -i '$d'; cat tmp >>). Every row is also run
    // through those tools, so the table itself stays true.
    const struct {
        std::string file, values, replaced, trimmed;
    } rows[] = {
        {"a=1", "1\n", "a=NEW\n", "a=1"},                         // no final line end
        {"a=1\r\nb=2\r\n", "1\r\n", "a=NEW\nb=2\r\n", "a=1\r\nb=2\r"},  // CRLF
        {"ab=1\na=2\n", "1\n2\n", "a=NEW\na=NEW\n", "ab=1\na=2"},  // key as prefix
        {"a=x=y\n", "x\n", "a=NEW\n", "a=x=y"},                   // "=" in the value
        {"", "", "", ""},                                         // empty file
        {"a\n", "\n", "a=NEW\n", "a"},                            // no "=" at all
        {"a=1\nb=2", "1\n", "a=NEW\nb=2", "a=1\nb=2"},            // other last line kept
        {"x=1\n\n", "", "x=1\n\n", "x=1\n"},                      // no match, empty line
    };
    TempDir dir;
    const std::string path = dir.file("p"), tmp = dir.file("t");
    for (const auto& row : rows) {
        Write(path, row.file);
        char buf[64] = {0};
        EXPECT_EQ(0, Get_File_Key_Value(path.c_str(), "a", buf, sizeof(buf)));
        EXPECT_EQ(row.values, buf) << row.file;
        memset(buf, 0, sizeof(buf));
        Run_Program_Output({"awk", "-F=", "/^a/ {print $2}", path}, buf, sizeof(buf));
        EXPECT_EQ(row.values, buf) << "awk: " << row.file;

        EXPECT_EQ(0, Set_File_Key_Value(path.c_str(), "a", "NEW"));
        EXPECT_EQ(row.replaced, Read(path)) << row.file;
        Write(path, row.file);
        Run_Program({"sed", "-i", "/^a/c a=NEW", path});
        EXPECT_EQ(row.replaced, Read(path)) << "sed: " << row.file;

        Write(path, row.file);
        EXPECT_EQ(0, Edit_Property_File(path.c_str(), Strip_Final_Line_End));
        EXPECT_EQ(row.trimmed, Read(path)) << row.file;
        Write(path, row.file);
        Run_Program({"/bin/sh", "-c",
                     "tail -n1 \"$1\" | tr -d '\\n' > \"$2\"; sed -i '$d' \"$1\"; cat \"$2\" >> \"$1\"",
                     "sh", path, tmp});
        EXPECT_EQ(row.trimmed, Read(path)) << "tools: " << row.file;
    }
}

TEST(Properties, MissingFileHasNoValuesAndIsNotCreated) {
    TempDir dir;
    const std::string path = dir.file("missing");
    char buf[8] = {0};
    EXPECT_EQ(0, Get_File_Key_Value(path.c_str(), "a", buf, sizeof(buf)));
    EXPECT_STREQ("", buf);
    EXPECT_EQ(-1, Set_File_Key_Value(path.c_str(), "a", "1"));
    EXPECT_EQ(-1, Edit_Property_File(path.c_str(), Strip_Final_Line_End));
    EXPECT_FALSE(Exists(path));
}

TEST(Properties, LineBreakInValueIsRefused) {
    TempDir dir;
    const std::string path = dir.file("p");
    Write(path, "title=Old\n");
    EXPECT_EQ(-1, Set_File_Key_Value(path.c_str(), "title", "a\nb=c"));
    EXPECT_EQ(-1, Set_File_Key_Value(path.c_str(), "title", "a\rb"));
    EXPECT_EQ("title=Old\n", Read(path));
}

TEST(Properties, ConcurrentChangesOfOneFileKeepEveryLine) {
    TempDir dir;
    const std::string path = dir.file("p");
    const int kWriters = 8, kRounds = 25;
    std::string initial;
    for (int i = 0; i < kWriters; i++) initial += "k" + std::to_string(i) + "=start\n";
    Write(path, initial);
    std::vector<std::thread> writers;
    for (int i = 0; i < kWriters; i++) {
        writers.emplace_back([&, i] {
            const std::string key = "k" + std::to_string(i);
            for (int r = 0; r < kRounds; r++) {
                Set_File_Key_Value(path.c_str(), key.c_str(), std::to_string(r).c_str());
            }
        });
    }
    for (std::thread& t : writers) t.join();
    std::string expected;
    for (int i = 0; i < kWriters; i++) {
        expected += "k" + std::to_string(i) + "=" + std::to_string(kRounds - 1) + "\n";
    }
    EXPECT_EQ(expected, Read(path));
}
