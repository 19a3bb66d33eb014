// A test's whole outcome as text, compared with its file under tests/golden; a row may open with "== <row>".
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

// The lines of a file of tests/golden but its '#' comments.
inline std::vector<std::string> GoldenLines(const std::string& name)
{
    std::ifstream in(UMPD_GOLDEN_DIR "/" + name);
    EXPECT_TRUE(in.is_open()) << name;
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        if (line.compare(0, 1, "#") != 0) lines.push_back(line);
    return lines;
}

// Fails at the first line that differs, naming its row.
inline void ExpectGolden(const std::string& name, const std::string& transcript)
{
    std::vector<std::string> want = GoldenLines(name), got;
    std::istringstream in(transcript);
    for (std::string line; std::getline(in, line);) got.push_back(line);
    std::string row;
    size_t i = 0;
    for (; i < want.size() && i < got.size() && want[i] == got[i]; i++)
        if (got[i].compare(0, 3, "== ") == 0) row = got[i].substr(3);
    if (i < want.size() || i < got.size())
        ADD_FAILURE() << name << ", row " << row << ", transcript line " << i + 1 << "\n want: "
                      << (i < want.size() ? want[i] : "(the end)") << "\n  got: " << (i < got.size() ? got[i] : "(the end)");
}
