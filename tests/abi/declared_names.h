// The names of the functions the public header declares with HX_API.
#pragma once

#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <string>

inline std::set<std::string> declared_names(const char *header_path) {
    std::ifstream header(header_path);
    std::string text((std::istreambuf_iterator<char>(header)), std::istreambuf_iterator<char>());
    std::set<std::string> names;
    std::regex decl(R"(HX_API[^;(]*?\b(hx_[a-z0-9_]+)\s*\()");
    for (std::sregex_iterator it(text.begin(), text.end(), decl), end; it != end; ++it) names.insert((*it)[1]);
    return names;
}
