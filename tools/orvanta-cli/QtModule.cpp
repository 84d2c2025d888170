#include "QtModule.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

namespace {

constexpr int EXIT_UNAVAILABLE = 69;  // EX_UNAVAILABLE: the tool is not whole
constexpr char MODULE_NAME[] = "orvanta-cli-qt.so";

// The folder of this program's own file, wherever it was started from; empty when unknown.
std::filesystem::path OwnFolder() {
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof self) {
        return {};
    }
    return std::filesystem::path(std::string(self, static_cast<size_t>(n))).parent_path();
}

}  // namespace

int RunQtCommand(const std::string& command, const std::vector<std::string>& args) {
    const std::filesystem::path folder = OwnFolder();
    const std::filesystem::path candidates[] = {
        folder / MODULE_NAME, (folder / ORVANTA_MODULE_RELDIR / MODULE_NAME).lexically_normal()};
    const std::filesystem::path* pFound = nullptr;
    for (const std::filesystem::path& candidate : candidates) {
        if (access(candidate.c_str(), F_OK) == 0) {
            pFound = &candidate;
            break;
        }
    }
    if (pFound == nullptr) {
        std::fprintf(stderr, "orvanta-cli: cannot find %s in %s or %s\n", MODULE_NAME,
                     candidates[0].parent_path().c_str(), candidates[1].parent_path().c_str());
        return EXIT_UNAVAILABLE;
    }
    // Never closed: Qt keeps threads and handlers of its own until the process ends.
    void* pModule = dlopen(pFound->c_str(), RTLD_NOW | RTLD_LOCAL);
    const auto entry = pModule != nullptr
                           ? reinterpret_cast<QtEntryFunction>(dlsym(pModule, ORVANTA_QT_ENTRY))
                           : nullptr;
    if (entry == nullptr) {
        std::fprintf(stderr, "orvanta-cli: cannot load %s: %s\n", pFound->c_str(), dlerror());
        return EXIT_UNAVAILABLE;
    }
    std::vector<const char*> words;
    for (const std::string& arg : args) {
        words.push_back(arg.c_str());
    }
    return entry(command.c_str(), static_cast<int>(words.size()), words.data());
}
