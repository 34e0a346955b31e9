// The JSON bytes clients compare, and reading members of client frames.
#include <gtest/gtest.h>

#include <string>

#include "process_json.h"

// The broadcast envelope's exact bytes are checked end to end by the relay
// tests; these are the writer's edges.
TEST(JsonWriter, NamedEscapesAndUpperCaseHexForOtherControls) {
    const std::string text = std::string("q\"b\\s/\b\f\n\r\t") + '\x01' + '\x1f' + '\x7f';
    Json::Value v = text;
    EXPECT_EQ("\"q\\\"b\\\\s/\\b\\f\\n\\r\\t\\u0001\\u001F\x7f\"\n", Json_Write(v));
}

TEST(JsonWriter, NulInsideTextIsEscapedNotCut) {
    Json::Value v = std::string("a\0b", 3);
    EXPECT_EQ("\"a\\u0000b\"\n", Json_Write(v));
}

TEST(JsonWriter, Utf8AndInvalidBytesPassUnchanged) {
    // Non-Latin device names must reach clients as the device wrote them;
    // bytes that are not UTF-8 are not "repaired" either.
    const std::string utf8 = "\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x8E\xA5";
    const std::string broken = "\xFF\xFE\xC3(\x80";
    Json::Value v = utf8 + broken;
    EXPECT_EQ("\"" + utf8 + broken + "\"\n", Json_Write(v));
}

TEST(JsonMembers, MembersReadAsText) {
    const std::string frame =
        "{\"type\":\"login\",\"command\":\"admin pw\",\"result\":5,\"comName\":true,\"r\":1.5}";
    std::string out;
    EXPECT_EQ(1, ParseJsonStream(frame, "type", out));
    EXPECT_EQ("login", out);
    EXPECT_EQ(1, ParseJsonStream(frame, "result", out));
    EXPECT_EQ("5", out);
    EXPECT_EQ(1, ParseJsonStream(frame, "comName", out));
    EXPECT_EQ("true", out);
    EXPECT_EQ(1, ParseJsonStream(frame, "missing", out));
    EXPECT_EQ("", out);
}

TEST(JsonMembers, UnparsableFramesLeaveOutputUnchanged) {
    for (const char* frame : {"", "not json", "{\"type\":", "{\"a\":1,}"}) {
        std::string out = "keep";
        EXPECT_EQ(0, ParseJsonStream(frame, "type", out)) << frame;
        EXPECT_EQ("keep", out) << frame;
    }
}

TEST(JsonMembers, NonObjectRootsAndContainerMembersReadAsEmpty) {
    std::string out;
    EXPECT_EQ(0, ParseJsonStream("[1,2,3]", "type", out));
    EXPECT_EQ("", out);
    EXPECT_EQ(0, ParseJsonStream("\"text\"", "type", out));
    EXPECT_EQ(0, ParseJsonStream("42", "type", out));
    EXPECT_EQ(1, ParseJsonStream("{\"type\":[\"login\"]}", "type", out));
    EXPECT_EQ("", out);
    EXPECT_EQ(1, ParseJsonStream("{\"type\":{\"a\":1}}", "type", out));
    EXPECT_EQ("", out);
}

TEST(JsonMembers, DeepNestingNeverEndsTheProcess) {
    const std::string deep = "{\"type\":" + std::string(5000, '[') + std::string(5000, ']') + "}";
    std::string out = "keep";
    EXPECT_EQ(0, ParseJsonStream(deep, "type", out));
    EXPECT_EQ("keep", out);
}
