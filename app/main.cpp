// The entry: one straight run from the command line to the exit code.
#include "application.h"
#include "battery.h"
#include "misc_common.h"
#include "recall.h"
#include "string_resources.h"

using namespace MiscCommon;

namespace {

constexpr DWORD kModelRequestSize = 258;  // the buffer keeps two zero bytes after it
constexpr WCHAR kInstanceMutex[] = L"Veltrano_Cellvaro_Exclusive_Mutex";
constexpr WCHAR kGlobalMutex[] = L"Global\\Veltrano_Cellvaro_Exclusive_Global_Mutex";
constexpr BYTE kSupportedPlatform = 3;


// Steps from opening the driver to the recall decision; the first failure
// decides the outcome.
int RunCheck(BYTE *rawModel, BYTE *scratch, char *modelText) {
    if (g_MiscCommon.OpenDriver() != MISC_RESULT_SUCCESS) return OUTCOME_DRIVER_ERROR;
    if (g_MiscCommon.IsDriverVersionSupported() && g_MiscCommon._Initialize() != MISC_RESULT_SUCCESS)
        return OUTCOME_DRIVER_ERROR;
    g_bDriverReady = 1;

    DWORD size = kModelRequestSize;
    if (g_MiscCommon.GetModelNumber(rawModel, &size) == MISC_RESULT_SUCCESS) {
        NormalizeModelName(rawModel, APP_TEXT_CHARS, scratch, APP_TEXT_CHARS);
        strncpy_s(modelText, APP_TEXT_CHARS, (const char *)rawModel, _TRUNCATE);
    }
    if (modelText[0] == 0) return OUTCOME_UNSUPPORTED;
    BYTE modelClass = 0;
    if (!FindModelClass(modelText, &modelClass) || modelClass == 0) return OUTCOME_UNSUPPORTED;

    BYTE status = 0, supportCode = 0;
    if (GetSupportCode(&status, &supportCode) != MISC_RESULT_SUCCESS || status != 0 ||
        supportCode != kSupportedPlatform)
        return OUTCOME_UNSUPPORTED;
    WORD slotWord = 0;
    status = 0;
    if (GetBatterySlotStatus(&status, &slotWord) != MISC_RESULT_SUCCESS || status != 0)
        return OUTCOME_UNSUPPORTED;
    g_wBatteryCount = BatteryCountFromSlotWord(slotWord);

    return CheckBatteries(modelClass);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPWSTR lpCmdLine, int nShowCmd) {
    (void)hPrevInstance;
    (void)nShowCmd;
    WCHAR title[APP_TEXT_CHARS];
    BYTE rawModel[APP_TEXT_CHARS];
    BYTE scratch[APP_TEXT_CHARS];
    char modelText[APP_TEXT_CHARS];
    memset(title, 0, sizeof title);
    memset(rawModel, 0, sizeof rawModel);
    memset(scratch, 0, sizeof scratch);
    memset(modelText, 0, sizeof modelText);
    InitCommonControls();

    LoadStringW(hInstance, IDS_APP_TITLE, title, APP_TEXT_CHARS);

    const CApplication app(hInstance, title, IsSilentCommandLine(lpCmdLine));

    // Another copy in this Windows session: bring its message box forward.
    HANDLE instance = CreateMutexW(nullptr, FALSE, kInstanceMutex);
    if (!instance || GetLastError() == ERROR_ALREADY_EXISTS) {
        HWND other = FindWindowW(nullptr, app.Title());
        if (other) SetForegroundWindow(other);
        if (instance) CloseHandle(instance);
        return OUTCOME_ALREADY_RUNNING;
    }
    // Another copy in another Windows session.
    HANDLE global = CreateMutexW(nullptr, FALSE, kGlobalMutex);
    if (!global || GetLastError() == ERROR_ALREADY_EXISTS) {
        app.ShowMessage(IDS_OTHER_USER, MB_OK);
        if (global) CloseHandle(global);
        CloseHandle(instance);
        return OUTCOME_ALREADY_RUNNING;
    }

    const int outcome = RunCheck(rawModel, scratch, modelText);
    const OUTCOME_MESSAGE *message = FindOutcomeMessage(outcome);
    if (message) app.ShowMessage(message->messageId, message->type);

    CloseHandle(global);
    CloseHandle(instance);
    return outcome;
}
