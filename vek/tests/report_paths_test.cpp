#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

namespace fs = std::filesystem;

namespace {

std::string read_all(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

// A report tells the reader which file to open. Every source path written in the library must
// be a file of the library, relative to its folder, and the very file that holds the reporting
// code: a path left behind when code moves sends the reader to the wrong place, or nowhere.
TEST(ReportPaths, NameTheFileThatHoldsTheReport) {
  const fs::path root = VEK_SOURCE_DIR;
  const std::regex source_literal(R"re("([^"\n]*\.(?:cpp|h))")re");
  const std::regex include_line(R"re(^\s*#\s*include)re");
  size_t checked = 0;
  for (const char* top : {"framework", "core", "extension"}) {
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root / top)) {
      const std::string extension = entry.path().extension().string();
      if (!entry.is_regular_file() || (extension != ".cpp" && extension != ".h")) continue;
      const std::string self = entry.path().lexically_relative(root).generic_string();
      std::istringstream lines(read_all(entry.path()));
      std::string line;
      for (int number = 1; std::getline(lines, line); ++number) {
        if (std::regex_search(line, include_line)) continue;
        for (std::sregex_iterator it(line.begin(), line.end(), source_literal), end; it != end; ++it) {
          const std::string named = (*it)[1];
          const std::string where = self + ":" + std::to_string(number) + " names \"" + named + "\"";
          EXPECT_TRUE(fs::is_regular_file(root / named)) << where << ", which does not exist";
          EXPECT_EQ(named, self) << where << ", not the file itself";
          ++checked;
        }
      }
    }
  }
  // The library reports from well over a hundred places; far fewer means the walk missed them.
  EXPECT_GT(checked, 80u);
}
