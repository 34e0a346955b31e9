#include "form_reception.h"

#include <errno.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include "file_util.h"
#include "log.h"
#include "log_text.h"

// A file field is not left to the parser's own store, which truncates the
// target first and deletes it when the body breaks off. Its contents come
// through the value callback into a temporary (AtomicFile) that is put in
// place once the field is complete: the parser asks about the next field
// only after the boundary that ends this one, and fails the whole form when
// the body breaks off mid-field, so a cut-off upload never replaces a stored
// file and leaves no temporary behind.

namespace {

const form_field* Find_Field(const upload_form& form, const char* key) {
    for (size_t i = 0; i < form.count; i++) {
        const form_field& row = form.fields[i];
        if (row.name == nullptr || strcasecmp(row.name, key) == 0) return &row;
    }
    return nullptr;
}

// A name that would leave no file inside the target folder.
bool Is_Folder_Name(const char* name) {
    return name[0] == '\0' || strcmp(name, ".") == 0 || strcmp(name, "..") == 0;
}

int Field_Stored(const char* path, long long file_size, void* user_data) {
    const form_reception& rx = *static_cast<const form_reception*>(user_data);
    sync();
    if (rx.form.options & FORM_TIMED_STORE) {
        LOG_INFO("Rezudezi : field_stored path %s  file_size  %lld  time [%lld]ms\n",
                 Log_Line_Text(path).c_str(), file_size,
                 static_cast<long long>(get_time_ms() - rx.file_accepted_ms));
    } else {
        LOG_INFO("Rezudezi : field_stored path %s  file_size  %lld", Log_Line_Text(path).c_str(),
                 file_size);
    }
    return 0;
}

void Put_In_Place(form_reception& rx, AtomicFile& file) {
    if (!file.Commit()) return;
    rx.stored++;
    Field_Stored(file.target().c_str(), file.size(), &rx);
}

// The file field being received is complete.
void Finish_File(form_reception& rx) {
    if (!rx.file) return;
    std::unique_ptr<AtomicFile> file = std::move(rx.file);
    if (!(rx.form.options & FORM_DEFER)) {
        Put_In_Place(rx, *file);
        return;
    }
    // A later file for the same target replaces the earlier one.
    for (std::unique_ptr<AtomicFile>& kept : rx.received) {
        if (kept->target() == file->target()) {
            kept = std::move(file);
            return;
        }
    }
    rx.received.push_back(std::move(file));
}

// The value field being received is complete.
void Finish_Value(form_reception& rx) {
    if (rx.pending == nullptr) return;
    const form_field& field = *rx.pending;
    rx.pending = nullptr;
    const int len = static_cast<int>(rx.value.size());
    const std::string shown =
        (field.flags & FIELD_SECRET) ? std::string(kLogMask) : Log_Line_Text(rx.value.c_str());
    LOG_INFO("Rezudezi : the key is %s\tcopy %d bytes\tlen is %d\tthe value is %s",
             Log_Line_Text(rx.key.c_str()).c_str(), len, len, shown.c_str());
    rx.form.take_value(rx, field);
}

void Append_Value(form_reception& rx, const char* value, size_t len) {
    if (rx.value.size() + len > kMaxFormValue) {
        rx.value_refused = true;
        return;
    }
    rx.value.append(value, len);
}

int Field_Found(const char* key, const char* filename, char* path, size_t pathlen,
                void* user_data) {
    form_reception& rx = *static_cast<form_reception*>(user_data);
    Finish_File(rx);  // asked about this field, the parser has ended the one before
    if (rx.form.options & FORM_LOG_FIELDS) {
        // Names come from the client: escaped, so they cannot forge a log entry.
        LOG_INFO("Rezudezi : the key is [%s]  the filename is [%s]\n",
                 Log_Line_Text(key).c_str(), Log_Line_Text(filename ? filename : "").c_str());
    }
    Finish_Value(rx);
    const int code = Decide_Form_Field(rx.form, key, filename, path, pathlen, &rx.marks);
    if (code != FORM_FIELD_STORE) return code;
    rx.accepted++;
    rx.file_accepted_ms = get_time_ms();
    const DevPathId temp_dir = rx.form.temp_dir;
    rx.file.reset(new AtomicFile(path, temp_dir == PATH_COUNT ? "" : dev_path(temp_dir)));
    if (!rx.file->is_open()) {
        LOG_ERROR("cannot store %s: %s", path, strerror(errno));
        rx.file.reset();
        return FORM_FIELD_SKIP;
    }
    return FORM_FIELD_GET;  // the contents come to Field_Get
}

int Field_Get(const char* key, const char* value, size_t valuelen, void* user_data) {
    form_reception& rx = *static_cast<form_reception*>(user_data);
    if (rx.file) {
        rx.file->Write(value, valuelen);  // a failed write keeps the old file at the commit
        return 0;
    }
    // Further pieces of a long value come with an empty name (a field of
    // that name is refused before this).
    if (key == nullptr || key[0] == '\0') {
        if (rx.pending != nullptr) Append_Value(rx, value, valuelen);
        return 0;
    }
    Finish_Value(rx);
    const form_field* field = Find_Field(rx.form, key);
    if (field == nullptr || field->code != FORM_FIELD_GET || rx.form.take_value == nullptr) {
        return FORM_FIELD_ABORT;
    }
    rx.pending = field;
    rx.key = key;
    rx.value.clear();
    rx.value_refused = false;
    Append_Value(rx, value, valuelen);
    return 0;
}

}  // namespace

int Decide_Form_Field(const upload_form& form, const char* key, const char* filename, char* path,
                      size_t pathlen, int* marks) {
    const form_field* field = Find_Field(form, key);
    if (field == nullptr) return FORM_FIELD_ABORT;
    if (field->code != FORM_FIELD_STORE) return field->code;
    const bool has_name = filename != nullptr && filename[0] != '\0';
    if ((field->flags & FIELD_NEEDS_FILE_NAME) && !has_name) return FORM_FIELD_SKIP;
    int len;
    if (field->flags & FIELD_CLIENT_NAME) {
        // A file stored under the client's name must stay inside its folder.
        const char* name = has_name ? GET_NAME_FROM_PATH(filename) : "";
        if (Is_Folder_Name(name)) return FORM_FIELD_SKIP;
        len = snprintf(path, pathlen, "%s/%s", dev_path(field->target), name);
    } else {
        len = snprintf(path, pathlen, "%s", dev_path(field->target));
    }
    // A cut path would name another file (or the folder itself).
    if (len < 0 || static_cast<size_t>(len) >= pathlen) return FORM_FIELD_SKIP;
    if (marks != nullptr) *marks |= field->tag;
    return FORM_FIELD_STORE;
}

int Receive_Form(mg_connection* conn, form_reception& rx) {
    mg_form_data_handler parser = {Field_Found, Field_Get, Field_Stored, &rx};
    const int ret = Set_Formdata_Handler(conn, &parser);
    if (ret >= 0) {
        Finish_File(rx);
        Finish_Value(rx);
    } else {
        // Gone now: a route may reboot the device before rx ends. A value
        // in progress may be cut off: it is dropped, earlier ones are in effect.
        rx.file.reset();
        rx.received.clear();
        rx.pending = nullptr;
    }
    return ret;
}

void Commit_Received(form_reception& rx) {
    for (std::unique_ptr<AtomicFile>& file : rx.received) Put_In_Place(rx, *file);
    rx.received.clear();
}
