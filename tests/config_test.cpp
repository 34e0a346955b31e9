// Start-up configuration: the XML parameter store and the web configuration
// reader.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "log_capture.h"
#include "process_xml.h"
#include "user_case.h"
#include "xml.h"

namespace fs = std::filesystem;
using Params = std::vector<std::pair<std::string, std::string>>;

namespace {

// The captured log holds exactly one message, and it starts with prefix.
bool OnlyMessageStartsWith(const LogCapture& log, const std::string& prefix) {
    const std::string text = log.text();
    return text.rfind(prefix, 0) == 0 && std::count(text.begin(), text.end(), '\n') == 1;
}

void WriteFile(const fs::path& p, const std::string& text) {
    std::ofstream(p, std::ios::binary) << text;
}

std::string Section(const std::string& name, const std::string& body) {
    return "<" + name + ">" + body + "</" + name + ">";
}

std::string Store(const std::string& sections) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<CONFIGURATION>" + sections +
           "</CONFIGURATION>\n";
}

std::string ParamsXml(const Params& params) {
    std::string body;
    for (const auto& p : params)
        body += "\n  <PARAM NAME=\"" + p.first + "\" TYPE=\"string\">" + p.second + "</PARAM>";
    return body + "\n";
}

Params FullConfig(const std::string& cert) {
    return {{"webroot", "/srv/www"},
            {"weblog", "/etc/web/log.conf"},
            {"webcert", cert},
            {"webhttpport", "80"},
            {"webhttpsport", "443"}};
}

Params Without(Params params, const std::string& key) {
    for (auto it = params.begin(); it != params.end(); ++it)
        if (it->first == key) {
            params.erase(it);
            break;
        }
    return params;
}

// Runs fn in a forked child and returns its exit status (0..255). The child
// leaves with _exit so it never runs the test framework's teardown.
int InChild(const std::function<int()>& fn) {
    pid_t pid = fork();
    if (pid == 0) _exit(fn());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 255;
}

// 0: another process could take the lock now; 1: it is held elsewhere.
int OtherProcessTryLock(const fs::path& p) {
    return InChild([&] {
        int fd = open(p.c_str(), O_RDWR);
        if (fd < 0) return 2;
        int rc = flock(fd, LOCK_EX | LOCK_NB);
        if (rc == 0) return 0;
        return errno == EWOULDBLOCK ? 1 : 3;
    });
}

// Root reads everything; permission cases must run as an ordinary user.
int AsUnprivilegedChild(const std::function<int()>& fn) {
    return InChild([&] {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) return 250;
        return fn();
    });
}

int OpenFdCount() {
    int n = 0;
    for (const auto& e : fs::directory_iterator("/proc/self/fd")) {
        (void)e;
        ++n;
    }
    return n;
}

class TempDir : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kt_config_test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        file_ = dir_ / "webconf.xml";
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    // Reads one value through the store as the configuration reader does.
    int Read(const std::string& section, const std::string& name, std::string& value) {
        MyXMLProcess xml(file_.c_str());
        EXPECT_EQ(xml.OpenXMLFile(), 1);
        return xml.ReadXmlFile(section.c_str(), name.c_str(), value);
    }
    std::string ReadOrMarker(const std::string& section, const std::string& name) {
        std::string value = "<untouched>";
        Read(section, name, value);
        return value;
    }

    fs::path dir_;
    fs::path file_;
};

}  // namespace

// ---------------------------------------------------------------------------
// XML_StrError

TEST(XmlStrError, EdgesOfTheTableAndCodesOutsideIt) {
    EXPECT_STREQ(XML_StrError(tinyxml2::XMLError(0)), "XML ok");
    EXPECT_STREQ(XML_StrError(tinyxml2::XMLError(19)), "XML no text node");
    // The enumeration holds 0 to 31 (its codes end at 20): a value outside
    // that cannot be made without undefined behaviour, which the sanitizer
    // build rejects.
    EXPECT_STREQ(XML_StrError(tinyxml2::XMLError(20)), "XML unknown error");
    EXPECT_STREQ(XML_StrError(tinyxml2::XMLError(31)), "XML unknown error");
}

