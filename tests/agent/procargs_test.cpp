#include "agent/procargs.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace {

// Names each case of a table by its "name".
template <typename Case>
std::string CaseName(const testing::TestParamInfo<Case>& c) {
  return c.param.name;
}

using namespace std::string_literals;

// A block of argc followed by `rest` verbatim.
std::vector<unsigned char> Block(int32_t argc, const std::string& rest) {
  std::vector<unsigned char> b(sizeof argc + rest.size());
  std::memcpy(b.data(), &argc, sizeof argc);
  std::memcpy(b.data() + sizeof argc, rest.data(), rest.size());
  return b;
}

// Walks a heap copy of exactly the block's size, so that a read past the end
// is caught by the address sanitizer.
bool Walk(const std::vector<unsigned char>& block) {
  std::unique_ptr<unsigned char[]> copy(new unsigned char[block.size() ? block.size() : 1]);
  if (!block.empty()) std::memcpy(copy.get(), block.data(), block.size());
  return CVArgsShowToolRun(copy.get(), block.size());
}

struct WalkCase {
  const char* name;
  std::vector<unsigned char> block;
  bool tool;
  friend void PrintTo(const WalkCase& c, std::ostream* os) { *os << c.name; }
};

class ArgsWalk : public testing::TestWithParam<WalkCase> {};

TEST_P(ArgsWalk, FindsToolOnlyAsCompleteFirstArgument) {
  EXPECT_EQ(Walk(GetParam().block), GetParam().tool);
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, ArgsWalk,
    testing::Values(
        WalkCase{"ToolRun", Block(2, "/a/CorvantisAgent\0\0\0CorvantisAgent\0--tool\0"s), true},
        WalkCase{"ToolRunThenEnvironment",
                 Block(3, "/a/A\0CorvantisAgent\0--tool\0status\0HOME=/x\0"s), true},
        WalkCase{"NoPadding", Block(2, "/p\0a\0--tool\0"s), true},
        WalkCase{"LongPadding", Block(2, "/p"s + std::string(40, '\0') + "a\0--tool\0"s), true},
        WalkCase{"EmptyPath", Block(2, "\0\0\0\0a\0--tool\0"s), true},
        WalkCase{"Argc0", Block(0, "/p\0a\0--tool\0"s), false},
        WalkCase{"ArgcNegative", Block(-1, "/p\0a\0--tool\0"s), false},
        WalkCase{"Argc1", Block(1, "/p\0a\0--tool\0"s), false},
        WalkCase{"ToolPrefix", Block(2, "/p\0a\0--toolx\0"s), false},
        WalkCase{"ToolShort", Block(2, "/p\0a\0--too\0\0\0\0"s), false},
        WalkCase{"ToolSecond", Block(3, "/p\0a\0-v\0--tool\0"s), false},
        WalkCase{"ToolMissingItsNulAtEnd", Block(2, "/p\0a\0--tool"s), false},
        WalkCase{"ToolAsPathOnly", Block(2, "--tool\0"s), false},
        WalkCase{"NoNulAfterPath", Block(2, "/p/CorvantisAgent--tool"s), false},
        WalkCase{"NoNulAfterArgv0", Block(2, "/p\0a--tool\0"s), false},
        WalkCase{"OnlyPadding", Block(2, std::string(12, '\0')), false},
        WalkCase{"Length5", Block(2, "\0"s), false},
        WalkCase{"Length4", Block(2, ""), false},
        WalkCase{"Length3", std::vector<unsigned char>{2, 0, 0}, false},
        WalkCase{"Length0", std::vector<unsigned char>{}, false}),
    CaseName<WalkCase>);

TEST(ArgsWalk, NullBlockIsNoToolRun) { EXPECT_FALSE(CVArgsShowToolRun(nullptr, 0)); }

TEST(ArgBlock, LayoutOfCommandLine) {
  std::vector<unsigned char> b = CVArgBlockFromCmdline("/x/A", "A\0--tool\0"s);
  int32_t argc;
  std::memcpy(&argc, b.data(), sizeof argc);
  EXPECT_EQ(argc, 2);
  std::string rest(b.begin() + 4, b.end());
  EXPECT_EQ(rest, "/x/A"s + std::string(8, '\0') + "A\0--tool\0"s);  // argv[0] at byte 16
  EXPECT_TRUE(Walk(b));
}

struct CmdlineCase {
  const char* name;
  std::string exe;
  std::string cmdline;
  int32_t argc;
  bool tool;
  friend void PrintTo(const CmdlineCase& c, std::ostream* os) { *os << c.name; }
};

class ArgBlockWalk : public testing::TestWithParam<CmdlineCase> {};

TEST_P(ArgBlockWalk, CountsArgumentsAndWalksBack) {
  const CmdlineCase& c = GetParam();
  std::vector<unsigned char> b = CVArgBlockFromCmdline(c.exe, c.cmdline);
  int32_t argc;
  ASSERT_GE(b.size(), sizeof argc);
  std::memcpy(&argc, b.data(), sizeof argc);
  EXPECT_EQ(argc, c.argc);
  EXPECT_EQ(Walk(b), c.tool);
}

INSTANTIATE_TEST_SUITE_P(
    Cmdlines, ArgBlockWalk,
    testing::Values(CmdlineCase{"Empty", "/x", "", 0, false},
                    CmdlineCase{"Argv0Only", "/x", "A\0"s, 1, false},
                    CmdlineCase{"Tool", "/x", "A\0--tool\0"s, 2, true},
                    CmdlineCase{"ToolWithoutLastNul", "/x", "A\0--tool"s, 2, true},
                    CmdlineCase{"UnterminatedSingle", "/x", "A"s, 1, false},
                    CmdlineCase{"ToolUnreadableExe", "", "A\0--tool\0x\0"s, 3, true},
                    CmdlineCase{"PathFillsTheBoundary", "/xy", "A\0--tool\0"s, 2, true},
                    CmdlineCase{"Agent", "/x", "A\0serve\0"s, 2, false}),
    CaseName<CmdlineCase>);

}  // namespace
