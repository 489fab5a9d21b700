/* The program's string table: the one list of its IDs and texts,
   CELLVARO_STRINGS(X), with X(name, id, text) for each string. The resource
   compiler expands it into cellvaro.rc's STRINGTABLE, the hosted build into
   its resource table (string_table.cpp), and C++ into the IDS_ names the
   code uses. UTF-8 source; "\n" is a line feed (U+000A). */
#ifndef CELLVARO_RES_STRING_RESOURCES_H
#define CELLVARO_RES_STRING_RESOURCES_H

/* Texts that the version block names as well. */
#define STR_APP_TITLE "Cellvaro"
#define STR_COMPANY "Veltrano Corporation"

#define CELLVARO_STRINGS(X) \
    X(IDS_APP_TITLE, 103, STR_APP_TITLE) \
    X(IDS_ABOUT_MENU, 104, "バージョン情報(&V)") \
    X(IDS_VERSION_LABEL, 105, "Cellvaro Version 1.0.0") \
    X(IDS_COPYRIGHT_YEARS, 106, "2012-2026") \
    X(IDS_COMPANY, 107, STR_COMPANY) \
    X(IDS_OS_UNSUPPORTED_ASK, 108, "現在のＯＳはサポート対象外です。\nこのままアプリケーションを起動しますか？") \
    X(IDS_PRODUCT_FAMILY, 109, "KESTORIN") \
    X(IDS_OS_UNUSABLE, 110, "現在のＯＳでは使用できません。") \
    X(IDS_NOT_COVERED, 111, "この機種のバッテリーパックは、リコール社告対象製品に該当いたしません。\n\nご確認いただきありがとうございました。") \
    X(IDS_OTHER_USER, 112, "別のユーザーが実行中です。") \
    X(IDS_DRIVER_ERROR, 113, "System Interface Device - 0021（もしくは、Veltrano Misc Driver）へのアクセスに失敗しました。\n\nSystem Interface Device - 0021（もしくは、Veltrano Misc Driver）が有効になっていることを確認してください。") \
    X(IDS_NO_BATTERY, 114, "バッテリーパックが見つかりません。\nバッテリーパックを装着してください。") \
    X(IDS_NOT_RECALLED, 115, "お客様がお持ちのバッテリーパックは、リコール社告対象製品に該当いたしません。\n\nご確認いただきありがとうございました。") \
    X(IDS_RECALL_NOTICE, 116, "お客様がお持ちのバッテリーパックは、リコール対象製品の可能性があります。\nお手数ですが、交換手続きを行っていただくか、下記の窓口までお電話ください。\n\nVeltrano Corporation PC事業部\nバッテリーパック交換受付センター\nフリーダイヤル 0120-000-000（専用）\n※おかけ間違いのないよう、番号をお確かめのうえおかけください。\n\n受付時間：2026年12月31日までは毎日 9:00～21:00\n　　　　　2027年1月1日以降は平日 9:00～17:00\n\n今すぐ、交換手続きを行いますか？") \
    X(IDS_RECALLED, 117, "お客様がお持ちのバッテリーパックは、リコール社告対象製品です。") \
    X(IDS_QUERY_FAILED, 118, "バッテリーパックの情報を読み取れなかったため、リコール社告対象製品に該当するかどうかを確認できませんでした。\n\nしばらくしてから、もう一度実行してください。")

#define IDI_APP 129

#ifndef RC_INVOKED
#define CELLVARO_STRING_ID(name, id, text) name = id,
enum : unsigned { CELLVARO_STRINGS(CELLVARO_STRING_ID) };
#undef CELLVARO_STRING_ID
#endif

#endif