// ---------------------------------------------------------------------------
// Parameter store: opening

using StoreOpen = TempDir;

TEST_F(StoreOpen, MissingFileIsCreatedEmptyWithMode0644) {
    mode_t old = umask(0);
    {
        MyXMLProcess xml(file_.c_str());
        EXPECT_EQ(xml.OpenXMLFile(), 1);
        EXPECT_EQ(Err, 0);
        std::string v = "keep";
        EXPECT_EQ(xml.ReadXmlFile("webconfig", "webroot", v), 0);
        EXPECT_EQ(v, "keep");
    }
    umask(old);
    struct stat st;
    ASSERT_EQ(stat(file_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(st.st_size, 0);
}

TEST_F(StoreOpen, MalformedOrEmptyFileOpensAsEmptyStoreWithoutError) {
    for (const char* text : {"<CONFIGURATION><webconfig><PARAM NAME=\"webroot\">/x</PARAM>", ""}) {
        WriteFile(file_, text);
        LogCapture log;
        EXPECT_EQ(ReadOrMarker("webconfig", "webroot"), "<untouched>") << text;
        EXPECT_EQ(Err, 0) << text;
        EXPECT_EQ(log.text(), "") << text;
    }
}

TEST_F(StoreOpen, UnopenableFileStillGivesAnEmptyStore) {
    fs::path missing_dir_file = dir_ / "no-such-dir" / "webconf.xml";
    MyXMLProcess xml(missing_dir_file.c_str());
    EXPECT_EQ(xml.OpenXMLFile(), 1);
    std::string v = "keep";
    EXPECT_EQ(xml.ReadXmlFile("webconfig", "webroot", v), 0);
    EXPECT_FALSE(fs::exists(missing_dir_file));
}

TEST_F(StoreOpen, OverlongPathIsCutNotOverrun) {
    std::string longpath = dir_.string() + "/" + std::string(400, 'a');
    MyXMLProcess xml(longpath.c_str());
    EXPECT_EQ(xml.OpenXMLFile(), 1);
}

// ---------------------------------------------------------------------------
// Parameter store: the file lock

using StoreLock = TempDir;

TEST_F(StoreLock, HeldWhileTheObjectLivesAndReleasedAfter) {
    WriteFile(file_, Store(Section("webconfig", ParamsXml({{"a", "1"}}))));
    {
        MyXMLProcess xml(file_.c_str());
        EXPECT_EQ(OtherProcessTryLock(file_), 0) << "constructing alone must not lock";
        ASSERT_EQ(xml.OpenXMLFile(), 1);
        EXPECT_EQ(OtherProcessTryLock(file_), 1);
        std::string v;
        EXPECT_EQ(xml.ReadXmlFile("webconfig", "a", v), 1);
        EXPECT_EQ(OtherProcessTryLock(file_), 1) << "reads keep the lock";
    }
    EXPECT_EQ(OtherProcessTryLock(file_), 0);
}

TEST_F(StoreLock, OpeningWaitsForAnotherHolder) {
    WriteFile(file_, Store(""));
    int holder = open(file_.c_str(), O_RDWR);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX), 0);

    int pipefd[2];
    ASSERT_EQ(pipe(pipefd), 0);
    pid_t pid = fork();
    if (pid == 0) {
        // The inherited descriptor shares the holder's lock; keep only the parent's.
        close(holder);
        close(pipefd[0]);
        {
            MyXMLProcess xml(file_.c_str());
            xml.OpenXMLFile();
            (void)!write(pipefd[1], "x", 1);
        }
        _exit(0);
    }
    close(pipefd[1]);
    struct pollfd pfd = {pipefd[0], POLLIN, 0};
    EXPECT_EQ(poll(&pfd, 1, 300), 0) << "opened although the file was locked";
    close(holder);
    EXPECT_EQ(poll(&pfd, 1, 5000), 1) << "still waiting after the lock was released";
    close(pipefd[0]);
    waitpid(pid, nullptr, 0);
}

