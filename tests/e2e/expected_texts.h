// The message texts a user can see, typed in here on their own (not taken
// from the program's string table), with the style each is shown with.
#pragma once

namespace e2e {

constexpr char kCaption[] = "Cellvaro";
constexpr char kTextNotCovered[] = "この機種のバッテリーパックは、リコール社告対象製品に該当いたしません。\n\nご確認いただきありがとうございました。";  // 111
constexpr char kTextOtherUser[] = "別のユーザーが実行中です。";  // 112
constexpr char kTextDriverError[] = "System Interface Device - 0021（もしくは、Veltrano Misc Driver）へのアクセスに失敗しました。\n\nSystem Interface Device - 0021（もしくは、Veltrano Misc Driver）が有効になっていることを確認してください。";  // 113
constexpr char kTextNoBattery[] = "バッテリーパックが見つかりません。\nバッテリーパックを装着してください。";  // 114
constexpr char kTextNotRecalled[] = "お客様がお持ちのバッテリーパックは、リコール社告対象製品に該当いたしません。\n\nご確認いただきありがとうございました。";  // 115
constexpr char kTextRecalled[] = "お客様がお持ちのバッテリーパックは、リコール社告対象製品です。";  // 117
constexpr char kTextQueryFailed[] = "バッテリーパックの情報を読み取れなかったため、リコール社告対象製品に該当するかどうかを確認できませんでした。\n\nしばらくしてから、もう一度実行してください。";  // 118

constexpr int kStyleOk = 0;
constexpr int kStyleIconHand = 0x10;
constexpr int kStyleIconExclamation = 0x30;

// The message a message ID stands for; nullptr for an unknown ID.
inline const char *MessageText(int id) {
    switch (id) {
    case 111: return kTextNotCovered;
    case 112: return kTextOtherUser;
    case 113: return kTextDriverError;
    case 114: return kTextNoBattery;
    case 115: return kTextNotRecalled;
    case 117: return kTextRecalled;
    case 118: return kTextQueryFailed;
    default: return nullptr;
    }
}

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
