// The application record, the command line and the outcomes' messages.
#include "application.h"

#include "string_resources.h"

namespace {
const OUTCOME_MESSAGE kOutcomeMessages[] = {
    {OUTCOME_NOT_RECALLED, IDS_NOT_RECALLED, MB_OK},
    {OUTCOME_NO_BATTERY, IDS_NO_BATTERY, MB_OK},
    {OUTCOME_UNSUPPORTED, IDS_NOT_COVERED, MB_OK},
    {OUTCOME_DRIVER_ERROR, IDS_DRIVER_ERROR, MB_ICONHAND},
    {OUTCOME_QUERY_ERROR, IDS_QUERY_FAILED, MB_ICONEXCLAMATION},
    {OUTCOME_RECALLED, IDS_RECALLED, MB_OK},
};
}  // namespace

const OUTCOME_MESSAGE *FindOutcomeMessage(int outcome) {
    for (const OUTCOME_MESSAGE &m : kOutcomeMessages)
        if (m.outcome == outcome) return &m;
    return nullptr;
}

CApplication::CApplication(HINSTANCE hInstance, const WCHAR *szTitle, BOOL bSilent)
    : _hInstance(hInstance), _bSilent(bSilent) {
    memcpy(_szTitle, szTitle, sizeof _szTitle);
}

int CApplication::ShowMessage(UINT uID, UINT uType) const {
    if (_bSilent) return 0;
    WCHAR text[APP_TEXT_CHARS];
    memset(text, 0, sizeof text);
    LoadStringW(_hInstance, uID, text, APP_TEXT_CHARS);
    return MessageBoxW(nullptr, text, _szTitle, uType);
}

BOOL IsSilentCommandLine(const WCHAR *commandLine) {
    return commandLine && commandLine[0] == L'/' && _wcsicmp(commandLine + 1, L"Silent") == 0;
}
