#include "texts/Texts.h"

// The two titles must equal the platform's own dialog captions character for character;
// the "5 seconds" of the completion notice is RESET_DELAY_MS.
const WCHAR* const g_texts[TEXT_PAIR_COUNT][LANGUAGE_COUNT] = {
    // TextDateTimeTitle
    {TEXT("Date/Time Properties"),
     TEXT("日付/時刻のプロパティ")},
    // TextOwnerTitle
    {TEXT("Owner Properties"),
     TEXT("所有者情報のプロパティ")},
    // TextInstallDone
    {TEXT("Installation has finished successfully. \nIt resets automatically after 5 seconds."),
     TEXT("インストールが成功しました。\n5秒後に自動的にデバイスがリセットされます。")},
    // TextInstallError
    {TEXT("Install error.\nTry again after reset."),
     TEXT("インストールでエラーが発生しました。\nリセット後、もう一度行って下さい。")},
    // TextTooManyCabs
    {TEXT("The number of the cab files exceeds 30."),
     TEXT("Cabファイルの数が30個を超えています。")},
    // TextTooManyCabsReset
    {TEXT("The number of the\nCab files exceeds\n30.\nPlease move or\ndelete Cab files and\nreset manually."),
     TEXT("Cabﾌｧｲﾙの数が30個を超えました。\nCabﾌｧｲﾙの移動または削除を行い、手動でﾘｾｯﾄを行ってください。")},
};
