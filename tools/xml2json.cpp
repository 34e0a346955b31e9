// Converts a scene document (XML) into the project document (JSON) that the
// front-end and the control service read.
//
//   xml2json SCENE.hoi PROJECT.json
//
// Layout: the document is one object holding the root element under its
// name. Every element is an object; its attributes become string members,
// its text (whitespace-only text ignored, the rest joined) the member
// "#text", and its child elements members under their names. Members of the
// same name (repeated child elements, or an attribute and a child of one
// name) are collected into an array in document order.
//
// Prints "1" on success; "0" and the reason otherwise. The project document
// is replaced only by a complete conversion.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <memory>
#include <string>

#include <json/json.h>
#include <tinyxml2.h>

#include "process_json.h"

namespace {

const char kTextMember[] = "#text";

void Add_Member(Json::Value& object, const char* name, Json::Value value) {
    if (!object.isMember(name)) {
        object[name] = std::move(value);
        return;
    }
    Json::Value& slot = object[name];
    if (!slot.isArray()) {
        Json::Value first = slot;
        slot = Json::Value(Json::arrayValue);
        slot.append(first);
    }
    slot.append(std::move(value));
}

bool Whitespace_Only(const char* text) {
    for (const char* p = text; *p != '\0'; p++) {
        if (strchr(" \t\r\n", *p) == nullptr) return false;
    }
    return true;
}

// Depth-first over the element tree; a scene is shallow, but the depth is
// bounded anyway so a hostile document cannot exhaust the stack.
const int kMaxDepth = 200;

bool Element_To_Json(const tinyxml2::XMLElement* element, Json::Value& out, int depth) {
    if (depth > kMaxDepth) return false;
    out = Json::Value(Json::objectValue);
    for (const tinyxml2::XMLAttribute* a = element->FirstAttribute(); a; a = a->Next()) {
        Add_Member(out, a->Name(), Json::Value(a->Value()));
    }
    std::string text;
    for (const tinyxml2::XMLNode* node = element->FirstChild(); node; node = node->NextSibling()) {
        if (const tinyxml2::XMLElement* child = node->ToElement()) {
            Json::Value value;
            if (!Element_To_Json(child, value, depth + 1)) return false;
            Add_Member(out, child->Name(), std::move(value));
        } else if (const tinyxml2::XMLText* t = node->ToText()) {
            if (!Whitespace_Only(t->Value())) text += t->Value();
        }
    }
    if (!text.empty()) Add_Member(out, kTextMember, Json::Value(text));
    return true;
}

int Fail(const std::string& reason) {
    printf("0 %s\n", reason.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) return Fail("usage: xml2json SCENE.hoi PROJECT.json");
    const char* scene = argv[1];
    const std::string project = argv[2];

    tinyxml2::XMLDocument doc;
    if (doc.LoadFile(scene) != tinyxml2::XML_SUCCESS) {
        return Fail(std::string("cannot read ") + scene + ": " + doc.ErrorStr());
    }
    const tinyxml2::XMLElement* root = doc.RootElement();
    if (root == nullptr) return Fail("no root element");

    Json::Value body;
    if (!Element_To_Json(root, body, 0)) return Fail("elements nested too deeply");
    Json::Value top(Json::objectValue);
    top[root->Name()] = std::move(body);
    const std::string text = Json_Write(top);

    // Written aside and renamed, so readers never see half a document.
    const std::string partial = project + ".part";
    std::unique_ptr<FILE, int (*)(FILE*)> f(fopen(partial.c_str(), "wb"), fclose);
    if (!f) return Fail("cannot write " + partial + ": " + strerror(errno));
    const bool written = fwrite(text.data(), 1, text.size(), f.get()) == text.size();
    const bool closed = fclose(f.release()) == 0;  // a full disk shows here
    if (!written || !closed || rename(partial.c_str(), project.c_str()) != 0) {
        remove(partial.c_str());
        return Fail("cannot write " + project);
    }
    printf("1\n");
    return 0;
}
