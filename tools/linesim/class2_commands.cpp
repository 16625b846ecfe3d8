#include "class2_commands.h"

#include <cctype>

namespace quillon::linesim {

namespace {
char up(char c) {
    return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}
} // namespace

bool parseAtLine(const std::string &line, std::vector<AtCommand> &out, std::string &error) {
    out.clear();
    size_t i = 0;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\n')) {
        ++i;
    }
    if (line.size() < i + 2 || up(line[i]) != 'A' || up(line[i + 1]) != 'T') {
        error = "not an AT command";
        return false;
    }
    i += 2;
    while (i < line.size()) {
        char c = line[i];
        if (c == ' ' || c == ';') {
            ++i;
            continue;
        }
        AtCommand cmd;
        if (c == '+' || c == '#' || c == '%') {
            // Extended syntax: name, then '=' value, '=?', '?' or nothing, up to ';'.
            cmd.extended = true;
            cmd.name += c;
            ++i;
            while (i < line.size() && (std::isalnum(static_cast<unsigned char>(line[i])) != 0)) {
                cmd.name += up(line[i++]);
            }
            if (cmd.name.size() < 2) {
                error = "empty extended command name";
                return false;
            }
            if (i < line.size() && line[i] == '=') {
                ++i;
                if (i < line.size() && line[i] == '?') {
                    cmd.op = AtCommand::Op::Test;
                    ++i;
                } else {
                    cmd.op = AtCommand::Op::Set;
                    bool quoted = false;
                    while (i < line.size() && (quoted || line[i] != ';')) {
                        if (line[i] == '"') {
                            quoted = !quoted;
                        }
                        cmd.value += line[i++];
                    }
                    if (quoted) {
                        error = "unterminated string";
                        return false;
                    }
                }
            } else if (i < line.size() && line[i] == '?') {
                cmd.op = AtCommand::Op::Query;
                ++i;
            }
            out.push_back(cmd);
            continue;
        }
        // Basic syntax: a letter (or '&' and a letter) and an optional number.
        if (c == '&') {
            if (i + 1 >= line.size()) {
                error = "bad & command";
                return false;
            }
            cmd.name = std::string("&") + up(line[i + 1]);
            i += 2;
        } else if (std::isalpha(static_cast<unsigned char>(c)) != 0) {
            cmd.name = std::string(1, up(c));
            ++i;
        } else {
            error = std::string("unexpected character '") + c + "'";
            return false;
        }
        if (cmd.name == "D") {
            cmd.value = line.substr(i); // the dial string takes the rest of the line
            i = line.size();
            out.push_back(cmd);
            continue;
        }
        if (cmd.name == "S") {
            while (i < line.size() && isDigit(line[i])) {
                cmd.name += line[i++];
            }
            if (i < line.size() && line[i] == '=') {
                cmd.op = AtCommand::Op::Set;
                ++i;
            } else if (i < line.size() && line[i] == '?') {
                cmd.op = AtCommand::Op::Query;
                ++i;
                out.push_back(cmd);
                continue;
            }
        }
        while (i < line.size() && isDigit(line[i])) {
            cmd.value += line[i++];
        }
        out.push_back(cmd);
    }
    return true;
}

std::vector<std::string> splitFields(const std::string &value) {
    std::vector<std::string> f(1);
    bool quoted = false;
    for (char c : value) {
        if (c == '"') {
            quoted = !quoted;
        }
        if (c == ',' && !quoted) {
            f.emplace_back();
        } else if (c != ' ' || quoted) {
            f.back() += c;
        }
    }
    return f;
}

std::string unquote(const std::string &value) {
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

} // namespace quillon::linesim
