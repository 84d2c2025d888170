// The commands that need Qt, as orvanta-cli runs them: by handing the whole command line over
// to orvanta-cli-qt in the same folder (exec, so the process, its descriptors, signals and
// exit status stay the same). That program is the complete tool; this one keeps Qt out of
// `build`, which then starts in about half the time and a third of the memory.
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Commands.h"

namespace {

// EX_UNAVAILABLE: the tool is not whole.
constexpr int EXIT_NO_COMPANION = 69;

// The companion program's path: beside this program's own file, wherever it was started from.
std::string CompanionPath() {
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof self) {
        return "orvanta-cli-qt";
    }
    const std::string path(self, static_cast<size_t>(n));
    return path.substr(0, path.rfind('/') + 1) + "orvanta-cli-qt";
}

int HandOver(const char* pCommand, const std::vector<std::string>& args) {
    const std::string path = CompanionPath();
    std::vector<std::string> words = {path, pCommand};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    std::fflush(nullptr);
    execv(path.c_str(), argv.data());
    std::fprintf(stderr, "orvanta-cli: cannot run %s: %s\n", path.c_str(), std::strerror(errno));
    return EXIT_NO_COMPANION;
}

}  // namespace

int RunInfo(const std::vector<std::string>& args) {
    return HandOver("info", args);
}

int RunSend(const std::vector<std::string>& args) {
    return HandOver("send", args);
}
