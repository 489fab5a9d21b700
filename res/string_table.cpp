#include "string_table.h"

#include "string_resources.h"

// The texts as wide literals: expanded first, so that a name such as
// STR_COMPANY becomes its literal before it takes the L prefix.
#define CELLVARO_WIDE_LITERAL(s) L##s
#define CELLVARO_WIDE(s) CELLVARO_WIDE_LITERAL(s)
#define CELLVARO_STRING_ENTRY(name, id, text) {name, CELLVARO_WIDE(text)},

const CELLVARO_STRING_RESOURCE g_StringResources[] = {CELLVARO_STRINGS(CELLVARO_STRING_ENTRY)};

const unsigned g_StringResourceCount = sizeof g_StringResources / sizeof g_StringResources[0];
