// The program's texts as the test expects them (../user_texts.h).
#pragma once

#include <windows.h>

#include "../user_texts.h"

struct EXPECTED_TEXT {
    unsigned id;
    const wchar_t *text;
};

inline constexpr EXPECTED_TEXT kExpectedTexts[] = {
#define CELLVARO_WIDE_TEXT(number, text) {number, L"" text},
    CELLVARO_USER_TEXTS(CELLVARO_WIDE_TEXT)
#undef CELLVARO_WIDE_TEXT
};

// Texts that are only described: they must load and be non-empty, and the
// recall notice must begin and end with these lines.
inline constexpr unsigned kDescribedTextIds[] = {105, 106, 116};
inline constexpr unsigned kRecallNoticeId = 116;
inline constexpr wchar_t kRecallNoticeFirstLine[] = L"お客様がお持ちのバッテリーパックは、リコール対象製品の可能性があります。";
inline constexpr wchar_t kRecallNoticeLastLine[] = L"今すぐ、交換手続きを行いますか？";

inline constexpr unsigned kFirstTextId = 103;
inline constexpr unsigned kLastTextId = 118;
inline constexpr unsigned kTitleId = 103;
inline constexpr unsigned kOtherUserId = 112;
inline constexpr unsigned kDriverErrorId = 113;
inline constexpr unsigned kQueryFailedId = 118;

// The text with the given ID from the table above; nullptr if it has none.
inline const wchar_t *ExpectedText(unsigned id) {
    for (const EXPECTED_TEXT &t : kExpectedTexts) {
        if (t.id == id) return t.text;
    }
    return nullptr;
}

// The system icon that the box of this message shows: the error icon for
// the driver-access message, the exclamation icon for the failed battery
// query; nullptr for the MB_OK boxes.
inline LPCWSTR ExpectedIcon(unsigned id) {
    if (id == kDriverErrorId) return IDI_HAND;
    if (id == kQueryFailedId) return IDI_EXCLAMATION;
    return nullptr;
}
