// Tests of the output fragment, in process: output_open on every kind of
// path (new and existing files, link chains, a link loop, long link texts,
// directories, devices), the attributes the replacement keeps, and
// output_commit and output_abandon, each leaving the byte total as it was;
// and the exit handler that removes a pending temporary file.
#include "output/output.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "memory/memory.hpp"
#include "support/byte_total_fixture.hpp"
#include "support/files.hpp"

namespace {

namespace fs = std::filesystem;

const char FRAGMENT[] = "local-zone: \"ads.example.com\" static\n";
const char OLD_FRAGMENT[] = "local-zone: \"old.example.com\" static\n";

// A scratch directory per test; every test also checks the byte total.
class Output : public ByteTotalTest {
 protected:
  void SetUp() override {
    ByteTotalTest::SetUp();
    char pattern[] = "/tmp/hostzones-output-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(dir_, ignored);
    ByteTotalTest::TearDown();
  }

  std::string path(const std::string& name) const { return dir_ + "/" + name; }

  // Names in the scratch directory (or in sub), sorted.
  std::vector<std::string> listing(const std::string& sub = "") const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(sub.empty() ? dir_ : path(sub)))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  // Opens path, writes FRAGMENT and commits; the result of the commit, or
  // false when the open failed (with *opened saying which).
  static bool write_fragment(const std::string& target, bool* opened = nullptr) {
    OutputFile out{};
    const bool open = output_open(&out, target.c_str());
    if (opened != nullptr) *opened = open;
    if (!open) {
      EXPECT_EQ(out.stream, nullptr) << "a failed open leaves the struct zeroed";
      return false;
    }
    EXPECT_GE(std::fputs(FRAGMENT, out.stream), 0);
    const bool committed = output_commit(&out);
    EXPECT_EQ(out.stream, nullptr) << "commit leaves the struct zeroed";
    EXPECT_EQ(out.target_path, nullptr);
    return committed;
  }

  std::string dir_;
};

