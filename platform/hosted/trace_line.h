// The builder of trace lines: every stub of the hosted platform layer
// writes its line through it, so that each line is one JSON object whose
// members keep the order in which they were added.
#pragma once

#include <stddef.h>

#include <nlohmann/json.hpp>
#include <string>

#include "hosted.h"

namespace hosted {

// One trace line under construction: "event" first, then the members in
// the order added. While tracing is off nothing is built or written.
class CTraceLine {
public:
    explicit CTraceLine(const char *event);

    template <typename T>
    CTraceLine &Set(const char *key, const T &value) {
        if (_on) _line[key] = value;
        return *this;
    }
    CTraceLine &Null(const char *key);
    // A wide text as UTF-8; a null pointer is null.
    CTraceLine &Wide(const char *key, const wchar_t *text);
    // Bytes as lowercase hexadecimal digits.
    CTraceLine &Bytes(const char *key, const void *data, size_t size);
    // A handle as its number; a null handle is 0.
    CTraceLine &Handle(const char *key, const void *handle);

    void Write() const;

private:
    bool _on;
    nlohmann::ordered_json _line;
};

}  // namespace hosted
