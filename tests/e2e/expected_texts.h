// The message texts a user can see (../user_texts.h) and the style each
// is shown with.
#pragma once

#include "../user_texts.h"

namespace e2e {

// The text a message ID stands for; nullptr for an unknown ID.
inline const char *MessageText(int id) {
    switch (id) {
#define CELLVARO_TEXT_CASE(number, text) \
    case number: return text;
        CELLVARO_USER_TEXTS(CELLVARO_TEXT_CASE)
#undef CELLVARO_TEXT_CASE
    default: return nullptr;
    }
}

inline const char *const kCaption = MessageText(103);

constexpr int kStyleOk = 0;
constexpr int kStyleIconHand = 0x10;
constexpr int kStyleIconExclamation = 0x30;

// The style a message is shown with: the error icon for the driver-access
// message, the exclamation icon for the failed battery query, else MB_OK.
inline int MessageStyle(int id) {
    return id == 113 ? kStyleIconHand : id == 118 ? kStyleIconExclamation : kStyleOk;
}

// What the terminal box puts before the first line of a message with
// that style; empty for MB_OK.
inline const char *IconGlyph(int style) {
    return style == kStyleIconHand ? "(X) " : style == kStyleIconExclamation ? "(!) " : "";
}

}  // namespace e2e
