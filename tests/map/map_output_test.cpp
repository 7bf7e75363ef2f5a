// What the picture replaces: a regular file with one link, found as an open of the
// name would find it, keeping its mode and owner; every other target is refused and
// left as it was. Each case runs with an unnamed temporary file and with a named one.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <set>
#include <string>

#include "map/map.hpp"
#include "support/run_program.hpp"

namespace {

namespace fs = std::filesystem;
using namespace kelv::gridmap;
using kelv::testing::readFile;
using kelv::testing::TempDir;
using kelv::testing::writeFile;

const std::string kEarlier = "an earlier picture";

Grid smallGrid() {
  Grid g;
  g.nx = 2;
  g.ny = 2;
  g.xMax = 1;
  g.yMax = 0.5;
  g.z = {0.0f, 0.3f, 0.6f, 1.0f};
  return g;
}

std::set<std::string> entries(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
  return names;
}

bool isPng(const fs::path& p) {
  return readFile(p).substr(0, 4) == "\x89PNG";
}

// Runs `body` once with unnamed temporary files and once with named ones.
void inBothWays(const std::function<void()>& body) {
  for (const bool unnamed : {true, false}) {
    SCOPED_TRACE(unnamed ? "unnamed temporary" : "named temporary");
    detail::unnamedTemporaries = unnamed;
    body();
  }
  detail::unnamedTemporaries = true;
}

// Before: the new picture was made with mode 0666 less the umask, so a private
// picture (0600) became readable by all, and another user's picture became the
// caller's; a link was replaced by a plain file, its target left as it was.
TEST(MapOutput, ReplacedPictureKeepsItsModeAndOwnerAndALinkStays) {
  const bool root = geteuid() == 0;
  inBothWays([&] {
    for (const bool linked : {false, true}) {
      SCOPED_TRACE(linked ? "through a link" : "the file itself");
      TempDir dir;
      fs::create_directory(dir / "pics");
      fs::create_directory(dir / "keep");
      const fs::path name = dir / "pics" / "map.png";
      const fs::path file = linked ? dir / "keep" / "real.png" : name;
      writeFile(file, kEarlier);
      if (linked) fs::create_symlink("../keep/real.png", name);
      for (const mode_t mode : {mode_t(0600), mode_t(0640)}) {
        ASSERT_EQ(chmod(file.c_str(), mode), 0);
        if (root) {
          ASSERT_EQ(chown(file.c_str(), 1234, 5678), 0);
        }
        struct stat before {};
        ASSERT_EQ(stat(file.c_str(), &before), 0);
        writeMap(smallGrid(), "t", name.string(), Format::png);
        struct stat after {};
        ASSERT_EQ(stat(file.c_str(), &after), 0);
        EXPECT_EQ(after.st_mode, before.st_mode);
        EXPECT_EQ(after.st_uid, before.st_uid);
        EXPECT_EQ(after.st_gid, before.st_gid);
        EXPECT_TRUE(isPng(file));
        EXPECT_EQ(fs::is_symlink(name), linked);
        EXPECT_EQ(entries(dir / "pics"), std::set<std::string>{"map.png"});
        EXPECT_EQ(entries(dir / "keep"),
                  linked ? std::set<std::string>{"real.png"} : std::set<std::string>{});
      }
    }
    {  // A new picture gets the usual permissions.
      TempDir dir;
      const mode_t mask = umask(027);
      writeMap(smallGrid(), "t", (dir / "new.png").string(), Format::png);
      umask(mask);
      EXPECT_EQ(fs::status(dir / "new.png").permissions(), fs::perms(0640));
      EXPECT_EQ(entries(dir.path()), std::set<std::string>{"new.png"});
    }
  });
}

// Before: a FIFO, a device or a link to one became a plain file holding the picture,
// a dangling link a plain file, and a file with two links was split from its other
// name, which kept the old picture.
TEST(MapOutput, AnythingButARegularFileWithOneLinkIsRefused) {
  inBothWays([] {
    TempDir dir;
    const fs::path out = dir / "map.png";
    const struct Case {
      const char* what;
      std::function<void()> make;
      std::string why;
      std::function<void()> check;
    } cases[] = {
        {"a FIFO", [&] { ASSERT_EQ(mkfifo(out.c_str(), 0644), 0); }, "not a regular file",
         [&] { EXPECT_TRUE(fs::is_fifo(out)); }},
        {"a link to a FIFO",
         [&] {
           ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0644), 0);
           fs::create_symlink("pipe", out);
         },
         "not a regular file", [&] { EXPECT_TRUE(fs::is_fifo(dir / "pipe")); }},
        {"a link to a device", [&] { fs::create_symlink("/dev/null", out); }, "not a regular file",
         [&] { EXPECT_TRUE(fs::is_character_file("/dev/null")); }},
        {"a directory", [&] { fs::create_directory(out); }, "not a regular file",
         [&] { EXPECT_TRUE(fs::is_directory(out)); }},
        {"a dangling link", [&] { fs::create_symlink("sub/none.png", out); },
         "the link leads to no file", [&] { EXPECT_FALSE(fs::exists(dir / "sub")); }},
        {"a link loop",
         [&] {
           fs::create_symlink("loop.png", out);
           fs::create_symlink("map.png", dir / "loop.png");
         },
         std::strerror(ELOOP), [] {}},
        {"a file with two links",
         [&] {
           writeFile(out, kEarlier);
           fs::create_hard_link(out, dir / "other.png");
         },
         "the file has 2 hard links; a new picture would part them",
         [&] {
           EXPECT_EQ(readFile(dir / "other.png"), kEarlier);
           EXPECT_EQ(fs::hard_link_count(out), 2u);
         }},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(c.what);
      c.make();
      const auto made = entries(dir.path());
      try {
        writeMap(smallGrid(), "t", out.string(), Format::png);
        ADD_FAILURE() << "written";
      } catch (const MapError& e) {
        EXPECT_EQ(std::string(e.what()), "cannot write " + out.string() + ": " + c.why);
      }
      EXPECT_EQ(entries(dir.path()), made);
      c.check();
      for (const auto& name : made) fs::remove_all(dir / name);
    }
  });
}

