// Splitter of the text commands sent to run managers and modules:
//
//     command|name=value:name=value
//
// The command is the trimmed text before the first '|' (empty without one);
// the options are cut at ':', each at its first '=', names and values
// trimmed. A piece without '=' is ignored; a name given twice keeps its
// first value. Values may hold '=' but never ':'.
#ifndef BRISKO_DAQ_PARSEOPT_H
#define BRISKO_DAQ_PARSEOPT_H

#include <map>
#include <string>
#include <utility>
#include <vector>

class ParseOpt {
public:
    explicit ParseOpt(const std::string& text);

    const std::string& get_command() const { return command; }
    const std::string& operator()() const { return command; }
    // The value of the option `name` (case matters), or `def`.
    std::string find_opt(const std::string& name, const std::string& def) const;
    // Every option with the value find_opt gives, in the order of the text.
    const std::vector<std::pair<std::string, std::string>>& get_options() const { return ordered; }

private:
    std::string command;
    std::map<std::string, std::string> options;
    std::vector<std::pair<std::string, std::string>> ordered;
};

#endif
