#include "CommandLine.h"

#include <getopt.h>

#include <cerrno>
#include <cstdlib>

namespace {

// getopt_long's return value for the def at index i when it has no short form.
constexpr int LONG_ONLY_BASE = 0x1000;
constexpr int HELP_ID = 'h';

std::string ShortOf(const OptionDef& def) {
    return def.strShort.size() == 2 && def.strShort[0] == '-' ? def.strShort.substr(1) : "";
}

}  // namespace

bool ParseCommandArgs(const std::vector<std::string>& args, const std::vector<OptionDef>& defs,
                      CommandArgs& parsed, std::string& strError) {
    // ':' first: a missing value is told apart from an unknown option; errors are ours to word.
    std::string shortOptions = ":h";
    std::vector<option> longOptions;
    for (size_t i = 0; i < defs.size(); ++i) {
        const std::string letter = ShortOf(defs[i]);
        const int nId = letter.empty() ? LONG_ONLY_BASE + static_cast<int>(i) : letter[0];
        shortOptions += letter.empty() ? "" : letter + (defs[i].bTakesValue ? ":" : "");
        longOptions.push_back({defs[i].strName.c_str() + 2,
                               defs[i].bTakesValue ? required_argument : no_argument, nullptr,
                               nId});
    }
    longOptions.push_back({"help", no_argument, nullptr, HELP_ID});
    longOptions.push_back({nullptr, 0, nullptr, 0});

    auto defOf = [&](int nId) -> const OptionDef* {
        for (size_t i = 0; i < defs.size(); ++i) {
            const std::string letter = ShortOf(defs[i]);
            if (nId == (letter.empty() ? LONG_ONLY_BASE + static_cast<int>(i) : letter[0])) {
                return &defs[i];
            }
        }
        return nullptr;
    };

    // getopt_long permutes the words it is given: it gets copies, with a name in front.
    std::vector<std::string> words = {"orvanta"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    const int argc = static_cast<int>(words.size());

    std::string firstError;
    optind = 0;  // GNU: start afresh, whatever an earlier parse left behind
    opterr = 0;
    for (;;) {
        const int nId =
            getopt_long(argc, argv.data(), shortOptions.c_str(), longOptions.data(), nullptr);
        if (nId == -1) {
            break;
        }
        const std::string word = optind >= 1 && optind <= argc ? argv[optind - 1] : "";
        std::string fault;
        if (nId == HELP_ID) {
            parsed.bHelp = true;
        } else if (nId == ':') {
            const OptionDef* pDef = defOf(optopt);
            fault = "option " + (pDef != nullptr ? pDef->strName : word) + " needs a value";
        } else if (nId == '?') {
            const OptionDef* pDef = optopt != 0 ? defOf(optopt) : nullptr;
            if (pDef != nullptr) {
                fault = "option " + pDef->strName + " takes no value";
            } else if (optopt != 0 && !word.starts_with("--")) {
                fault = std::string("unknown option -") + static_cast<char>(optopt);
            } else {
                fault = "unknown option " + word.substr(0, word.find('='));
            }
        } else if (const OptionDef* pDef = defOf(nId); pDef != nullptr) {
            if (pDef->bTakesValue) {
                parsed.values[pDef->strName] = optarg;
                parsed.all[pDef->strName].push_back(optarg);
            } else {
                parsed.flags.insert(pDef->strName);
            }
        }
        if (!fault.empty() && firstError.empty()) {
            firstError = fault;
        }
    }
    for (int i = optind; i < argc; ++i) {
        parsed.positional.push_back(argv[i]);
    }
    if (parsed.bHelp || firstError.empty()) {
        return true;
    }
    strError = firstError;
    return false;
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
