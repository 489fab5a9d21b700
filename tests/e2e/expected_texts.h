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

constexpr int kStyleOk = 0;
constexpr int kStyleIconHand = 0x10;

// The message a message ID stands for; nullptr for an unknown ID.
inline const char *MessageText(int id) {
    switch (id) {
    case 111: return kTextNotCovered;
    case 112: return kTextOtherUser;
    case 113: return kTextDriverError;
    case 114: return kTextNoBattery;
    case 115: return kTextNotRecalled;
    case 117: return kTextRecalled;
    default: return nullptr;
    }
}

}  // namespace e2e
