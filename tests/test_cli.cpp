// The docx-tools command: output, exit status and messages as a user sees them.
#include <gtest/gtest.h>

#include <string>

#include "testkit.h"

namespace {

using testkit::TempDir;

testkit::Command tool(const std::string &args) {
    return testkit::run_command(std::string("'") + DOCX_TOOLS + "' " + args);
}

const std::string SAMPLE = std::string("'") + DOCX_SAMPLE + "'";

struct Case {
    const char *args;
    int status;
    const char *output;  // a line or fragment the output must hold
};

TEST(Cli, ExitStatusAndOutputOfEachCommand) {
    const Case cases[] = {
        {"content @", 0, "# Quarterly report\n"},
        {"content @", 0, "| Region | Sales |\n| --- | --- |\n"},
        {"content @ --plain", 0, "Region\tSales\n"},
        {"tables @", 0, "[[[\"Region\",\"Sales\"],[\"North\",\"1,200\"],[\"South\",\"950\"]]]\n"},
        {"tables @ --pretty", 0, "[\n  [\n    [\n      \"Region\","},
        {"info @", 0, "{\"paragraphs\":6,\"tables\":1,\"images\":0,"},
        {"info @ --pretty", 0, "{\n  \"paragraphs\": 6,\n  \"tables\": 1,"},
        {"--version", 0, "docx-tools 0.1.0\n"},
        {"--help", 0, "usage: docx-tools"},
        {"content @ --help", 0, "usage: docx-tools"},
        {"content nowhere.docx", 1, "docx-tools: cannot open file: nowhere.docx (No such file"},
        {"", 2, "docx-tools: missing command"},
        {"frobnicate", 2, "docx-tools: unknown command frobnicate"},
        {"content", 2, "docx-tools: content takes one FILE"},
        {"content @ --bold", 2, "docx-tools: unknown option --bold"},
        {"write @", 2, "docx-tools: missing -o OUT"},
        {"merge -o", 2, "docx-tools: -o needs a file name"},
        {"replace @ a", 2, "docx-tools: replace takes FILE FIND REPLACEMENT"},
        {"merge -o out.docx \"$(printf '\\377.docx')\"", 1,
         "docx-tools: path is not valid UTF-8: \xff.docx"},
    };
    for (const Case &c : cases) {
        std::string args = c.args;
        if (auto at = args.find('@'); at != std::string::npos) args.replace(at, 1, SAMPLE);
        testkit::Command r = tool(args);
        EXPECT_EQ(r.status, c.status) << args << "\n" << r.output;
        EXPECT_NE(r.output.find(c.output), std::string::npos) << args << "\n" << r.output;
    }
}

TEST(Cli, WriteReplaceAndMergeRoundTrip) {
    TempDir dir;
    std::string md = dir.file("in.md"), a = dir.file("a.docx"), b = dir.file("b.docx");
    std::string both = dir.file("both docx's.docx");  // a quote and a space need escaping
    testkit::write_file(md, "# Notes\nMeet **Ada** on Monday.\n");
    ASSERT_EQ(tool("write '" + md + "' -o '" + a + "'").status, 0);
    EXPECT_EQ(tool("content '" + a + "'").output, "# Notes\nMeet **Ada** on Monday.\n");

    testkit::Command r = tool("replace '" + a + "' monday Friday -o '" + b + "' --ignore-case");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, "1\n");
    EXPECT_EQ(tool("content --plain '" + b + "'").output, "Notes\nMeet Ada on Friday.\n");

    r = testkit::run_command("printf 'plain *text*\\r\\n' | '" + std::string(DOCX_TOOLS) +
                             "' write - --plain -o '" + a + "'");
    EXPECT_EQ(r.status, 0) << r.output;
    std::string quoted = "\"" + both + "\"";
    r = tool("merge -o " + quoted + " '" + a + "' '" + b + "'");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(tool("content " + quoted).output, "plain *text*\n# Notes\nMeet **Ada** on Friday.\n");

    r = tool("merge -o '" + dir.file("c.docx") + "' '" + a + "' '" + dir.file("none.docx") + "'");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("docx-tools: cannot open file:"), std::string::npos) << r.output;
    EXPECT_FALSE(testkit::fs::exists(dir.file("c.docx")));
}

// Libraries planted in the working folder are never loaded in place of the
// real ones.
TEST(Cli, IgnoresLibrariesInTheWorkingFolder) {
    TempDir dir;
    for (const char *lib : {"libc.so.6", "libzip.so.4", "libstdc++.so.6", "libdeflate.so.0"})
        testkit::write_file(dir.file(lib), "not a library");
    testkit::Command r = testkit::run_command("cd '" + dir.file("") + "' && '" +
                                              std::string(DOCX_TOOLS) + "' --version");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, "docx-tools 0.1.0\n");
}

}  // namespace
