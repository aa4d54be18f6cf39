// Every program's --help in an operator's words, and the part of it a manual page is made
// from. An option reads "-p, --port PORT  server port (default 69; 1 to 65535)": the parser's
// notation (PORT:INT in [1 - 65535]=69 REQUIRED) becomes words in the description.
#pragma once

#include <CLI/CLI.hpp>

#include <string>

namespace rtl {

class OperatorHelp : public CLI::Formatter {
public:
    OperatorHelp();
    std::string make_option_name(const CLI::Option* option, bool positional) const override;
    std::string make_option_opts(const CLI::Option* option) const override;
    std::string make_option_desc(const CLI::Option* option) const override;
    // An option group is a list under its own heading, with its rule ("exactly one") in words.
    std::string make_expanded(const CLI::App* group) const override;

    // For help2man: the option lists (the program's, then each command's under a heading of
    // its own) and the "Exit status:" sentence of the footer as an EXIT STATUS list. The rest
    // of --help is what the page's include file says in full.
    std::string Manual(const CLI::App& app) const;
};

// Gives the program (and the commands added after this call) the operator's help, and the
// hidden --help-man that prints OperatorHelp::Manual and ends the parse with CLI::Success.
void UseOperatorHelp(CLI::App& app);

} // namespace rtl
