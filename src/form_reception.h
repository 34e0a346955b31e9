// Reception of the upload routes' forms: each route describes its fields in
// a table, and one reception path stores their files and hands over their
// values.
#ifndef KT_FORM_RECEPTION_H
#define KT_FORM_RECEPTION_H

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "devpath.h"
#include "webserver.h"

enum form_field_flag : unsigned {
    FIELD_NEEDS_FILE_NAME = 1,  // a file field the client sent without a file name is skipped
    FIELD_CLIENT_NAME = 2,      // stored in the target folder under the client's file name
    FIELD_SECRET = 4,           // the value never reaches the log
};

// One field a route accepts.
struct form_field {
    const char* name;  // compared without case; null accepts any name
    int code;          // FORM_FIELD_STORE: a file stored at target; FORM_FIELD_GET: a value
    DevPathId target;  // the stored file, or with FIELD_CLIENT_NAME its folder
    unsigned flags;    // form_field_flag bits
    int tag;           // the route's own: a file's bit in marks, or what a value sets
};

enum form_option : unsigned {
    FORM_LOG_FIELDS = 1,   // every field's name and file name is logged
    FORM_TIMED_STORE = 2,  // the store line tells how long the file took to arrive
    // Complete files are kept aside for Commit_Received: the route
    // serialises its folder work after the body has arrived.
    FORM_DEFER = 4,
};

struct form_reception;

// What a route does with a plain value once it is complete: the value is
// rx.value as sent under the name rx.key; rx.value_refused tells that it
// was longer than kMaxFormValue and is held only in part.
typedef void (*form_value_handler)(form_reception& rx, const form_field& field);

struct upload_form {
    const form_field* fields;
    size_t count;
    unsigned options;               // form_option bits
    form_value_handler take_value;  // null for a form without value fields
    // Where the temporaries of a folder that others empty while the
    // contents arrive are kept (same file system); PATH_COUNT: each
    // temporary beside its target.
    DevPathId temp_dir;
};

// The form parser hands a long value over in pieces; a value is acted on
// once complete, and one beyond this size is refused whole rather than
// stored cut. No title or password comes near it.
const size_t kMaxFormValue = 16 * 1024;

// The state of one request's reception; the form parser's user data.
struct form_reception {
    form_reception(const upload_form& upload, void* route) : form(upload), route_state(route) {}

    const upload_form& form;
    void* route_state;               // the route's own per-request state
    int marks = 0;                   // tags of the file fields accepted
    int accepted = 0;                // file fields accepted
    int stored = 0;                  // files put in place

    // The file field being received, and when it was accepted.
    std::unique_ptr<AtomicFile> file;
    int64_t file_accepted_ms = 0;
    // With FORM_DEFER: complete files, not yet in place.
    std::vector<std::unique_ptr<AtomicFile>> received;
    // The value field being received.
    const form_field* pending = nullptr;
    std::string key;
    std::string value;
    bool value_refused = false;
};

// Reads the request's form into rx: the number of fields, negative when the
// request cannot be read as a form. Only a form read to its end (or to a
// refused field) completes the file and the value received last; a file
// received only in part never replaces a stored one.
int Receive_Form(mg_connection* conn, form_reception& rx);
// Puts the files a FORM_DEFER reception kept aside in place.
void Commit_Received(form_reception& rx);
// The code for a field: the target path written into path (a path that does
// not fit is skipped, never cut), and an accepted file's tag in *marks.
int Decide_Form_Field(const upload_form& form, const char* key, const char* filename, char* path,
                      size_t pathlen, int* marks);

#endif
