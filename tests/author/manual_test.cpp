// The manual page against the tool: every option it describes is one the
// tool takes, and every option the tool takes is described, command by
// command.
#include "tool.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>

using namespace tooltest;

namespace {

using Options = std::map<std::string, std::set<std::string>>;  // command ("" for none): its options

// A roff line without font changes, with "\-" as "-".
std::string Plain(std::string line) {
    line = std::regex_replace(line, std::regex(R"(\\f[BIRP])"), "");
    return std::regex_replace(line, std::regex(R"(\\-)"), "-");
}

// The options of the page's tagged paragraphs: under "OPTIONS" the tool's
// own, under "COMMANDS" those of each ".SS" command.
Options PageOptions(const std::string& path) {
    std::ifstream in(path);
    Options options;
    std::string line, section, command;
    bool tag = false;
    const std::regex option(R"((^|[ ,])(--?[A-Za-z][-A-Za-z]*))");
    while (std::getline(in, line)) {
        if (line.starts_with(".SH ")) {
            section = line.substr(4), command.clear();
            if (section == "OPTIONS") options[""];
        } else if (line.starts_with(".SS ") && section == "COMMANDS") {
            options[command = line.substr(4)];
        } else if (line == ".TP") {
            tag = true;
            continue;
        } else if (tag && (section == "OPTIONS" || (section == "COMMANDS" && !command.empty()))) {
            std::string plain = Plain(line);
            for (std::sregex_iterator m(plain.begin(), plain.end(), option), end; m != end; ++m)
                options[command].insert((*m)[2]);
        }
        tag = false;
    }
    return options;
}

// The options and commands `saverpack [command] --help` lists.
void HelpOptions(const std::string& command, Options& options, std::set<std::string>* commands) {
    std::vector<std::string> args = {"--help"};
    if (!command.empty()) args.insert(args.begin(), command);
    Result help = RunTool(SAVERPACK_EXE, args);
    ASSERT_EQ(help.status, 0) << help.err;
    std::istringstream lines(help.out);
    std::string line, heading;
    std::set<std::string>& own = options[command];
    while (std::getline(lines, line)) {
        if (!line.empty() && line[0] != ' ') heading = line;
        std::string first = line.size() > 2 && line.starts_with("  ") && line[2] != ' '
                                ? line.substr(2, line.find(' ', 2) - 2)
                                : "";
        if (heading == "Options:" && first.starts_with("-")) {
            std::istringstream names(first);
            for (std::string name; std::getline(names, name, ',');) own.insert(name);
        } else if (heading == "Subcommands:" && commands && !first.empty()) {
            commands->insert(first);
        }
    }
    // Every command takes --help; the page says so once, with the tool's options.
    if (!command.empty()) own.erase("-h"), own.erase("--help");
}

TEST(ManualPage, DescribesEveryCommandAndOptionOfTheHelpAndNoOther) {
    Options page = PageOptions(std::string(SAVER_SOURCE_DIR) + "/docs/saverpack.1.in");
    Options help;
    std::set<std::string> commands;
    HelpOptions("", help, &commands);
    ASSERT_FALSE(commands.empty()) << "no commands in saverpack --help";
    for (const std::string& command : commands) HelpOptions(command, help, nullptr);
    std::set<std::string> pageCommands, helpCommands;
    for (const auto& [command, options] : page) pageCommands.insert(command);
    for (const auto& [command, options] : help) helpCommands.insert(command);
    EXPECT_EQ(pageCommands, helpCommands) << "commands (\"\" for the tool's own options) of the page and of --help";
    for (const auto& [command, options] : help)
        EXPECT_EQ(page[command], options) << "options of \"saverpack " << command << "\" in the page and in --help";
}

}  // namespace
