// Start-up report of the configuration, and the static pages of the server.
#ifndef KT_USER_CASE_H
#define KT_USER_CASE_H

#include "process_xml.h"

// Logs one INFO line per field, in field order.
void PrintConfInfoParam(const ConfInfoParam* param);

#endif
