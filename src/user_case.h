// Start-up report of the configuration, and the static pages of the server.
#ifndef KT_USER_CASE_H
#define KT_USER_CASE_H

#include "process_xml.h"

// Logs one INFO line per field, in field order.
void PrintConfInfoParam(const ConfInfoParam* param);

// Static pages of the web root, sent by the server itself whatever the
// method, query or body; a missing page gets no bytes at all.
struct mg_connection;
int CustomHandler(mg_connection* conn, void* cbdata);
int LoginHandler(mg_connection* conn, void* cbdata);

#endif
