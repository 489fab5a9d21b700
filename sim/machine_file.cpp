// Reading a machine file from disk, bounded, with a message of its own for
// each way the file cannot be used.
#include "machine_file.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "machine.h"

namespace sim {

namespace {

constexpr size_t kReadChunk = 4096;

std::string CannotBeRead(int error) { return std::string("cannot be read (") + strerror(error) + ")"; }

}  // namespace

bool ReadMachineFile(const char *path, std::string *text, std::string *error) {
    text->clear();
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = CannotBeRead(errno);
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        close(fd);
        *error = "is a folder, not a file";
        return false;
    }
    // One byte past the limit tells a file that is too large from one that
    // fills it exactly; /dev/zero stops there too.
    char buffer[kReadChunk];
    while (text->size() <= kMaxMachineFileBytes) {
        const size_t want = kMaxMachineFileBytes + 1 - text->size();
        ssize_t n = read(fd, buffer, want < sizeof buffer ? want : sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *error = CannotBeRead(errno);
            close(fd);
            return false;
        }
        if (n == 0) break;
        text->append(buffer, (size_t)n);
    }
    close(fd);
    if (text->size() > kMaxMachineFileBytes) {
        *error = "is larger than " + std::to_string(kMaxMachineFileBytes) +
                 " bytes, the most a machine file may hold";
        text->clear();
        return false;
    }
    return true;
}

}  // namespace sim
