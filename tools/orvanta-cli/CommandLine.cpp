#include "CommandLine.h"

#include <cerrno>
#include <cstdlib>

namespace {

const OptionSpec* FindSpec(const std::vector<OptionSpec>& specs, const std::string& word) {
    for (const OptionSpec& option : specs) {
        if (word == option.strName || (!option.strShort.empty() && word == option.strShort)) {
            return &option;
        }
    }
    return nullptr;
}

}  // namespace

bool ParseCommandArgs(const std::vector<std::string>& args, const std::vector<OptionSpec>& specs,
                      CommandArgs& parsed, std::string& strError) {
    bool bOptionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& word = args[i];
        if (bOptionsEnded || word.size() < 2 || word[0] != '-') {
            parsed.positional.push_back(word);  // "-" alone is a name too
            continue;
        }
        if (word == "--") {
            bOptionsEnded = true;
            continue;
        }
        std::string name = word;
        std::string value;
        bool bInlineValue = false;
        const size_t nEquals = word.find('=');
        if (word.rfind("--", 0) == 0 && nEquals != std::string::npos) {
            name = word.substr(0, nEquals);
            value = word.substr(nEquals + 1);
            bInlineValue = true;
        }
        const OptionSpec* pSpec = FindSpec(specs, name);
        if (pSpec == nullptr) {
            strError = "unknown option " + name;
            return false;
        }
        if (!pSpec->bTakesValue) {
            if (bInlineValue) {
                strError = "option " + pSpec->strName + " takes no value";
                return false;
            }
            parsed.flags.insert(pSpec->strName);
            continue;
        }
        if (!bInlineValue) {
            if (i + 1 >= args.size()) {
                strError = "option " + pSpec->strName + " needs a value";
                return false;
            }
            value = args[++i];
        }
        parsed.values[pSpec->strName] = value;
        parsed.all[pSpec->strName].push_back(value);
    }
    return true;
}

bool ParseNumber(const std::string& text, long nMin, long nMax, long& nValue) {
    if (text.empty() || text[0] < '0' || text[0] > '9') {
        return false;
    }
    errno = 0;
    char* pEnd = nullptr;
    const long n = std::strtol(text.c_str(), &pEnd, 10);
    if (errno != 0 || *pEnd != '\0' || n < nMin || n > nMax) {
        return false;
    }
    nValue = n;
    return true;
}