// A link in a sticky world-writable directory, owned by neither the caller nor the
// directory's owner, is not followed where the kernel protects such links: the
// picture follows it exactly when an open by the same user would.
TEST(MapOutput, ALinkIsFollowedExactlyWhenTheKernelWouldFollowIt) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give the link another owner";
  inBothWays([] {
    TempDir dir;
    fs::create_directory(dir / "shared");
    ASSERT_EQ(chmod((dir / "shared").c_str(), 01777), 0);
    const fs::path target = dir / "real.png";
    const fs::path link = dir / "shared" / "map.png";
    writeFile(target, kEarlier);
    fs::create_symlink(target, link);
    ASSERT_EQ(lchown(link.c_str(), 1234, 1234), 0);
    const int probe = open(link.c_str(), O_RDONLY | O_CLOEXEC);
    const int probeErr = errno;
    if (probe >= 0) close(probe);
    try {
      writeMap(smallGrid(), "t", link.string(), Format::png);
      EXPECT_GE(probe, 0) << "the kernel refuses the link, the map followed it";
      EXPECT_TRUE(isPng(target));
    } catch (const MapError& e) {
      EXPECT_LT(probe, 0) << e.what();
      EXPECT_EQ(std::string(e.what()),
                "cannot write " + link.string() + ": " + std::strerror(probeErr));
      EXPECT_EQ(readFile(target), kEarlier);
    }
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(entries(dir / "shared"), std::set<std::string>{"map.png"});
    EXPECT_EQ(entries(dir.path()), (std::set<std::string>{"real.png", "shared"}));
  });
}

}  // namespace
