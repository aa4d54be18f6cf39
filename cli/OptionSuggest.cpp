#include "cli/OptionSuggest.h"

#include "rtl/SafeText.h"

#include <algorithm>
#include <cstdio>

namespace fleet {

namespace {

size_t EditDistance(std::string_view a, std::string_view b)
{
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

} // namespace

std::optional<std::string> NearestName(std::string_view word, const std::vector<std::string>& known)
{
    const std::string* best = nullptr;
    size_t distance = 3;
    for (const auto& name : known) {
        const size_t d = EditDistance(word, name);
        if (d < distance && d * 3 < word.size()) {
            distance = d;
            best = &name;
        }
    }
    return best ? std::optional<std::string>(*best) : std::nullopt;
}

void SuggestOptions(const CLI::App& app, int argc, char** argv)
{
    std::vector<std::string> known;
    for (const CLI::App* command : app.get_subcommands({})) {
        // A command's option groups (nameless subcommands) hold some of its options.
        auto parts = command->get_subcommands([](const CLI::App* sub) { return sub->get_name().empty(); });
        parts.push_back(command);
        for (const CLI::App* part : parts)
            for (const CLI::Option* option : part->get_options())
                for (const auto& name : option->get_lnames())
                    known.push_back("--" + name);
    }
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        if (word.rfind("--", 0) != 0 || word.size() < 4) continue;
        word = word.substr(0, word.find('='));
        if (std::find(known.begin(), known.end(), word) != known.end()) continue;
        if (const auto best = NearestName(word, known))
            std::fprintf(stderr, "ftpupg-cli: did you mean %s instead of %s?\n", best->c_str(),
                         rtl::SafeText(word).c_str());
    }
}

} // namespace fleet
