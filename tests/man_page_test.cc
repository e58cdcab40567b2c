// The man page sfxpack(1) and `sfxpack --help` against the option table:
// the same options; the launcher's switches, the usual sections, and no
// complaint from groff.
#include <string.h>

#include <map>
#include <regex>
#include <set>

#include "cli/pack_options.h"
#include "sfx.h"

namespace {

std::string man_page() { return read_text(SFX_MAN_PAGE); }

// The man page's lines between ".SH NAME" and the next ".SH".
std::vector<std::string> man_section(const std::string &name)
{
    std::vector<std::string> section;
    bool inside = false;
    for (const std::string &line : split_lines(man_page())) {
        if (line.rfind(".SH", 0) == 0) {
            inside = line == ".SH " + name || line == ".SH \"" + name + "\"";
            continue;
        }
        if (inside)
            section.push_back(line);
    }
    return section;
}

// A roff line as text: no font changes, no macro name, plain hyphens.
std::string plain(std::string line)
{
    line = std::regex_replace(line, std::regex(R"(\\f[BIRP])"), "");
    line = std::regex_replace(line, std::regex(R"(\\-)"), "-");
    line = std::regex_replace(line, std::regex(R"(^\.[A-Z]+ ?)"), "");
    return std::regex_replace(line, std::regex("\""), " ");
}

std::set<std::string> options_in(const std::string &text)
{
    std::set<std::string> found;
    std::regex option(R"((^|[\s,\[])(--?[a-z][a-z-]*))");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), option);
         it != std::sregex_iterator(); ++it)
        found.insert((*it)[2]);
    return found;
}

// The option column of the help's "options:" block.
std::set<std::string> help_options(const std::string &help)
{
    std::set<std::string> found;
    bool inside = false;
    for (const std::string &line : split_lines(help)) {
        if (line == "options:") {
            inside = true;
            continue;
        }
        if (inside && line.empty())
            break;
        if (inside && line.rfind("  -", 0) == 0) {
            std::set<std::string> here = options_in(line.substr(0, line.find("   ", 2)));
            found.insert(here.begin(), here.end());
        }
    }
    return found;
}

// The tag lines (after .TP) of the OPTIONS section.
std::set<std::string> man_options()
{
    std::set<std::string> found;
    std::vector<std::string> lines = man_section("OPTIONS");
    for (size_t i = 0; i + 1 < lines.size(); i++)
        if (lines[i] == ".TP") {
            std::set<std::string> here = options_in(plain(lines[i + 1]));
            found.insert(here.begin(), here.end());
        }
    return found;
}

// How each row of the option table is spelt: "--verbose" and "-v".
std::set<std::string> table_spellings()
{
    std::set<std::string> spelt;
    for (size_t i = 0; i < pack_option_count; i++) {
        const PackOption &option = pack_option_table[i];
        if (option.name != nullptr)
            spelt.insert(option.name);
        if (option.short_name != 0)
            spelt.insert(std::string("-") + option.short_name);
    }
    return spelt;
}

// Both ways, against the parser's own table: every option it takes is in
// --help, every option --help lists is one it takes, and what a row says it
// implies is a row too.
TEST(PackerHelp, DocumentsEveryOption)
{
    RunResult help = run_sfxpack({"--help"});
    ASSERT_EQ(help.exit_code, 0);
    EXPECT_EQ(help.out.find('{'), std::string::npos) << "a number left unfilled";
    std::set<std::string> documented = help_options(help.out);
    std::set<std::string> spelt = table_spellings();
    EXPECT_GE(spelt.size(), 20u);
    EXPECT_EQ(documented, spelt);
    for (size_t i = 0; i < pack_option_count; i++) {
        const PackOption &option = pack_option_table[i];
        EXPECT_GT(strlen(option.help), 0u) << option_spelling(option);
        EXPECT_TRUE(option.implies == nullptr || spelt.count(option.implies) == 1)
            << option_spelling(option) << " implies " << option.implies;
    }
    for (const std::string &option : documented) {
        RunResult r = run_sfxpack({option});
        EXPECT_EQ(r.err.find("unknown option"), std::string::npos) << option << ": " << r.err;
    }
    RunResult bogus = run_sfxpack({"--no-such-option"});
    EXPECT_NE(bogus.err.find("unknown option '--no-such-option'"), std::string::npos) << bogus.err;
}

