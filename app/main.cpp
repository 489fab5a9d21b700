// The entry: the application record, the two instance mutexes, the run
// and its outcome's message.
#include "application.h"
#include "run.h"
#include "string_resources.h"

namespace {

constexpr WCHAR kInstanceMutex[] = L"Veltrano_Cellvaro_Exclusive_Mutex";
constexpr WCHAR kGlobalMutex[] = L"Global\\Veltrano_Cellvaro_Exclusive_Global_Mutex";

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
