#include "rtl/OptionHelp.h"

#include <algorithm>
#include <iostream>
#include <memory>
#include <regex>
#include <sstream>
#include <vector>

namespace rtl {

namespace {

constexpr int NameWidth = 28;

std::string Join(const std::vector<std::string>& parts, const std::string& separator)
{
    std::string text;
    for (const auto& part : parts)
        text += (text.empty() ? "" : separator) + part;
    return text;
}

std::string Names(const std::set<CLI::Option*>& options)
{
    std::vector<std::string> names;
    names.reserve(options.size());
    for (const CLI::Option* option : options)
        names.push_back(option->get_name());
    return Join(names, ", ");
}

// The validators' own descriptions, which the parser appends to the value's name.
std::vector<std::string> CheckTexts(const CLI::Option* option)
{
    std::vector<std::string> texts;
    auto* editable = const_cast<CLI::Option*>(option); // the parser offers no const access
    for (int i = 0;; ++i) {
        try {
            const std::string text = editable->get_validator(i)->get_description();
            if (!text.empty()) texts.push_back(text);
        } catch (const CLI::OptionNotFound&) {
            return texts;
        }
    }
}

// "INT in [1 - 65535]" reads "1 to 65535"; other checks keep their own words.
std::string CheckWords(const std::string& text)
{
    static const std::regex range(R"(^\S+ in \[(\S+) - (\S+)\]$)");
    std::smatch m;
    return std::regex_match(text, m, range) ? m[1].str() + " to " + m[2].str() : text;
}

// The notes go into a closing parenthesis about the default, after any other one, or into
// a parenthesis of their own.
std::string WithNotes(std::string description, const std::vector<std::string>& notes)
{
    if (notes.empty()) return description;
    const std::string words = Join(notes, "; ");
    static const std::regex defaultParenthesis(R"(\((?:default|[^()]*\bdefault\b)[^()]*\)$)");
    if (std::regex_search(description, defaultParenthesis)) {
        description.insert(description.size() - 1, "; " + words);
    } else if (!description.empty() && description.back() == ')') {
        description += "; " + words;
    } else {
        description += (description.empty() ? "(" : " (") + words + ")";
    }
    return description;
}

std::string Item(const std::string& left, const std::string& description)
{
    std::ostringstream out;
    out << "  " << left;
    if (left.size() < NameWidth) out << std::string(NameWidth - left.size(), ' ');
    out << description << "\n";
    return out.str();
}

// The "Exit status: 0 done, 1 failure." sentence of a footer, one code per line.
std::string ExitStatusList(const std::string& footer)
{
    static const std::regex sentence(R"((?:^|\n)Exit status:[ \t]*([\s\S]*?\.)[ \t]*(?:\n|$))");
    std::smatch m;
    if (!std::regex_search(footer, m, sentence)) return {};
    std::string codes = std::regex_replace(m[1].str(), std::regex(R"(\s+)"), " ");
    codes.pop_back(); // the full stop
    std::string list = "*Exit Status*\n";
    static const std::regex entry(R"((\d+) ([\s\S]*?)(?:, (?=\d+ )|$))");
    for (std::sregex_iterator it(codes.begin(), codes.end(), entry), end; it != end; ++it) {
        const std::string code = (*it)[1].str();
        list += "  " + code + std::string(code.size() < 6 ? 6 - code.size() : 1, ' ') + (*it)[2].str() + "\n";
    }
    return list;
}

// How many of an option group's options the parser wants, in words; empty: any.
std::string RuleWords(const CLI::App& group)
{
    const size_t least = group.get_require_option_min(), most = group.get_require_option_max();
    if (least == 1 && most == 1) return "exactly one";
    if (least == 0 && most == 1) return "at most one";
    if (least == 1 && most == 0) return "at least one";
    return {};
}

// "Devices (exactly one)"; within a command's title "TITLE (Devices, exactly one)".
std::string GroupHeading(const CLI::App& group, const std::string& title = {})
{
    const std::string rule = RuleWords(group);
    if (title.empty()) return group.get_group() + (rule.empty() ? "" : " (" + rule + ")");
    return title + " (" + group.get_group() + (rule.empty() ? "" : ", " + rule) + ")";
}

std::vector<const CLI::App*> OptionGroups(const CLI::App& app)
{
    return app.get_subcommands(
        [](const CLI::App* sub) { return sub->get_name().empty() && !sub->get_group().empty(); });
}

} // namespace

OperatorHelp::OperatorHelp()
{
    label("Positionals", "Arguments");
    column_width(NameWidth + 2);
}

std::string OperatorHelp::make_option_name(const CLI::Option* option, bool positional) const
{
    if (positional) return option->get_name(true, false);
    return std::regex_replace(option->get_name(false, true), std::regex(",(?=-)"), ", ");
}

std::string OperatorHelp::make_option_opts(const CLI::Option* option) const
{
    if (option->get_type_size() == 0) return {};
    // The value's name without the checks the parser appends to it.
    std::string value = option->get_type_name();
    for (const auto& text : CheckTexts(option))
        if (value.size() > text.size() + 1) value.resize(value.size() - text.size() - 1);
    if (value.empty()) return {};
    const bool many = option->get_expected_max() == CLI::detail::expected_max_vector_size;
    return " " + value + (many ? "..." : "");
}

std::string OperatorHelp::make_option_desc(const CLI::Option* option) const
{
    const std::string& description = option->get_description();
    std::vector<std::string> notes;
    if (!option->get_default_str().empty() &&
        !std::regex_search(description, std::regex("default", std::regex::icase)))
        notes.push_back("default " + option->get_default_str());
    for (const auto& text : CheckTexts(option))
        notes.push_back(CheckWords(text));
    if (option->get_required()) notes.push_back("required");
    if (!option->get_envname().empty()) notes.push_back("or the environment variable " + option->get_envname());
    if (!option->get_needs().empty()) notes.push_back("needs " + Names(option->get_needs()));
    if (!option->get_excludes().empty()) notes.push_back("not with " + Names(option->get_excludes()));
    return WithNotes(description, notes);
}

std::string OperatorHelp::make_expanded(const CLI::App* group) const
{
    if (!group->get_name().empty()) return CLI::Formatter::make_expanded(group);
    // A group is given its own help flag; the command's is the one.
    return make_group(GroupHeading(*group), false, group->get_options([group](const CLI::Option* o) {
        return o->nonpositional() && o != group->get_help_ptr();
    }));
}

std::string OperatorHelp::Manual(const CLI::App& app) const
{
    // One block per option group: the program's own options first.
    auto groups = [this, &app](const CLI::App& of, const std::string& title) {
        const bool command = &of != &app;
        std::string text;
        std::vector<std::string> names = of.get_groups();
        std::stable_partition(names.begin(), names.end(), [](const std::string& g) { return g == "Options"; });
        for (const auto& group : names) {
            std::string items;
            for (const CLI::Option* option : of.get_options([&](const CLI::Option* o) {
                     return o->get_group() == group && o->nonpositional() && (!command || o != of.get_help_ptr());
                 }))
                items +=
                    Item(make_option_name(option, false) + make_option_opts(option), make_option_desc(option));
            if (group.empty() || items.empty()) continue;
            const std::string heading = group == "Options" ? title : command ? title + " (" + group + ")" : group;
            text += heading + ":\n" + items + "\n";
            if (group == "Options" && !command) {
                std::string arguments;
                for (const CLI::Option* option :
                     of.get_options([](const CLI::Option* o) { return o->get_positional(); }))
                    arguments += Item(make_option_name(option, true), make_option_desc(option));
                if (!arguments.empty()) text += "Arguments:\n" + arguments + "\n";
            }
        }
        for (const CLI::App* group : OptionGroups(of)) {
            std::string items;
            for (const CLI::Option* option :
                 group->get_options([group](const CLI::Option* o) { return o != group->get_help_ptr(); }))
                items +=
                    Item(make_option_name(option, false) + make_option_opts(option), make_option_desc(option));
            text += GroupHeading(*group, command ? title : "") + ":\n" + items + "\n";
        }
        return text;
    };
    std::string text = groups(app, "Options");
    const auto commands = app.get_subcommands({});
    if (!commands.empty()) {
        text += "Commands:\n";
        for (const CLI::App* command : commands)
            text += Item(command->get_name(), command->get_description());
        text += "\n";
    }
    for (const CLI::App* command : commands)
        text += groups(*command, "Options of " + app.get_name() + " " + command->get_name());
    return text + ExitStatusList(app.get_footer());
}

void UseOperatorHelp(CLI::App& app)
{
    auto help = std::make_shared<OperatorHelp>();
    app.formatter(help);
    app.add_flag_callback(
           "--help-man",
           [&app, help] {
               std::cout << help->Manual(app);
               throw CLI::Success();
           },
           "the option lists for the manual page")
        ->group("");
}

} // namespace rtl
