// The Windows C runtime's string helpers that the program uses, with the
// Windows semantics: bounded copies and formatting that cut to fit and
// always terminate, and case folding of A to Z only.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include <vector>

#include "hosted.h"

namespace {
constexpr int kEINVAL = 22;
constexpr int kERANGE = 34;
}

extern "C" int _wcsicmp(const wchar_t *a, const wchar_t *b) {
    for (;; a++, b++) {
        wchar_t ca = *a, cb = *b;
        if (ca >= L'A' && ca <= L'Z') ca = (wchar_t)(ca - L'A' + L'a');
        if (cb >= L'A' && cb <= L'Z') cb = (wchar_t)(cb - L'A' + L'a');
        if (ca != cb || ca == 0) return (int)ca - (int)cb;
    }
}

extern "C" int _vsnwprintf_s(wchar_t *buffer, size_t sizeOfBuffer, size_t count,
                             const wchar_t *format, va_list args) {
    if (!buffer || sizeOfBuffer == 0 || !format) return -1;
    size_t limit = count == _TRUNCATE || count >= sizeOfBuffer ? sizeOfBuffer - 1 : count;
    // Format into a buffer large enough for the whole text, then cut.
    std::vector<wchar_t> tmp(1024);
    int n;
    for (;;) {
        va_list ap;
        va_copy(ap, args);
        n = vswprintf(tmp.data(), tmp.size(), format, ap);
        va_end(ap);
        if (n >= 0 || tmp.size() > (1u << 20)) break;
        tmp.resize(tmp.size() * 4);
    }
    if (n < 0) {
        buffer[0] = 0;
        return -1;
    }
    if ((size_t)n <= limit) {
        wmemcpy(buffer, tmp.data(), (size_t)n + 1);
        return n;
    }
    wmemcpy(buffer, tmp.data(), limit);
    buffer[limit] = 0;
    return count == _TRUNCATE ? -1 : (int)limit;
}

extern "C" int _snwprintf_s(wchar_t *buffer, size_t sizeOfBuffer, size_t count,
                            const wchar_t *format, ...) {
    va_list ap;
    va_start(ap, format);
    int n = _vsnwprintf_s(buffer, sizeOfBuffer, count, format, ap);
    va_end(ap);
    return n;
}

extern "C" int _snprintf_s(char *buffer, size_t sizeOfBuffer, size_t count, const char *format,
                           ...) {
    if (!buffer || sizeOfBuffer == 0 || !format) return -1;
    size_t limit = count == _TRUNCATE || count >= sizeOfBuffer ? sizeOfBuffer - 1 : count;
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(nullptr, 0, format, ap);
    va_end(ap);
    if (n < 0) {
        buffer[0] = 0;
        return -1;
    }
    std::vector<char> tmp((size_t)n + 1);
    va_start(ap, format);
    (void)vsnprintf(tmp.data(), tmp.size(), format, ap);
    va_end(ap);
    if ((size_t)n <= limit) {
        memcpy(buffer, tmp.data(), (size_t)n + 1);
        return n;
    }
    memcpy(buffer, tmp.data(), limit);
    buffer[limit] = 0;
    return count == _TRUNCATE ? -1 : (int)limit;
}

namespace {
// The bounded copy of both character widths.
template <typename Char>
int BoundedCopy(Char *dest, size_t sizeOfDest, const Char *src, size_t count) {
    if (!dest || sizeOfDest == 0) return kEINVAL;
    if (!src) {
        dest[0] = 0;
        return kEINVAL;
    }
    size_t n = 0;
    while (n < count && src[n]) n++;
    if (n >= sizeOfDest) {
        if (count != _TRUNCATE) {
            dest[0] = 0;
            return kERANGE;
        }
        memcpy(dest, src, (sizeOfDest - 1) * sizeof(Char));
        dest[sizeOfDest - 1] = 0;
        return STRUNCATE;
    }
    memcpy(dest, src, n * sizeof(Char));
    dest[n] = 0;
    return 0;
}
}  // namespace

extern "C" int strncpy_s(char *dest, size_t sizeOfDest, const char *src, size_t count) {
    return BoundedCopy(dest, sizeOfDest, src, count);
}

extern "C" int wcsncpy_s(wchar_t *dest, size_t sizeOfDest, const wchar_t *src, size_t count) {
    return BoundedCopy(dest, sizeOfDest, src, count);
}