TEST_F(StoreLock, NoDescriptorOutlivesTheObject) {
    WriteFile(file_, Store(""));
    int before = OpenFdCount();
    {
        MyXMLProcess xml(file_.c_str());
        xml.OpenXMLFile();
        xml.OpenXMLFile();  // a second open must not leak the first descriptor
    }
    {
        MyXMLProcess xml(file_.c_str());  // never opened
    }
    EXPECT_EQ(OpenFdCount(), before);
}

// ---------------------------------------------------------------------------
// Parameter store: the value a read finds

using StoreRead = TempDir;

TEST_F(StoreRead, ValuesAsWrittenAndTheElementThatIsFound) {
    const std::string none = "<untouched>";
    const std::string v199(199, 'x'), v200(200, 'y');
    const std::string spaced = Store(Section("s", ParamsXml({{"p", "  80 "}, {"q", "a  b"}})));
    const std::string sized = Store(Section("s", ParamsXml({{"short", v199}, {"long", v200}})));
    const std::string no_text = Store(Section("s", "<PARAM NAME=\"empty\"/><PARAM NAME=\"elem\"><b/>x</PARAM>"
                                                   "<PARAM NAME=\"ok\">1</PARAM>"));
    const std::string mixed = Store(Section("s", "<ITEM NAME=\"before\">0</ITEM>"
                                                 "<PARAM NAME=\"a\">1</PARAM>"
                                                 "<ITEM NAME=\"after\">2</ITEM>"));
    const std::string webroot = Store(Section("s", ParamsXml({{"webroot", "/x"}})));
    const std::string twice = Store(Section("s", ParamsXml({{"a", "1"}})) +
                                    Section("s", ParamsXml({{"b", "2"}})));
    const struct {
        std::string document;
        const char* section;
        const char* name;
        std::string expected;
    } cases[] = {
        // Values as written: spaces kept, entities decoded, 199 characters
        // read and 200 refused.
        {spaced, "s", "p", "  80 "},
        {spaced, "s", "q", "a  b"},
        {Store(Section("s", ParamsXml({{"p", "a&amp;b&lt;c&gt;&#65;&quot;"}}))), "s", "p", "a&b<c>A\""},
        {sized, "s", "short", v199},
        {sized, "s", "long", none},
        // A PARAM without leading text is not found.
        {no_text, "s", "empty", none},
        {no_text, "s", "elem", none},
        {no_text, "s", "ok", "1"},
        // The first PARAM of a name wins; the search starts at the first
        // PARAM and then takes any tag; a section without PARAM has none.
        {Store(Section("s", ParamsXml({{"p", "first"}, {"p", "second"}}))), "s", "p", "first"},
        {mixed, "s", "before", none},
        {mixed, "s", "a", "1"},
        {mixed, "s", "after", "2"},
        {Store(Section("s", "<ITEM NAME=\"a\">1</ITEM>")), "s", "a", none},
        // Names and sections match exactly; only the first section of a
        // name is searched; sections live directly under CONFIGURATION.
        {webroot, "s", "WebRoot", none},
        {webroot, "s", "webroo", none},
        {webroot, "S", "webroot", none},
        {webroot, "other", "webroot", none},
        {twice, "s", "a", "1"},
        {twice, "s", "b", none},
        {"<ROOT>" + Section("s", ParamsXml({{"a", "1"}})) + "</ROOT>", "s", "a", none},
        {Store(Section("outer", Section("s", ParamsXml({{"a", "1"}})))), "s", "a", none},
    };
    for (const auto& c : cases) {
        WriteFile(file_, c.document);
        EXPECT_EQ(ReadOrMarker(c.section, c.name), c.expected)
            << c.section << "/" << c.name << " in " << c.document;
    }
}

