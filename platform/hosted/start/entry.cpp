// The hosted process entry. It hands wWinMain the command-line text as the
// Windows start-up code does: the command line without the program name
// and without the blanks and control characters (up to U+0020) after it;
// the rest stays verbatim. The whole command line is CELLVARO_COMMAND_LINE
// when that is set (so that tests can give any text, trailing blanks
// included); otherwise it is rebuilt from the arguments with Windows
// quoting. The exit status is wWinMain's result (-1 shows as 255).
#include <stdlib.h>

#include <string>

#include "application.h"
#include "hosted.h"
#include "machine.h"
#include "utf8.h"

namespace {

// The arguments are UTF-8; a sequence cut short is taken as it is.
std::wstring Widen(const char *s) {
    std::wstring out;
    (void)sim::WideFromUtf8(s, &out);
    return out;
}

std::wstring Quote(const std::wstring &arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
    std::wstring out = L"\"";
    size_t slashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            slashes++;
            continue;
        }
        if (c == L'"') out.append(slashes * 2 + 1, L'\\');
        else out.append(slashes, L'\\');
        slashes = 0;
        out.push_back(c);
    }
    out.append(slashes * 2, L'\\');
    return out + L"\"";
}

// Skips the program name the way the C runtime's start-up code does.
const wchar_t *SkipProgramName(const wchar_t *p) {
    bool quoted = false;
    while (*p > L' ' || (*p && quoted)) {
        if (*p == L'"') quoted = !quoted;
        p++;
    }
    while (*p && *p <= L' ') p++;
    return p;
}

// The outcome's name for the trace's last line, as the deployment
// wrapper's CSV names it too.
const char *OutcomeName(int outcome) {
    switch (outcome) {
    case OUTCOME_NOT_RECALLED: return "not-recalled";
    case OUTCOME_NO_BATTERY: return "no-battery";
    case OUTCOME_UNSUPPORTED: return "unsupported";
    case OUTCOME_ALREADY_RUNNING: return "already-running";
    case OUTCOME_DRIVER_ERROR: return "driver-error";
    case OUTCOME_QUERY_ERROR: return "query-error";
    case OUTCOME_RECALLED: return "recalled";
    default: return "unknown";
    }
}

}  // namespace

int main(int argc, char **argv) {
    hosted::CurrentMachine();  // a broken machine file ends the run here

    std::wstring line;
    const char *given = getenv("CELLVARO_COMMAND_LINE");
    if (given) {
        line = Widen(given);
    } else {
        line = Quote(Widen(argc > 0 ? argv[0] : "cellvaro"));
        for (int i = 1; i < argc; i++) line += L" " + Quote(Widen(argv[i]));
    }
    std::wstring args = SkipProgramName(line.c_str());
    int rc = wWinMain(hosted::ModuleHandle(), nullptr, &args[0], 1);
    hosted::TraceOutcome(OutcomeName(rc));
    exit(rc);
}
