// JSON in and out: reading members of WebSocket frames, and the one writer
// of every JSON document the server sends.
#ifndef KT_PROCESS_JSON_H
#define KT_PROCESS_JSON_H

#include <json/json.h>

#include <string>

// Reads member name of the JSON text as text into out: 1 when the text
// parsed as an object, 0 otherwise (out unchanged). A missing or null member
// gives "", an array or object member "" as well.
int ParseJsonStream(const std::string& text, const char* name, std::string& out);

// One member to read, and where its text goes.
struct json_member {
    const char* name;
    std::string* out;
};
// Reads every listed member as ParseJsonStream does, from one parse of text.
int ParseJsonMembers(const std::string& text, const json_member* members, size_t count);

// Compact JSON with a final line feed: members in byte order of their names,
// no blanks, '"' '\\' \b \f \n \r \t escaped, other bytes below 32 as \u00XX
// in upper-case hex, every other byte (UTF-8 or not) unchanged. Clients
// compare these bytes, so every document goes through here.
std::string Json_Write(const Json::Value& value);
// Appends [begin, end) to out as a JSON string, quoted and escaped as above.
void Json_Append_String(const char* begin, const char* end, std::string& out);

#endif
