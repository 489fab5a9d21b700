// The program's texts as the test expects them, written out here on their
// own (not taken from res/string_resources.h), so that a wrong text in the header or
// a decoding fault of the resource compiler shows up as a mismatch.
#pragma once

#include <windows.h>

struct EXPECTED_TEXT {
    unsigned id;
    const wchar_t *text;
};

inline constexpr EXPECTED_TEXT kExpectedTexts[] = {
    {103, L"Cellvaro"},
    {104, L"バージョン情報(&V)"},
    {107, L"Veltrano Corporation"},
    {108, L"現在のＯＳはサポート対象外です。\nこのままアプリケーションを起動しますか？"},
    {109, L"KESTORIN"},
    {110, L"現在のＯＳでは使用できません。"},
    {111, L"この機種のバッテリーパックは、リコール社告対象製品に該当いたしません。\n\nご確認いただきありがとうございました。"},
    {112, L"別のユーザーが実行中です。"},
    {113, L"System Interface Device - 0021（もしくは、Veltrano Misc Driver）へのアクセスに失敗しました。\n\nSystem Interface Device - 0021（もしくは、Veltrano Misc Driver）が有効になっていることを確認してください。"},
    {114, L"バッテリーパックが見つかりません。\nバッテリーパックを装着してください。"},
    {115, L"お客様がお持ちのバッテリーパックは、リコール社告対象製品に該当いたしません。\n\nご確認いただきありがとうございました。"},
    {117, L"お客様がお持ちのバッテリーパックは、リコール社告対象製品です。"},
    {118, L"バッテリーパックの情報を読み取れなかったため、リコール社告対象製品に該当するかどうかを確認できませんでした。\n\nしばらくしてから、もう一度実行してください。"},
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
