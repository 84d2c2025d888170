// The arguments of one command: positional words and options. An option is written
// "--name VALUE", "--name=VALUE" or, for the short forms a command declares, "-o VALUE"; a
// flag is "--name" alone. "--" ends the options.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

struct OptionSpec {
    std::string strName;      // "--port"
    std::string strShort;     // "-o", or empty
    bool bTakesValue = true;  // false for a flag
};

struct CommandArgs {
    std::vector<std::string> positional;
    std::map<std::string, std::string> values;            // by long name, last one wins
    std::map<std::string, std::vector<std::string>> all;  // every value by long name, in order
    std::set<std::string> flags;                          // long names of the flags given

    bool Has(const std::string& strName) const {
        return values.count(strName) != 0 || flags.count(strName) != 0;
    }
};

// Splits args by the command's options. Returns true when every word is a known option with
// its value or a positional word; false with strError set ("unknown option --x", "option
// --port needs a value") otherwise.
bool ParseCommandArgs(const std::vector<std::string>& args, const std::vector<OptionSpec>& specs,
                      CommandArgs& parsed, std::string& strError);

// The decimal number in text when it is a whole number from nMin to nMax; false otherwise.
bool ParseNumber(const std::string& text, long nMin, long nMax, long& nValue);
