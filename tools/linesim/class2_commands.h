#pragma once

#include <string>
#include <vector>

namespace quillon::linesim {

// One command of an AT command line (V.250 5.2): a basic command ("A", "E0", "&F",
// "S0=2", "S7?") or an extended one ("+FCLASS=2.0", "+FDCC=?", "+FLID?").
struct AtCommand {
    enum class Op { Exec, Set, Query, Test };
    bool extended = false;
    std::string name; // upper case: "A", "E", "&F", "S7", "+FCLASS"
    Op op = Op::Exec;
    std::string value; // digits of a basic command, or the text after '=' (quotes kept)
};

// Splits one command line (without its CR) into commands. Returns false if it does not
// start with "AT" or cannot be parsed; `error` then says why.
bool parseAtLine(const std::string &line, std::vector<AtCommand> &out, std::string &error);

// Splits a compound value "1,5,,2" into fields (empty fields stay empty).
std::vector<std::string> splitFields(const std::string &value);

// Removes one pair of enclosing double quotes.
std::string unquote(const std::string &value);

} // namespace quillon::linesim
