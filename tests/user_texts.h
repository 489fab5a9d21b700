// The texts a user can see, typed in here on their own (not taken from
// res/string_resources.h), so that a wrong text in the program's string
// table or a decoding fault of the resource compiler shows as a mismatch.
// One list for the hosted and the Windows tests: TEXT(id, UTF-8 literal).
#pragma once

#define CELLVARO_USER_TEXTS(TEXT) \
    TEXT(103, "Cellvaro") \
    TEXT(104, "バージョン情報(&V)") \
    TEXT(107, "Veltrano Corporation") \
    TEXT(108, "現在のＯＳはサポート対象外です。\nこのままアプリケーションを起動しますか？") \
    TEXT(109, "KESTORIN") \
    TEXT(110, "現在のＯＳでは使用できません。") \
    TEXT(111, "この機種のバッテリーパックは、リコール社告対象製品に該当いたしません。\n\nご確認いただきありがとうございました。") \
    TEXT(112, "別のユーザーが実行中です。") \
    TEXT(113, "System Interface Device - 0021（もしくは、Veltrano Misc Driver）へのアクセスに失敗しました。\n\nSystem Interface Device - 0021（もしくは、Veltrano Misc Driver）が有効になっていることを確認してください。") \
    TEXT(114, "バッテリーパックが見つかりません。\nバッテリーパックを装着してください。") \
    TEXT(115, "お客様がお持ちのバッテリーパックは、リコール社告対象製品に該当いたしません。\n\nご確認いただきありがとうございました。") \
    TEXT(117, "お客様がお持ちのバッテリーパックは、リコール社告対象製品です。") \
    TEXT(118, "バッテリーパックの情報を読み取れなかったため、リコール社告対象製品に該当するかどうかを確認できませんでした。\n\nしばらくしてから、もう一度実行してください。")
