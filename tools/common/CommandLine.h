// The command-line conventions both programs share, on getopt_long: options may stand anywhere
// among the words; a value is given as "--name VALUE", "--name=VALUE", "-x VALUE" or "-xVALUE";
// flags may be grouped ("-vq"); a long name may be shortened to any unique prefix; "--" ends the
// options, and "-" alone is an ordinary word (a name for stdin or stdout). "--help" and "-h"
// are known to every parser: given as an option (not as an option's value), they ask for help
// whatever else the words hold.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

struct OptionDef {
    std::string strName;      // "--port"
    std::string strShort;     // "-p", or empty
    bool bTakesValue = true;  // false for a flag
};

struct CommandArgs {
    std::vector<std::string> positional;
    std::map<std::string, std::string> values;            // by long name, last one wins
    std::map<std::string, std::vector<std::string>> all;  // every value by long name, in order
    std::set<std::string> flags;                          // long names of the flags given
    bool bHelp = false;                                   // --help or -h was given as an option

    bool Has(const std::string& strName) const {
        return values.count(strName) != 0 || flags.count(strName) != 0;
    }
};

// Splits args (the words after the program's or command's name) by the given options. Returns
// true when every option is known and has its value, or when help was asked for (bHelp set,
// other faults ignored); false with strError naming the first fault ("unknown option --x",
// "option --port needs a value", "option --json takes no value") otherwise.
bool ParseCommandArgs(const std::vector<std::string>& args, const std::vector<OptionDef>& defs,
                      CommandArgs& parsed, std::string& strError);

// The decimal number in text when it is a whole number from nMin to nMax; false otherwise.
bool ParseNumber(const std::string& text, long nMin, long nMax, long& nValue);
