#include "process_json.h"

#include <json/writer.h>

void Json_Append_String(const char* begin, const char* end, std::string& out) {
    static const char kHex[] = "0123456789ABCDEF";
    out += '"';
    for (const char* p = begin; p != end; p++) {
        // Runs of bytes that stand as they are go in one append.
        const char* plain = p;
        while (p != end && static_cast<unsigned char>(*p) >= 0x20 && *p != '"' && *p != '\\') p++;
        out.append(plain, p);
        if (p == end) break;
        const unsigned char c = static_cast<unsigned char>(*p);
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            out += "\\u00";
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        }
    }
    out += '"';
}

namespace {

void Write_Value(const Json::Value& value, std::string& out) {
    switch (value.type()) {
    case Json::nullValue: out += "null"; break;
    case Json::intValue: out += Json::valueToString(value.asLargestInt()); break;
    case Json::uintValue: out += Json::valueToString(value.asLargestUInt()); break;
    case Json::realValue: out += Json::valueToString(value.asDouble()); break;
    case Json::booleanValue: out += value.asBool() ? "true" : "false"; break;
    case Json::stringValue: {
        const char* begin = nullptr;
        const char* end = nullptr;
        if (value.getString(&begin, &end)) Json_Append_String(begin, end, out);
        else out += "\"\"";
        break;
    }
    case Json::arrayValue: {
        out += '[';
        for (Json::ArrayIndex i = 0; i < value.size(); i++) {
            if (i > 0) out += ',';
            Write_Value(value[i], out);
        }
        out += ']';
        break;
    }
    case Json::objectValue: {
        // The value's own member order is byte order of the names.
        out += '{';
        bool first = true;
        for (auto it = value.begin(); it != value.end(); ++it) {
            if (!first) out += ',';
            first = false;
            const std::string name = it.name();
            Json_Append_String(name.data(), name.data() + name.size(), out);
            out += ':';
            Write_Value(*it, out);
        }
        out += '}';
        break;
    }
    }
}

}  // namespace

std::string Json_Write(const Json::Value& value) {
    std::string out;
    Write_Value(value, out);
    out += '\n';
    return out;
}

int ParseJsonMembers(const std::string& text, const json_member* members, size_t count) {
    // The reader throws on some inputs (nesting too deep), and text
    // conversion throws for arrays and objects: a frame from a client must
    // never end the process, so all of that reads as empty.
    try {
        Json::Reader reader;
        Json::Value root;
        if (!reader.parse(text, root, true) || !root.isObject()) return 0;
        const Json::Value& object = root;
        for (size_t i = 0; i < count; i++) {
            const Json::Value& member = object[members[i].name];
            *members[i].out =
                (member.isArray() || member.isObject()) ? std::string() : member.asString();
        }
        return 1;
    } catch (const std::exception&) {
        return 0;
    }
}

int ParseJsonStream(const std::string& text, const char* name, std::string& out) {
    const json_member member = {name, &out};
    return ParseJsonMembers(text, &member, 1);
}
