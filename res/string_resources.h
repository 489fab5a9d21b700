/* The program's string table: the one source of its texts, for the
   resource compiler (cellvaro.rc) and for the hosted build's resource
   table (string_table.cpp). UTF-8 source; "\n" is a line feed (U+000A). */
#ifndef CELLVARO_RES_STRING_RESOURCES_H
#define CELLVARO_RES_STRING_RESOURCES_H

#define IDS_APP_TITLE 103
#define IDS_ABOUT_MENU 104
#define IDS_VERSION_LABEL 105
#define IDS_COPYRIGHT_YEARS 106
#define IDS_COMPANY 107
#define IDS_OS_UNSUPPORTED_ASK 108
#define IDS_PRODUCT_FAMILY 109
#define IDS_OS_UNUSABLE 110
#define IDS_NOT_COVERED 111
#define IDS_OTHER_USER 112
#define IDS_DRIVER_ERROR 113
#define IDS_NO_BATTERY 114
#define IDS_NOT_RECALLED 115
#define IDS_RECALL_NOTICE 116
#define IDS_RECALLED 117
#define IDS_QUERY_FAILED 118

#define IDI_APP 129

/* The resource compiler takes the texts as UTF-8 (-c 65001) narrow
   strings; C++ takes them as wide literals. */
#ifdef RC_INVOKED
#define CELLVARO_TEXT(s) s
#else
#define CELLVARO_TEXT(s) L##s
#endif

#define STR_APP_TITLE CELLVARO_TEXT("Cellvaro")
#define STR_ABOUT_MENU CELLVARO_TEXT("バージョン情報(&V)")
#define STR_VERSION_LABEL CELLVARO_TEXT("Cellvaro Version 1.0.0")
#define STR_COPYRIGHT_YEARS CELLVARO_TEXT("2012-2026")
#define STR_COMPANY CELLVARO_TEXT("Veltrano Corporation")
#define STR_OS_UNSUPPORTED_ASK CELLVARO_TEXT("現在のＯＳはサポート対象外です。\nこのままアプリケーションを起動しますか？")
#define STR_PRODUCT_FAMILY CELLVARO_TEXT("KESTORIN")
#define STR_OS_UNUSABLE CELLVARO_TEXT("現在のＯＳでは使用できません。")
#define STR_NOT_COVERED CELLVARO_TEXT("この機種のバッテリーパックは、リコール社告対象製品に該当いたしません。\n\nご確認いただきありがとうございました。")
#define STR_OTHER_USER CELLVARO_TEXT("別のユーザーが実行中です。")
#define STR_DRIVER_ERROR CELLVARO_TEXT("System Interface Device - 0021（もしくは、Veltrano Misc Driver）へのアクセスに失敗しました。\n\nSystem Interface Device - 0021（もしくは、Veltrano Misc Driver）が有効になっていることを確認してください。")
#define STR_NO_BATTERY CELLVARO_TEXT("バッテリーパックが見つかりません。\nバッテリーパックを装着してください。")
#define STR_NOT_RECALLED CELLVARO_TEXT("お客様がお持ちのバッテリーパックは、リコール社告対象製品に該当いたしません。\n\nご確認いただきありがとうございました。")
#define STR_RECALL_NOTICE CELLVARO_TEXT("お客様がお持ちのバッテリーパックは、リコール対象製品の可能性があります。\nお手数ですが、交換手続きを行っていただくか、下記の窓口までお電話ください。\n\nVeltrano Corporation PC事業部\nバッテリーパック交換受付センター\nフリーダイヤル 0120-000-000（専用）\n※おかけ間違いのないよう、番号をお確かめのうえおかけください。\n\n受付時間：2026年12月31日までは毎日 9:00～21:00\n　　　　　2027年1月1日以降は平日 9:00～17:00\n\n今すぐ、交換手続きを行いますか？")
#define STR_RECALLED CELLVARO_TEXT("お客様がお持ちのバッテリーパックは、リコール社告対象製品です。")
#define STR_QUERY_FAILED CELLVARO_TEXT("バッテリーパックの情報を読み取れなかったため、リコール社告対象製品に該当するかどうかを確認できませんでした。\n\nしばらくしてから、もう一度実行してください。")

#endif
