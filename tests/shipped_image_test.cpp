// One answer to "is the image there?" for every caller: tests/shipped_image.cpp
// for C++ and tests/shipped_image.py for Python give the same one, in the
// same words, for each program's variable; an image that is there yet does
// not load says so with its path.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "tests/shipped_image.h"

namespace {

using shipped::Program;

// What tests/shipped_image.py prints for the variable, and whether it exits
// with the skip status.
std::string PythonAnswer(const char *variable, bool *skips)
{
    const std::string command =
        std::string(B64_PYTHON) + " " + B64FILTER_SOURCE_DIR + "/tests/shipped_image.py " + variable;
    FILE *python = popen(command.c_str(), "r");
    std::string out;
    for (int c; (c = fgetc(python)) != EOF;)
        out += (char)c;
    int status = pclose(python);
    *skips = WIFEXITED(status) && WEXITSTATUS(status) == 77;
    if (!out.empty() && out.back() == '\n')
        out.pop_back();
    return out;
}

// The variable's value, set for a test and put back after it.
struct SetVariable {
    std::string name, saved;
    bool was;
    SetVariable(const char *variable, const char *value) : name(variable)
    {
        const char *now = getenv(variable);
        was = now != nullptr;
        saved = now ? now : "";
        if (value)
            setenv(variable, value, 1);
        else
            unsetenv(variable);
    }
    ~SetVariable()
    {
        if (was)
            setenv(name.c_str(), saved.c_str(), 1);
        else
            unsetenv(name.c_str());
    }
};

TEST(ShippedImage, IsThereOrSaysWhyNotAlikeInCppAndPython)
{
    // A directory of this run's own: other trees may run this test at once.
    std::string pattern = testing::TempDir() + "shipped_image.XXXXXX";
    ASSERT_TRUE(mkdtemp(&pattern[0])) << pattern;
    const std::string dir = pattern;
    const std::string notAnImage = dir + "/not_an_image.exe", empty = dir + "/empty.exe";
    std::ofstream(notAnImage, std::ios::binary) << "MZ";
    std::ofstream(empty, std::ios::binary).close();
    const std::string builds =
        "; `cmake --preset win32 && cmake --build --preset win32` builds it (./check does)";
    const struct {
        Program program;
        const char *value;  // null: unset
        std::string missing, fault;
    } cases[] = {
        {Program::kFilter, nullptr, "B64FILTER_WIN32_IMAGE names no image", ""},
        {Program::kUnfilter, "", "B64UNFILTER_WIN32_IMAGE names no image", ""},
        {Program::kFilter, "/nonexistent/b64filter.exe",
         "no Windows image at /nonexistent/b64filter.exe" + builds, ""},
        {Program::kUnfilter, empty.c_str(), "no Windows image at " + empty + builds, ""},
        {Program::kFilter, dir.c_str(), "no Windows image at " + dir + builds, ""},
        {Program::kUnfilter, notAnImage.c_str(), "", notAnImage + ": headers cut short at 0x3C"},
    };
    for (const auto &c : cases) {
        const char *variable = shipped::Variable(c.program);
        const Program other = c.program == Program::kFilter ? Program::kUnfilter : Program::kFilter;
        SetVariable set(variable, c.value);
        SetVariable otherSet(shipped::Variable(other), notAnImage.c_str());  // never the one asked
        std::string missing, fault;
        EXPECT_FALSE(shipped::Load(c.program, &missing, &fault)) << variable;
        EXPECT_EQ(missing, c.missing) << variable;
        EXPECT_EQ(fault, c.fault) << variable;
        bool skips = false;
        EXPECT_EQ(PythonAnswer(variable, &skips), c.missing) << variable;
        EXPECT_EQ(skips, !c.missing.empty()) << variable;
    }
    unlink(notAnImage.c_str());
    unlink(empty.c_str());
    rmdir(dir.c_str());
}

}  // namespace
