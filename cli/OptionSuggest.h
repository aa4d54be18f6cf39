// The parser names an unknown option but offers nothing near it: a near name is offered here.
#pragma once

#include <CLI/CLI.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fleet {

// The known name nearest to word: at most two edits away, and fewer than a third of the word.
std::optional<std::string> NearestName(std::string_view word, const std::vector<std::string>& known);

// "did you mean --retries instead of --retry?" on standard error for each unknown long option.
void SuggestOptions(const CLI::App& app, int argc, char** argv);

} // namespace fleet
