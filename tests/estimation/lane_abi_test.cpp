// The lane kernels exist in several versions, one per instruction set, and each
// version passes lane vectors in registers of its own width. A function that takes
// a lane vector by value and is compiled out of line exists only once, for the
// baseline instruction set, so the AVX versions of a kernel that call it hand it
// garbage. Optimised builds inline such helpers and hide the fault; this test reads
// the symbols of the kernel libraries of whatever build it belongs to.
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>
#include <vector>

namespace kelv {
namespace {

// The parameters of a demangled function name, split at their top-level commas;
// empty for a name that is not a function.
std::vector<std::string> parametersOf(std::string name) {
  static const std::regex trailing(R"((\s*\[clone [^\]]*\]| const| volatile| &&| &)+$)");
  name = std::regex_replace(name, trailing, "");
  if (name.empty() || name.back() != ')') return {};
  int depth = 0;
  std::size_t open = std::string::npos;
  for (std::size_t i = name.size(); i-- > 0;) {
    if (name[i] == ')') ++depth;
    if (name[i] == '(' && --depth == 0) {
      open = i;
      break;
    }
  }
  if (open == std::string::npos) return {};
  std::vector<std::string> parameters(1);
  depth = 0;
  for (std::size_t i = open + 1; i + 1 < name.size(); ++i) {
    const char c = name[i];
    if (c == '(' || c == '<') ++depth;
    if (c == ')' || c == '>') --depth;
    if (c == ',' && depth == 0)
      parameters.emplace_back();
    else if (!(c == ' ' && parameters.back().empty()))
      parameters.back() += c;
  }
  return parameters;
}

// A parameter that is a lane vector or a complex lane element itself, not a pointer,
// a reference or a view of them.
bool laneVectorByValue(const std::string& parameter) {
  static const std::regex byValue(R"(.*(__vector\(\d+\)|kelv::CLaneD)( const)?)");
  return std::regex_match(parameter, byValue);
}

TEST(LaneKernels, DebugBuildPassesNoLaneVectorToAnOutOfLineFunction) {
  // An unoptimised build left the pivot check of the Hermitian factorisation out of
  // line with its lane vector argument, and blanked or changed almost every node.
  std::string offenders;
  {
    const char* library = KELV_LIBRARY_ARCHIVE;
    const std::string command = std::string("nm -C --defined-only '") + library + "' 2>/dev/null";
    FILE* nm = ::popen(command.c_str(), "r");
    ASSERT_NE(nm, nullptr);
    std::string text;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, nm)) > 0;) text.append(buffer, n);
    if (::pclose(nm) != 0) GTEST_SKIP() << "nm cannot read " << library;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
      const std::string line = text.substr(start, end - start);
      // "address type name": functions only.
      static const std::regex symbol(R"(^[0-9a-f]+ [TtWw] (.*)$)");
      std::smatch m;
      if (!std::regex_match(line, m, symbol)) continue;
      for (const std::string& parameter : parametersOf(m[1]))
        if (laneVectorByValue(parameter)) offenders += m[1].str() + "\n";
    }
  }
  EXPECT_EQ(offenders, "");
}

}  // namespace
}  // namespace kelv
