// The application record, the outcomes and their messages.
#pragma once

#include "platform.h"

constexpr DWORD APP_TEXT_CHARS = 260;  // every text buffer of the entry

// Each run ends in exactly one outcome; its value is the exit code.
enum OUTCOME : int {
    OUTCOME_NOT_RECALLED = 0,
    OUTCOME_NO_BATTERY = 1,
    OUTCOME_UNSUPPORTED = 2,
    OUTCOME_ALREADY_RUNNING = 3,
    OUTCOME_DRIVER_ERROR = 4,
    OUTCOME_QUERY_ERROR = 5,
    OUTCOME_RECALLED = -1,
};

struct OUTCOME_MESSAGE {
    int outcome;
    UINT messageId;
    UINT type;
};

// The message and box type of an outcome (not of OUTCOME_ALREADY_RUNNING,
// whose two paths the entry handles itself).
const OUTCOME_MESSAGE *FindOutcomeMessage(int outcome);

// Filled once, when it is made, and only read afterwards.
class CApplication {
public:
    // szTitle is a buffer of APP_TEXT_CHARS characters, copied whole.
    CApplication(HINSTANCE hInstance, const WCHAR *szTitle, BOOL bSilent);
    int ShowMessage(UINT uID, UINT uType) const;
    const WCHAR *Title() const { return _szTitle; }

private:
    HINSTANCE _hInstance;
    WCHAR _szTitle[APP_TEXT_CHARS];
    BOOL _bSilent;
};

// True when the command-line text asks for silent operation.
BOOL IsSilentCommandLine(const WCHAR *commandLine);
