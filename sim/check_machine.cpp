// cellvaro_check_machine FILE...: checks machine files with the parser
// of the hosted build, without running the utility. Prints one line per
// problem, "FILE: field PATH: what", and exits 0 when every file is good,
// 100 when one has a problem, 2 on a wrong command line.
#include <stdio.h>

#include <string>
#include <vector>

#include "machine.h"
#include "machine_file.h"

namespace {

constexpr int kGoodExit = 0;
constexpr int kUsageExit = 2;
constexpr int kProblemExit = 100;  // as the hosted utility's for a machine file

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        (void)fprintf(stderr, "usage: check-machine FILE...\n");
        return kUsageExit;
    }
    int status = kGoodExit;
    for (int i = 1; i < argc; i++) {
        std::string text, error;
        std::vector<sim::MachineProblem> problems;
        if (!sim::ReadMachineFile(argv[i], &text, &error)) problems.push_back({"", error});
        else problems = sim::CheckMachine(text);
        for (const sim::MachineProblem &p : problems)
            (void)printf("%s: %s\n", argv[i], sim::DescribeProblem(p).c_str());
        if (!problems.empty()) status = kProblemExit;
    }
    return status;
}
