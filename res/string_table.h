// The string resources as the hosted build links them: the counterpart of
// the STRINGTABLE that the resource compiler puts into cellvaro.exe.
#pragma once

struct CELLVARO_STRING_RESOURCE {
    unsigned id;
    const wchar_t *text;
};

extern const CELLVARO_STRING_RESOURCE g_StringResources[];
extern const unsigned g_StringResourceCount;
