// Start-up configuration: the XML parameter store and the web configuration
// reader, at the edges a hand-edited device file reaches.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "process_xml.h"
#include "test_support.h"

namespace {

std::string P(const std::string& name, const std::string& value) {
    return "\n <PARAM NAME=\"" + name + "\" TYPE=\"string\">" + value + "</PARAM>";
}

std::string Doc(const std::string& body) {
    return "<?xml version=\"1.0\"?>\n<CONFIGURATION><webconfig>" + body +
           "</webconfig></CONFIGURATION>";
}

// The four keys after "webroot", all but skip.
std::string Rest(const std::string& cert, const std::string& skip = "") {
    const std::pair<const char*, std::string> keys[] = {
        {"weblog", "/l.conf"}, {"webcert", cert}, {"webhttpport", "80"}, {"webhttpsport", "443"}};
    std::string body;
    for (const auto& kv : keys) body += kv.first == skip ? "" : P(kv.first, kv.second);
    return body;
}

// Whether another process could take the store's lock now.
bool Lock_Free(const std::string& path) {
    const pid_t pid = fork();
    if (pid == 0) _exit(flock(open(path.c_str(), O_RDWR), LOCK_EX | LOCK_NB) == 0 ? 0 : 1);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

class Config : public ::testing::Test {
protected:
    // A document, or no file at all when it is empty.
    void Write(const std::string& text) {
        if (text.empty()) std::filesystem::remove(file_);
        else std::ofstream(file_, std::ios::binary) << text;
    }
    // What the reader printed (before logging exists), or the values it read.
    std::string Run(WEB_START_MODE mode) {
        ConfInfoParam p;
        testing::internal::CaptureStdout();
        const int rc = GetConfParamfromxml(file_.c_str(), &p, mode);
        const std::string out = testing::internal::GetCapturedStdout();
        if (rc != 1) return out;
        return out + p.web_port + "|" + p.web_rootpath + "|" + p.log_confpath + p.web_cermpath;
    }
    TempDir tmp_;
    const std::string dir_ = tmp_.path, file_ = dir_ + "/webconf.xml";
};

}  // namespace

TEST_F(Config, PortsFollowTheModeAndValuesAreFoundAsWrittenOrNotAtAll) {
    const std::string cert = dir_, gone = dir_ + "/missing.pem";  // a readable path, a missing one
    const std::string ok = "80|/w|/l.conf" + cert, v199(199, 'x'), w = P("webroot", "/w");
    const std::string no_root = "read Error : webroot!!!\n";
    const struct { std::string document; WEB_START_MODE mode; std::string expected; } rows[] = {
        {Doc(w + Rest(cert)), WEB_MODE_HTTP, ok},
        {Doc(w + Rest(gone)), WEB_MODE_HTTPS, "80r,443s|/w|/l.conf" + gone},
        {Doc(w + Rest(cert)), WEB_MODE_BOTH, "80,443s|/w|/l.conf" + cert},
        {Doc(w + Rest(gone)), WEB_MODE_BOTH, "80|/w|/l.conf" + gone},
        // Values as written: blanks kept, entities decoded, 199 characters at most.
        {Doc(P("webroot", " /w ") + Rest(cert, "webhttpport") + P("webhttpport", " 80 ")),
         WEB_MODE_HTTPS, " 80 r,443s| /w |/l.conf" + cert},
        {Doc(P("webroot", "a&amp;b&lt;&#65;&quot;") + Rest(cert)), WEB_MODE_HTTP,
         "80|a&b<A\"|/l.conf" + cert},
        {Doc(P("webroot", v199) + Rest(cert)), WEB_MODE_HTTP, "80|" + v199 + "|/l.conf" + cert},
        {Doc(P("webroot", v199 + "y") + Rest(cert)), WEB_MODE_HTTP, no_root},
        {Doc("<PARAM NAME=\"webroot\"><b/>x</PARAM>" + Rest(cert)), WEB_MODE_HTTP, no_root},
        // Any order, other keys ignored; the search starts at the first PARAM, then takes any
        // tag; the first of a name and of a section wins; sections sit right in CONFIGURATION.
        {Doc(Rest(cert) + P("x", "1") + "<I NAME=\"webroot\">/w</I>"), WEB_MODE_HTTP, ok},
        {Doc("<I NAME=\"webroot\">/w</I>" + Rest(cert)), WEB_MODE_HTTP, no_root},
        {Doc(w + P("webroot", "/2") + Rest(cert)), WEB_MODE_HTTP, ok},
        {Doc(Rest(cert) + "</webconfig><webconfig>" + P("webroot", "/w")), WEB_MODE_HTTP, no_root},
        {Doc(P("WebRoot", "/w") + Rest(cert)), WEB_MODE_HTTP, no_root},
        {"<CONFIGURATION><o><webconfig>" + w + Rest(cert) + "</webconfig></o></CONFIGURATION>",
         WEB_MODE_HTTP, no_root},
        // Every key is required, in every mode; the first missing one is named.
        {Doc(w + Rest(cert, "weblog")), WEB_MODE_BOTH, "read Error : weblog!!!\n"},
        {Doc(w + Rest(cert, "webcert")), WEB_MODE_BOTH, "read Error : webcert!!!\n"},
        {Doc(w + Rest(cert, "webhttpport")), WEB_MODE_BOTH, "read Error : webhttpport!!!\n"},
        {Doc(w + Rest(cert, "webhttpsport")), WEB_MODE_HTTP, "read Error : webhttpsport!!!\n"},
        {Doc(w + Rest(cert)).substr(0, 80), WEB_MODE_HTTP, no_root},  // not well-formed
        {"", WEB_MODE_HTTP, no_root},  // missing: created empty
    };
    for (const auto& r : rows) {
        Write(r.document);
        EXPECT_EQ(Run(r.mode), r.expected) << r.document;
        EXPECT_EQ(std::filesystem::file_size(file_), r.document.size());
        EXPECT_TRUE(Lock_Free(file_)) << "the read must release the file on every path";
    }
    MyXMLProcess xml(file_.c_str());
    ASSERT_EQ(xml.OpenXMLFile(), 1);
    EXPECT_FALSE(Lock_Free(file_)) << "other device tools must wait while the store is open";
}
