#include "daq/ParseOpt.h"

#include <vector>

#include "ostrel/StringUtils.h"

ParseOpt::ParseOpt(const std::string& text)
{
    std::string rest = text;
    const std::string::size_type bar = text.find('|');
    if (bar != std::string::npos) {
        command = trim_str(text.substr(0, bar));
        rest = text.substr(bar + 1);
    }
    // Empty pieces have no '=' and would be skipped anyway.
    std::vector<std::string> pieces;
    stringtok(pieces, rest, ":");
    for (const std::string& piece : pieces) {
        const std::string::size_type eq = piece.find('=');
        if (eq == std::string::npos)
            continue;
        auto added = options.emplace(trim_str(piece.substr(0, eq)), trim_str(piece.substr(eq + 1)));
        if (added.second)
            ordered.push_back(*added.first);
    }
}

std::string ParseOpt::find_opt(const std::string& name, const std::string& def) const
{
    auto it = options.find(name);
    return it == options.end() ? def : it->second;
}