TEST_F(Output, NewFileGetsTheContentAndTheUmasksMode) {
  const mode_t saved = umask(027);
  const bool committed = write_fragment(path("new.conf"));
  umask(saved);
  ASSERT_TRUE(committed);
  EXPECT_EQ(read_file(path("new.conf")), FRAGMENT);
  struct stat st;
  ASSERT_EQ(stat(path("new.conf").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);  // 0666 less the umask
  EXPECT_EQ(listing(), std::vector<std::string>{"new.conf"}) << "no temporary file is left";
}

TEST_F(Output, ExistingFileKeepsItsModeAndOwner) {
  write_file(path("kept.conf"), OLD_FRAGMENT);
  ASSERT_EQ(chmod(path("kept.conf").c_str(), 0604), 0);
  const bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(chown(path("kept.conf").c_str(), 1234, 5678), 0);
  }
  ASSERT_TRUE(write_fragment(path("kept.conf")));
  EXPECT_EQ(read_file(path("kept.conf")), FRAGMENT);
  struct stat st;
  ASSERT_EQ(stat(path("kept.conf").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0604u);
  if (root) {
    EXPECT_EQ(st.st_uid, 1234u);
    EXPECT_EQ(st.st_gid, 5678u);
  }
  EXPECT_EQ(listing(), std::vector<std::string>{"kept.conf"});
}

TEST_F(Output, TheTemporaryFileLiesBesideTheTargetUntilCommit) {
  write_file(path("out.conf"), OLD_FRAGMENT);
  OutputFile out{};
  ASSERT_TRUE(output_open(&out, path("out.conf").c_str()));
  ASSERT_GE(std::fputs(FRAGMENT, out.stream), 0);
  const std::vector<std::string> during = listing();
  ASSERT_EQ(during.size(), 2u);
  EXPECT_EQ(during[0].rfind(".out.conf.hostzones-", 0), 0u) << during[0];
  EXPECT_EQ(read_file(path("out.conf")), OLD_FRAGMENT) << "the target is untouched until commit";
  ASSERT_TRUE(output_commit(&out));
  EXPECT_EQ(read_file(path("out.conf")), FRAGMENT);
  EXPECT_EQ(listing(), std::vector<std::string>{"out.conf"});
}

TEST_F(Output, AbandonKeepsTheTargetAndRemovesTheTemporaryFile) {
  write_file(path("out.conf"), OLD_FRAGMENT);
  OutputFile out{};
  ASSERT_TRUE(output_open(&out, path("out.conf").c_str()));
  ASSERT_GE(std::fputs(FRAGMENT, out.stream), 0);
  output_abandon(&out);
  EXPECT_EQ(out.stream, nullptr);
  EXPECT_EQ(read_file(path("out.conf")), OLD_FRAGMENT);
  EXPECT_EQ(listing(), std::vector<std::string>{"out.conf"});
  output_abandon(&out);  // a zeroed struct: nothing happens
}

TEST_F(Output, LinkChainsStayLinksAndTheirLastTargetIsReplaced) {
  ASSERT_EQ(mkdir(path("conf").c_str(), 0755), 0);
  write_file(path("conf/blocks.conf"), OLD_FRAGMENT);
  // Relative texts, each read against the directory of its own link.
  ASSERT_EQ(symlink("blocks.conf", path("conf/current").c_str()), 0);
  ASSERT_EQ(symlink("conf/current", path("out.conf").c_str()), 0);
  // An absolute text, and a dangling link whose target gets created.
  ASSERT_EQ(symlink(path("conf/blocks.conf").c_str(), path("absolute").c_str()), 0);
  ASSERT_EQ(symlink("conf/fresh.conf", path("fresh-link").c_str()), 0);

  ASSERT_TRUE(write_fragment(path("out.conf")));
  EXPECT_EQ(read_file(path("conf/blocks.conf")), FRAGMENT);
  write_file(path("conf/blocks.conf"), OLD_FRAGMENT);
  ASSERT_TRUE(write_fragment(path("absolute")));
  EXPECT_EQ(read_file(path("conf/blocks.conf")), FRAGMENT);
  ASSERT_TRUE(write_fragment(path("fresh-link")));
  EXPECT_EQ(read_file(path("conf/fresh.conf")), FRAGMENT);

  for (const char* link : {"out.conf", "conf/current", "absolute", "fresh-link"})
    EXPECT_TRUE(is_symlink(path(link))) << link;
  EXPECT_EQ(listing("conf"), (std::vector<std::string>{"blocks.conf", "current", "fresh.conf"}));
}

// A chain of exactly the longest length is followed; one link more, or a
// loop, is refused (as ELOOP would be) instead of being followed forever.
TEST_F(Output, LinkLoopsAndOverlongChainsCannotBeOpened) {
  ASSERT_EQ(symlink("loop-b", path("loop-a").c_str()), 0);
  ASSERT_EQ(symlink("loop-a", path("loop-b").c_str()), 0);
  ASSERT_EQ(symlink("self", path("self").c_str()), 0);
  bool opened = true;
  EXPECT_FALSE(write_fragment(path("loop-a"), &opened));
  EXPECT_FALSE(opened);
  EXPECT_FALSE(write_fragment(path("self"), &opened));
  EXPECT_FALSE(opened);

  // link-0 -> link-1 -> ... -> link-N -> target.conf
  const int longest = 40;
  write_file(path("target.conf"), OLD_FRAGMENT);
  for (int i = 0; i <= longest; ++i) {
    const std::string next = i == longest ? "target.conf" : "link-" + std::to_string(i + 1);
    ASSERT_EQ(symlink(next.c_str(), path("link-" + std::to_string(i)).c_str()), 0);
  }
  EXPECT_FALSE(write_fragment(path("link-0"), &opened)) << "41 links";
  EXPECT_FALSE(opened);
  EXPECT_EQ(read_file(path("target.conf")), OLD_FRAGMENT);
  EXPECT_TRUE(write_fragment(path("link-1"))) << "40 links";
  EXPECT_EQ(read_file(path("target.conf")), FRAGMENT);
}

// A link text longer than the first guess of its size (255 bytes) is read
// whole, through "./" steps that keep it pointing at the same file.
TEST_F(Output, LinkTextsLongerThan255BytesAreReadWhole) {
  write_file(path("target.conf"), OLD_FRAGMENT);
  for (const std::size_t steps : {126u, 127u, 128u, 600u}) {
    std::string text;
    for (std::size_t i = 0; i < steps; ++i)
      text += "./";
    text += "target.conf";
    const std::string link = path("long-" + std::to_string(steps));
    ASSERT_EQ(symlink(text.c_str(), link.c_str()), 0);
    write_file(path("target.conf"), OLD_FRAGMENT);
    EXPECT_TRUE(write_fragment(link)) << text.size() << " bytes";
    EXPECT_EQ(read_file(path("target.conf")), FRAGMENT) << text.size() << " bytes";
    EXPECT_TRUE(is_symlink(link));
  }
}

TEST_F(Output, PathsThatNameNoFileToReplaceCannotBeOpened) {
  ASSERT_EQ(mkdir(path("sub").c_str(), 0755), 0);
  write_file(path("plain"), OLD_FRAGMENT);
  for (const std::string& bad :
       {path("sub"), path("sub/"), path("missing/out.conf"), path("plain/out.conf")}) {
    bool opened = true;
    EXPECT_FALSE(write_fragment(bad, &opened)) << bad;
    EXPECT_FALSE(opened) << bad;
  }
  EXPECT_EQ(listing(), (std::vector<std::string>{"plain", "sub"}));
  EXPECT_TRUE(listing("sub").empty());
}

// The temporary file's name, ".NAME.hostzones-XXXXXX", is 18 bytes longer
// than the target's: a target whose name is near the file system's limit
// exists and is writable, but no temporary file can be made beside it.
TEST_F(Output, UncreatableTemporaryFileLeavesTheTargetAsItWas) {
  const long name_max = pathconf(dir_.c_str(), _PC_NAME_MAX);
  if (name_max < 32 || name_max > 4096) GTEST_SKIP() << "no usable NAME_MAX";
  const std::string name(static_cast<std::size_t>(name_max) - 4, 'n');
  write_file(path(name), OLD_FRAGMENT);
  ASSERT_EQ(read_file(path(name)), OLD_FRAGMENT);
  bool opened = true;
  EXPECT_FALSE(write_fragment(path(name), &opened));
  EXPECT_FALSE(opened);
  EXPECT_EQ(read_file(path(name)), OLD_FRAGMENT);
  EXPECT_EQ(listing(), std::vector<std::string>{name});
}

// Without root's override of permissions, a directory that refuses new
// files, and a target that refuses writes, cannot be opened.
TEST_F(Output, PermissionsThatRefuseTheReplacement) {
  if (geteuid() == 0) GTEST_SKIP() << "root is not refused by permissions";
  ASSERT_EQ(mkdir(path("locked").c_str(), 0755), 0);
  write_file(path("locked/out.conf"), OLD_FRAGMENT);
  ASSERT_EQ(chmod(path("locked").c_str(), 0555), 0);
  write_file(path("read-only.conf"), OLD_FRAGMENT);
  ASSERT_EQ(chmod(path("read-only.conf").c_str(), 0444), 0);
  for (const std::string& bad : {path("locked/out.conf"), path("read-only.conf")}) {
    bool opened = true;
    EXPECT_FALSE(write_fragment(bad, &opened)) << bad;
    EXPECT_FALSE(opened) << bad;
    EXPECT_EQ(read_file(bad), OLD_FRAGMENT) << bad;
  }
  ASSERT_EQ(chmod(path("locked").c_str(), 0755), 0);
  EXPECT_EQ(listing("locked"), std::vector<std::string>{"out.conf"});
}

TEST_F(Output, DevicesAreWrittenInPlace) {
  EXPECT_TRUE(write_fragment("/dev/null"));
  EXPECT_EQ(listing(), std::vector<std::string>{});
  // A link into /dev is written in place too, and stays a link.
  ASSERT_EQ(symlink("/dev/null", path("to-null").c_str()), 0);
  EXPECT_TRUE(write_fragment(path("to-null")));
  EXPECT_TRUE(is_symlink(path("to-null")));
}

// The allocator's fatal exit runs the exit handlers, which remove the
// temporary file of a pending replacement.
TEST_F(Output, FatalExitRemovesThePendingTemporaryFile) {
  const std::string target = path("out.conf");
  write_file(target, OLD_FRAGMENT);
  EXPECT_EXIT(
      {
        OutputFile out{};
        if (!output_open(&out, target.c_str())) std::exit(2);
        if (std::fputs(FRAGMENT, out.stream) < 0) std::exit(3);
        if (listing().size() != 2) std::exit(4);  // out.conf and the temporary file
        char* block = static_cast<char*>(allocate(8, false));
        block[8] = 1;  // the guard word
        deallocate(&block, false);
        std::exit(5);
      },
      ::testing::ExitedWithCode(1), "detected by deallocate");
  EXPECT_EQ(listing(), std::vector<std::string>{"out.conf"});
  EXPECT_EQ(read_file(target), OLD_FRAGMENT);
}

#if defined(__linux__)
// /dev/full accepts the open and refuses every write: the failure shows in
// output_commit, not as a success.
TEST_F(Output, FailedWritesToADeviceAreReported) {
  bool opened = false;
  EXPECT_FALSE(write_fragment("/dev/full", &opened));
  EXPECT_TRUE(opened);
}
#endif

}  // namespace