TEST_F(StoreRead, CallerBufferMustHoldTheTerminatorToo) {
    WriteFile(file_, Store(Section("s", ParamsXml({{"p", "abc"}}))));
    MyXMLProcess xml(file_.c_str());
    ASSERT_EQ(xml.OpenXMLFile(), 1);
    char buf[8];
    memset(buf, 'Z', sizeof(buf));
    EXPECT_FALSE(xml.GetXMLParamVal("s", "p", buf, 3));
    EXPECT_EQ(std::string(buf, sizeof(buf)), std::string(8, 'Z'));
    EXPECT_FALSE(xml.GetXMLParamVal("s", "p", buf, 0));
    EXPECT_TRUE(xml.GetXMLParamVal("s", "p", buf, 4));
    EXPECT_STREQ(buf, "abc");
}

// ---------------------------------------------------------------------------
// Web configuration: required keys

class ConfigRead : public TempDir {
protected:
    void WriteConfig(const Params& params) {
        WriteFile(file_, Store(Section("webconfig", ParamsXml(params))));
    }
    // Runs the reader and returns what it printed on stdout.
    std::string Run(WEB_START_MODE mode, int* rc) {
        testing::internal::CaptureStdout();
        *rc = GetConfParamfromxml(file_.c_str(), &param_, mode);
        return testing::internal::GetCapturedStdout();
    }
    fs::path Cert() {
        fs::path cert = dir_ / "server.pem";
        WriteFile(cert, "-----BEGIN CERTIFICATE-----\n");
        return cert;
    }

    ConfInfoParam param_;
};

TEST_F(ConfigRead, CompleteFileFillsFourFieldsAndLeavesTheRestEmpty) {
    WriteConfig(FullConfig("/etc/web/server.pem"));
    int rc = -1;
    EXPECT_EQ(Run(WEB_MODE_HTTP, &rc), "");
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(param_.web_rootpath, "/srv/www");
    EXPECT_EQ(param_.log_confpath, "/etc/web/log.conf");
    EXPECT_EQ(param_.web_cermpath, "/etc/web/server.pem");
    EXPECT_EQ(param_.web_port, "80");
    for (const std::string* s : {&param_.auth_mode, &param_.ldap_URI, &param_.ldap_BaseDN,
                                 &param_.ldap_BindDN, &param_.ldap_Attr, &param_.ldap_CaPem})
        EXPECT_EQ(*s, "");
}

TEST_F(ConfigRead, TheFirstMissingKeyIsReportedAndTheReadFails) {
    const Params no_https_port = Without(FullConfig(Cert()), "webhttpsport");
    const struct {
        Params params;
        WEB_START_MODE mode;
        const char* key;
    } cases[] = {
        // The HTTPS port is required in every mode, HTTP included.
        {no_https_port, WEB_MODE_HTTP, "webhttpsport"},
        {no_https_port, WEB_MODE_HTTPS, "webhttpsport"},
        {no_https_port, WEB_MODE_BOTH, "webhttpsport"},
        {{{"webhttpport", "80"}}, WEB_MODE_HTTP, "webroot"},
        // A value too long to read counts as missing.
        {FullConfig(std::string(200, 'c')), WEB_MODE_HTTP, "webcert"},
    };
    for (const auto& c : cases) {
        WriteConfig(c.params);
        int rc = -1;
        EXPECT_EQ(Run(c.mode, &rc), std::string("read Error : ") + c.key + "!!!\n") << c.mode;
        EXPECT_EQ(rc, 0) << c.key << " mode " << c.mode;
    }
    // The longest value that can be read.
    WriteConfig(FullConfig(std::string(199, 'c')));
    int rc = -1;
    EXPECT_EQ(Run(WEB_MODE_HTTP, &rc), "");
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(param_.web_cermpath, std::string(199, 'c'));
}

