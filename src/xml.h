// Parameter store kept in an XML file: named text values grouped in sections,
// <CONFIGURATION><section><PARAM NAME="key">value</PARAM>...</section>.
// An opened store holds an exclusive flock on its file for its whole life, so
// other processes that edit the file through the same store wait for us.
#ifndef KT_XML_H
#define KT_XML_H

#include <tinyxml2.h>

// What an empty store looks like; loaded when the file is new or unusable.
#define FLUSHED_XML "<CONFIGURATION></CONFIGURATION>"

class KT_XMLParser {
public:
    explicit KT_XMLParser(const char* path);
    ~KT_XMLParser();

    KT_XMLParser(const KT_XMLParser&) = delete;
    KT_XMLParser& operator=(const KT_XMLParser&) = delete;

    // Opens (creating if needed) and locks the file, then loads it; a file
    // that cannot be loaded leaves an empty store. 0 when a document is held.
    tinyxml2::XMLError Parse();

    // Copies the text of PARAM `name` in `section` into buf. False, buf
    // untouched, when the value is missing or does not fit with its
    // terminator.
    bool GetXMLParamVal(const char* section, const char* name, char* buf, unsigned int size);

protected:
    char path[256];
    // Spaces around a value belong to it; entities are decoded.
    tinyxml2::XMLDocument doc{true, tinyxml2::PRESERVE_WHITESPACE};
    int fd = -1;  // owned; closing it releases the lock
};

// Kept as its own layer so stores with extra operations can grow here.
class KT_EXXMLParser : public KT_XMLParser {
public:
    explicit KT_EXXMLParser(const char* path);
    ~KT_EXXMLParser();
};

// Static message text for a TinyXML-2 result; never null.
const char* XML_StrError(tinyxml2::XMLError error);

#endif
