// The built libvorn.so as programs load it: it exports exactly the calls its public headers
// declare, and its SONAME carries the interface version.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

namespace {

using Names = std::set<std::string>;

// What a command prints; empty when it cannot run.
std::string outputOf(const std::string& command) {
    std::string text;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        size_t count = 0;
        while ((count = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0)
            text.append(buffer, count);
        ::pclose(pipe);
    }
    return text;
}

Names exportedSymbols() {
    std::istringstream lines(
        outputOf("nm -D --defined-only --format=posix '" VORN_LIBRARY_FILE "'"));
    Names names;
    std::string name;
    for (std::string line; std::getline(lines, line);)
        if (std::istringstream(line) >> name)
            names.insert(name);
    return names;
}

// A header's declarations: comments and preprocessor lines taken out, so that neither a call
// named in prose nor the definition of the export mark counts.
std::string declarationsOf(const std::filesystem::path& header) {
    std::ifstream file(header);
    std::stringstream whole;
    whole << file.rdbuf();
    static const std::regex comment(R"(/\*[\s\S]*?\*/|//[^\n]*)");
    std::istringstream lines(std::regex_replace(whole.str(), comment, " "));
    std::string kept;
    for (std::string line; std::getline(lines, line);)
        if (line.find_first_not_of(" \t") == std::string::npos ||
            line[line.find_first_not_of(" \t")] != '#')
            kept += line + '\n';
    return kept;
}

Names matches(const std::string& text, const std::regex& pattern) {
    Names names;
    for (std::sregex_iterator it(text.begin(), text.end(), pattern), end; it != end; ++it)
        names.insert((*it)[1]);
    return names;
}

struct PublicCalls {
    Names marked;   // declared with the export mark
    Names declared; // every VORN_ call declared, marked or not
};

PublicCalls publicCalls() {
    static const std::regex marked(R"(VORN_API[^;{}()]*?\b(\w+)\s*\()");
    static const std::regex declared(R"(\b(VORN_[a-z]\w*)\s*\()");
    PublicCalls calls;
    for (const auto& entry : std::filesystem::directory_iterator(VORN_INCLUDE_DIR)) {
        if (entry.path().extension() != ".h")
            continue;
        const std::string text = declarationsOf(entry.path());
        calls.marked.merge(matches(text, marked));
        calls.declared.merge(matches(text, declared));
    }
    return calls;
}

std::string listOf(const Names& names) {
    std::string text;
    for (const std::string& name : names)
        text += " " + name;
    return text;
}

Names minus(const Names& from, const Names& taken) {
    Names rest;
    for (const std::string& name : from)
        if (!taken.contains(name))
            rest.insert(name);
    return rest;
}

} // namespace

TEST(LibExportsTest, EveryExportedSymbolIsACallOfThePublicHeaders) {
    const Names exported = exportedSymbols();
    ASSERT_FALSE(exported.empty()) << "nm listed nothing for " VORN_LIBRARY_FILE;
    const Names undeclared = minus(exported, publicCalls().marked);
    EXPECT_TRUE(undeclared.empty())
        << "exported, not declared with VORN_API in include/:" << listOf(undeclared);
}

TEST(LibExportsTest, EveryCallOfThePublicHeadersIsMarkedAndExported) {
    const PublicCalls calls = publicCalls();
    ASSERT_GE(calls.declared.size(), 26u) << "the headers' calls were not found";
    const Names unmarked = minus(calls.declared, calls.marked);
    EXPECT_TRUE(unmarked.empty()) << "declared without VORN_API:" << listOf(unmarked);
    const Names missing = minus(calls.declared, exportedSymbols());
    EXPECT_TRUE(missing.empty()) << "not exported:" << listOf(missing);
}

TEST(LibExportsTest, SonameCarriesTheInterfaceVersion) {
    const std::string dynamic = outputOf("objdump -p '" VORN_LIBRARY_FILE "'");
    EXPECT_TRUE(std::regex_search(dynamic, std::regex(R"(SONAME\s+libvorn\.so\.1\n)")))
        << dynamic.substr(0, 2000);
}
