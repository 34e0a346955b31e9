#include "xml.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

using namespace tinyxml2;

namespace {

// Texts by numeric result code, in the numbering of the TinyXML-2 release the
// store was first written against. Later releases renumbered some codes, so
// from code 6 on a text may name a neighbouring error; the log keeps the
// historic wording rather than changing with the library.
const char* const kXmlErrorText[] = {
    "XML ok",
    "XML no attribute",
    "XML wrong attribute type",
    "XML file not found",
    "XML file could not be opened",
    "XML file read error",
    "XML element mismatch",
    "XML parsing element failed",
    "XML parsing attribute failed",
    "XML identifying tag",
    "XML parsing text failed",
    "XML parsing CDATA failed",
    "XML parsing comment failed",
    "XML parsing declaration failed",
    "XML parsing unknown failed",
    "XML empty document",
    "XML mismatched element",
    "XML parsing failed",
    "XML can not convert text",
    "XML no text node",
};
const int kXmlErrorTextCount = sizeof(kXmlErrorText) / sizeof(kXmlErrorText[0]);

// The usual mode of a configuration file: the owner writes, everyone reads.
const mode_t kCreatedFileMode = 0644;

}  // namespace

KT_XMLParser::KT_XMLParser(const char* file) {
    path[0] = '\0';
    if (file) {
        strncpy(path, file, sizeof(path) - 1);
        path[sizeof(path) - 1] = '\0';
    }
}

KT_XMLParser::~KT_XMLParser() {
    doc.Clear();
    if (fd >= 0) close(fd);
}

XMLError KT_XMLParser::Parse() {
    if (fd < 0) {
        // Close-on-exec: shell commands forked later must not inherit the lock.
        fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, kCreatedFileMode);
        if (fd >= 0) {
            // Wait for any other editor of the file; a signal does not end the wait.
            while (flock(fd, LOCK_EX) != 0 && errno == EINTR) {
            }
        }
    }
    if (doc.LoadFile(path) == XML_SUCCESS) return XML_SUCCESS;
    // A new, empty or broken file is treated as an empty store, not an error:
    // the caller then reports each missing key by name.
    return doc.Parse(FLUSHED_XML);
}

bool KT_XMLParser::GetXMLParamVal(const char* section, const char* name, char* buf,
                                  unsigned int size) {
    // A null tag would make TinyXML-2 match any element.
    if (!section || !name || !buf) return false;
    XMLElement* root = doc.FirstChildElement("CONFIGURATION");
    if (!root) return false;
    XMLElement* sect = root->FirstChildElement(section);
    if (!sect) return false;
    XMLElement* param = sect->FirstChildElement("PARAM");
    for (; param; param = param->NextSiblingElement()) {
        const char* n = param->Attribute("NAME");
        if (n && strcmp(n, name) == 0) break;
    }
    if (!param) return false;
    const char* text = param->GetText();
    if (!text) return false;
    size_t len = strlen(text);
    if (len >= size) return false;
    memcpy(buf, text, len + 1);
    return true;
}

KT_EXXMLParser::KT_EXXMLParser(const char* file) : KT_XMLParser(file) {}

KT_EXXMLParser::~KT_EXXMLParser() {}

const char* XML_StrError(XMLError error) {
    int code = static_cast<int>(error);
    if (code < 0 || code >= kXmlErrorTextCount) return "XML unknown error";
    return kXmlErrorText[code];
}
