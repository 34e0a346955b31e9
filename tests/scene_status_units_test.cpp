// Field decisions of the device update and scene uploads, the TX/RX list body
// and the text the log route writes: the rules that the routes rely on,
// without a server.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "devpath.h"
#include "form_reception.h"
#include "process_qr370.h"
#include "webserver.h"

namespace {

const int kStore = 2;
const int kSkip = 0;

class TempFile {
public:
    explicit TempFile(const std::string& content) {
        char tmpl[] = "/tmp/kt-scene-XXXXXX";
        int fd = mkstemp(tmpl);
        close(fd);
        path_ = tmpl;
        std::ofstream(path_, std::ios::binary) << content;
    }
    ~TempFile() { unlink(path_.c_str()); }
    const char* path() const { return path_.c_str(); }

private:
    std::string path_;
};

std::string Update_Path(const char* name) {
    return std::string(dev_path(PATH_UPDATE_DIR)) + "/" + name;
}

// ---- device update: where a file field lands --------------------------------

TEST(UpdateDeviceField, AnyFieldIsStoredUnderTheLastComponentOfItsFileName) {
    const struct {
        const char* key;
        const char* filename;
        const char* stored;
    } cases[] = {
        {"fw", "C:/temp/fw.bin", "fw.bin"},
        {"anything", "fw.bin", "fw.bin"},
        {"", "/abs/dir/tool", "tool"},
        {"x", "C:\\temp\\fw.bin", "C:\\temp\\fw.bin"},  // only "/" separates
        {"x", "...", "..."},
    };
    for (const auto& c : cases) {
        char path[1024] = {0};
        EXPECT_EQ(Decide_Form_Field(kUpdateDeviceForm, c.key, c.filename, path, sizeof(path), nullptr), kStore)
            << c.filename;
        EXPECT_EQ(std::string(path), Update_Path(c.stored)) << c.filename;
    }
}

TEST(UpdateDeviceField, NamesLeavingNoFileInsideTheDirectoryAreSkipped) {
    const char* names[] = {nullptr, "", ".", "..", "a/..", "a/.", "dir/", "/"};
    for (const char* name : names) {
        char path[1024] = {0};
        EXPECT_EQ(Decide_Form_Field(kUpdateDeviceForm, "f", name, path, sizeof(path), nullptr), kSkip)
            << (name ? name : "(null)");
    }
}

TEST(UpdateDeviceField, APathThatDoesNotFitIsSkippedRatherThanCut) {
    const std::string exact = Update_Path("fw.bin");
    std::string path(exact.size() + 1, '\0');  // room for the terminator exactly
    EXPECT_EQ(Decide_Form_Field(kUpdateDeviceForm, "f", "fw.bin", &path[0], path.size(), nullptr), kStore);
    EXPECT_STREQ(path.c_str(), exact.c_str());
    // One byte less would store "fw.bi": another file than the one sent.
    EXPECT_EQ(Decide_Form_Field(kUpdateDeviceForm, "f", "fw.bin", &path[0], exact.size(), nullptr), kSkip);
}

// ---- scene upload: every file field lands on the temporary document -------

TEST(SceneUploadField, EveryFileFieldGoesToTheTemporaryDocument) {
    const std::string temp = std::string(dev_path(PATH_WEB_CLASSES)) + "/SystemConfigtemp.hoi";
    for (const char* key : {"scene", "file", "x", ""}) {
        char path[1024] = {0};
        EXPECT_EQ(Decide_Form_Field(kSceneUploadForm, key, "C:/any/name.hoi", path, sizeof(path), nullptr), kStore);
        EXPECT_EQ(std::string(path), temp);
    }
    char path[1024] = {0};
    EXPECT_EQ(Decide_Form_Field(kSceneUploadForm, "scene", "", path, sizeof(path), nullptr), kSkip);
    EXPECT_EQ(Decide_Form_Field(kSceneUploadForm, "scene", nullptr, path, sizeof(path), nullptr), kSkip);
    EXPECT_EQ(Decide_Form_Field(kSceneUploadForm, "scene", "s.hoi", path, 10, nullptr), kSkip);
}

// ---- TX/RX list: the route's tests check the plain bodies byte for byte ------

TEST(TxRxList, BytesThatWouldBreakTheJsonAreEscaped) {
    static const char kProps[] = "a=q\"b\\s\nb=nul\0x\nc=\x1f\r\nd=\xe6\x97\xa5\n";
    TempFile props(std::string(kProps, sizeof(kProps) - 1));
    EXPECT_EQ(TXRX_List_Body(props.path()),
              "{\"list\":\" q\\\"b\\\\s nul\\u0000x \\u001F \xe6\x97\xa5\"}");
}

// ---- log route text and the service parameters --------------------------------

TEST(LogLineText, ControlCharactersAndBackslashBecomeEscapes) {
    EXPECT_EQ(Log_Line_Text("a\nb\r\nc\td\\e\x01\x7f"), "a\\nb\\r\\nc\\td\\\\e\\x01\\x7F");
    EXPECT_EQ(Log_Line_Text("plain % text \xc3\xa9"), "plain % text \xc3\xa9");
    EXPECT_EQ(Log_Line_Text(""), "");
}

TEST(DeleteChar, RemovesEveryOccurrenceAndNothingElse) {
    EXPECT_EQ(DeleteChar("443\n", '\n'), "443");
    EXPECT_EQ(DeleteChar("\n8\n0\r\n", '\n'), "80\r");
    EXPECT_EQ(DeleteChar("", '\n'), "");
    EXPECT_EQ(DeleteChar("\n\n", '\n'), "");
}

}  // namespace