TEST_F(ConfigRead, KeyOrderAndExtraKeysDoNotMatter) {
    Params params = {{"extra", "1"},         {"webhttpsport", "8443"}, {"webcert", "/c.pem"},
                     {"webhttpport", "8080"}, {"weblog", "/l.conf"},   {"another", "x"},
                     {"webroot", "/www"}};
    WriteConfig(params);
    int rc = -1;
    EXPECT_EQ(Run(WEB_MODE_HTTPS, &rc), "");
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(param_.web_rootpath, "/www");
    EXPECT_EQ(param_.log_confpath, "/l.conf");
    EXPECT_EQ(param_.web_cermpath, "/c.pem");
    EXPECT_EQ(param_.web_port, "8080r,8443s");
}

TEST_F(ConfigRead, FileIsUnlockedWhenTheReadEnds) {
    WriteConfig(FullConfig("/c.pem"));
    int rc = -1;
    Run(WEB_MODE_HTTP, &rc);
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(OtherProcessTryLock(file_), 0);
    WriteConfig(Without(FullConfig("/c.pem"), "weblog"));
    Run(WEB_MODE_HTTP, &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(OtherProcessTryLock(file_), 0) << "early failure must release the lock too";
}

// ---------------------------------------------------------------------------
// Web configuration: listening ports by start mode

TEST_F(ConfigRead, HttpsModeRedirectsHttpWithoutLookingAtTheCertificate) {
    WriteConfig(FullConfig((dir_ / "missing.pem").string()));
    LogCapture log;
    int rc = -1;
    Run(WEB_MODE_HTTPS, &rc);
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(param_.web_port, "80r,443s");
    EXPECT_EQ(log.text(), "");
}

TEST_F(ConfigRead, BothModeWithReadableCertificateServesBothPorts) {
    WriteConfig(FullConfig(Cert()));
    int rc = -1;
    Run(WEB_MODE_BOTH, &rc);
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(param_.web_port, "80,443s");
}

TEST_F(ConfigRead, BothModeWithoutCertificateFallsBackToHttpAndWarns) {
    std::string cert = (dir_ / "missing.pem").string();
    WriteConfig(FullConfig(cert));
    LogCapture log;
    int rc = -1;
    Run(WEB_MODE_BOTH, &rc);
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(param_.web_port, "80");
    EXPECT_TRUE(OnlyMessageStartsWith(
        log, "[WARN] WARING file [" + cert + "]! not exist --[src/process_xml.cpp:"))
        << log.text();
}

TEST_F(ConfigRead, BothModeWithUnreadableCertificateFallsBackToHttp) {
    fs::permissions(dir_, fs::perms(0777));
    fs::path cert = Cert();
    fs::permissions(cert, fs::perms::none);
    WriteConfig(FullConfig(cert.string()));
    fs::permissions(file_, fs::perms(0666));
    int status = AsUnprivilegedChild([&] {
        ConfInfoParam p;
        int rc = GetConfParamfromxml(file_.c_str(), &p, WEB_MODE_BOTH);
        return (rc == 1 && p.web_port == "80") ? 0 : 1;
    });
    EXPECT_EQ(status, 0);
}

TEST_F(ConfigRead, PortTextIsPassedOnWithItsSpaces) {
    Params params = FullConfig("/c.pem");
    params[3].second = " 80 ";
    params[4].second = " 443";
    WriteConfig(params);
    int rc = -1;
    Run(WEB_MODE_HTTPS, &rc);
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(param_.web_port, " 80 r, 443s");
}

// ---------------------------------------------------------------------------
// Certificate check

using CertCheck = TempDir;

TEST_F(CertCheck, UnreadableFileIsMinusTwo) {
    fs::permissions(dir_, fs::perms(0755));
    fs::path cert = dir_ / "c.pem";
    WriteFile(cert, "x");
    fs::permissions(cert, fs::perms::none);
    int status = AsUnprivilegedChild([&] {
        LogCapture log;
        int rc = ACCESS_CERM_FILE_EXIT_R_OK(cert.c_str());
        bool logged = OnlyMessageStartsWith(
            log, "[WARN] WARING file [" + cert.string() +
                     "]! without read permission --[src/process_xml.cpp:");
        return rc == -2 && logged ? 0 : 1;
    });
    EXPECT_EQ(status, 0);
}
