// UTF-8 text to wide characters, for the machine file's texts and the
// hosted entry's arguments.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace sim {

// Decodes the UTF-8 in utf8 into out, one wchar_t a sequence. A sequence
// that the end of the text cuts short is decoded from the bytes there are,
// and the result is then false. Bytes that begin no sequence are taken as
// the lead of a four-byte one; nothing else is checked.
inline bool WideFromUtf8(const std::string &utf8, std::wstring *out) {
    out->clear();
    bool whole = true;
    for (size_t i = 0; i < utf8.size();) {
        const unsigned char c = (unsigned char)utf8[i];
        uint32_t cp;
        size_t n;
        if (c < 0x80) cp = c, n = 1;
        else if ((c & 0xE0) == 0xC0) cp = c & 0x1F, n = 2;
        else if ((c & 0xF0) == 0xE0) cp = c & 0x0F, n = 3;
        else cp = c & 0x07, n = 4;
        if (i + n > utf8.size()) {
            whole = false;
            n = utf8.size() - i;
        }
        for (size_t k = 1; k < n; k++) cp = cp << 6 | ((unsigned char)utf8[i + k] & 0x3F);
        out->push_back((wchar_t)cp);
        i += n;
    }
    return whole;
}

}  // namespace sim