TEST(ManPage, ListsTheOptionsThatHelpLists)
{
    RunResult help = run_sfxpack({"--help"});
    ASSERT_EQ(help.exit_code, 0);
    std::set<std::string> from_help = help_options(help.out);
    EXPECT_GE(from_help.size(), 12u);
    EXPECT_EQ(man_options(), from_help);
}

// Each tag shows an option's value under the name the table gives it.
TEST(ManPage, NamesEachValueAsTheTableDoes)
{
    std::map<std::string, std::string> tags;  // option: its tag line, plain
    std::vector<std::string> lines = man_section("OPTIONS");
    for (size_t i = 0; i + 1 < lines.size(); i++)
        if (lines[i] == ".TP")
            for (const std::string &option : options_in(plain(lines[i + 1])))
                tags[option] = plain(lines[i + 1]);
    for (size_t i = 0; i < pack_option_count; i++) {
        const PackOption &option = pack_option_table[i];
        if (option.placeholder == nullptr)
            continue;
        EXPECT_NE(tags[option_spelling(option)].find(option.placeholder), std::string::npos)
            << option_spelling(option) << " " << option.placeholder;
    }
}

TEST(ManPage, HasTheUsualSectionsAndTheLauncherSide)
{
    for (const char *section : {"NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS",
                                "LAUNCHER SWITCHES", "ENVIRONMENT", "EXIT STATUS",
                                "EXAMPLES"})
        EXPECT_FALSE(man_section(section).empty()) << section;

    std::string switches;
    for (const std::string &line : man_section("LAUNCHER SWITCHES"))
        switches += plain(line) + "\n";
    for (const char *s : {"@unpack", "@list", "@version", "@debug", "@verbose"})
        EXPECT_NE(switches.find(s), std::string::npos) << s;

    std::string environment;
    for (const std::string &line : man_section("ENVIRONMENT"))
        environment += plain(line) + "\n";
    for (const char *v : {"\nTEMP\n", "\nTMP\n"})
        EXPECT_NE(environment.find(v), std::string::npos) << v;

    std::string exit_status;
    for (const std::string &line : man_section("EXIT STATUS"))
        exit_status += plain(line) + "\n";
    for (const char *status : {"\n0\n", "\n122\n", "\n124\n", "\n125\n", "\n126\n", "\n127\n"})
        EXPECT_NE(exit_status.find(status), std::string::npos) << status;
}

// The version the project declares, read from its source rather than from
// what the build configured out of it.
std::string declared_version()
{
    std::smatch m;
    std::string project = read_text(SFX_PROJECT_FILE);
    if (!std::regex_search(project, m, std::regex(R"(project\(sfxlaunch VERSION ([0-9.]+))")))
        return "";
    return m[1];
}

TEST(ManPage, CarriesTheVersionThatTheProjectDeclaresAndSfxpackPrints)
{
    std::string declared = declared_version();
    ASSERT_FALSE(declared.empty()) << SFX_PROJECT_FILE;
    RunResult version = run_sfxpack({"--version"});
    EXPECT_EQ(version.exit_code, 0);
    EXPECT_EQ(version.out, "sfxpack (sfxlaunch) " + declared + "\n");
    std::vector<std::string> lines = split_lines(man_page());
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines[0].find("\"sfxlaunch " + declared + "\""), std::string::npos) << lines[0];
}

TEST(ManPage, FormatsWithoutWarnings)
{
    RunResult r = run_process({"groff", "-man", "-Tutf8", "-ww", "-z", SFX_MAN_PAGE});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
}

}  // namespace
