// Tests of the conversion driver: the built program run as a process (its
// arguments, inputs, summary and exit status, and the outputs it writes in
// place or keeps when a run fails), and run_conversion in-process under heap
// fault injection. How the output is replaced (modes, owners, links,
// devices, the exit handler) is tested in output_test.cpp.
#include <fcntl.h>
#include <glob.h>
#include <gtest/gtest.h>
#if defined(__linux__)
#include <sys/mount.h>
#endif
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "driver/driver.hpp"
#include "memory/memory.hpp"
#include "support/files.hpp"
#include "support/test_heap.hpp"

namespace {

namespace fs = std::filesystem;

std::string summary(int hosts, int zones) {
  return "Number of Hosts: " + std::to_string(hosts) +
         "\nNumber of Zones: " + std::to_string(zones) + "\n";
}

std::string zone_line(const std::string& name) {
  return "local-zone: \"" + name + "\" static\n";
}

// Everything a run of the program showed.
struct Outcome {
  int status;  // exit status, or -1 when it did not exit normally
  std::string out;
  std::string err;
};

// A started program whose standard output is a pipe read by finish(), or a
// descriptor of the test's own (out_fd -1).
struct Child {
  pid_t pid;
  int out_fd;
  std::string err_path;
};

// Starts the program in directory cwd with args after the program name;
// standard error goes to a file there so that it can never block. Standard
// output is a pipe, or stdout_fd when that is given.
Child spawn_hostzones(const std::string& cwd, const std::vector<std::string>& args,
                      int stdout_fd = -1) {
  Child child{-1, -1, cwd + "/../stderr-of-run"};
  int pipe_fds[2];
  if (stdout_fd >= 0) {
    pipe_fds[0] = -1;
    pipe_fds[1] = stdout_fd;
  } else if (pipe(pipe_fds) != 0) {
    return child;
  }
  std::vector<std::string> words{HOSTZONES_BINARY};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& word : words)
    argv.push_back(word.data());
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const int err_fd = open(child.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (err_fd < 0 || chdir(cwd.c_str()) != 0) _exit(127);
    dup2(pipe_fds[1], STDOUT_FILENO);
    dup2(err_fd, STDERR_FILENO);
    if (pipe_fds[0] >= 0) close(pipe_fds[0]);
    close(pipe_fds[1]);
    close(err_fd);
    execv(argv[0], argv.data());
    _exit(127);
  }
  if (stdout_fd >= 0) {
    child.pid = pid;
    return child;
  }
  close(pipe_fds[1]);
  child.pid = pid;
  child.out_fd = pipe_fds[0];
  return child;
}

Outcome finish(const Child& child) {
  Outcome run{-1, "", ""};
  char chunk[4096];
  while (child.out_fd >= 0) {
    const ssize_t n = read(child.out_fd, chunk, sizeof chunk);
    if (n > 0) {
      run.out.append(chunk, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  if (child.out_fd >= 0) close(child.out_fd);
  int wait_status = 0;
  if (waitpid(child.pid, &wait_status, 0) == child.pid && WIFEXITED(wait_status)) {
    run.status = WEXITSTATUS(wait_status);
  }
  run.err = read_file(child.err_path);
  return run;
}

// A scratch directory per test: work/ is the program's working directory,
// stderr-of-run sits beside it so that it never shows up in work/.
class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/hostzones-driver-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    work_ = root_ + "/work";
    ASSERT_EQ(mkdir(work_.c_str(), 0755), 0);
  }

  void TearDown() override {
#if defined(__linux__)
    for (auto it = mounts_.rbegin(); it != mounts_.rend(); ++it)
      umount(it->c_str());
#endif
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  std::string path(const std::string& name) const {
    return work_ + "/" + name;
  }

  // Runs the program in work/ and checks what must hold for every run.
  Outcome run(const std::vector<std::string>& args) {
    Outcome result = finish(spawn_hostzones(work_, args));
    EXPECT_EQ(result.err, "") << "nothing is ever written to standard error";
    return result;
  }

  // Names in dir (default work/), sorted.
  std::vector<std::string> listing(const std::string& dir = "") const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir.empty() ? work_ : dir)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

#if defined(__linux__)
  // Mounts a tmpfs at path(name) with the given options; false where the
  // system refuses (not root, no mount namespace).
  bool mount_tmpfs(const std::string& name, const char* options) {
    const std::string target = path(name);
    if (mkdir(target.c_str(), 0755) != 0) return false;
    if (mount("tmpfs", target.c_str(), "tmpfs", 0, options) != 0) return false;
    mounts_.push_back(target);
    return true;
  }
#endif

  std::string root_;
  std::string work_;
  std::vector<std::string> mounts_;
};

// A list of the forms that matter, and the fragment it gives.
const char* const SAMPLE_LIST =
    "# sample\n"
    "0.0.0.0 ads.example.com\n"
    "0.0.0.0 example.com\n"
    "127.0.0.1 tracker.test.net\n"
    "1.1.1.1 allowed.org\n";
const int SAMPLE_HOSTS = 4;
const int SAMPLE_ZONES = 2;

void expect_sample_fragment(const std::string& fragment) {
  // Bucket order is the emitter's business; the driver only has to deliver
  // every line once.
  EXPECT_EQ(fragment.size(), zone_line("example.com").size() + zone_line("tracker.test.net").size())
      << fragment;
  EXPECT_NE(fragment.find(zone_line("example.com")), std::string::npos) << fragment;
  EXPECT_NE(fragment.find(zone_line("tracker.test.net")), std::string::npos) << fragment;
}

TEST_F(DriverTest, TooFewArgumentsCreateAndPrintNothing) {
  const std::vector<std::vector<std::string>> cases = {{}, {"out.conf"}};
  for (const auto& args : cases) {
    const Outcome result = run(args);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_TRUE(listing().empty());
  }
}

TEST_F(DriverTest, UnopenableOutputPrintsNothing) {
  write_file(path("list.txt"), SAMPLE_LIST);
  ASSERT_EQ(mkdir(path("adir").c_str(), 0755), 0);
  ASSERT_EQ(symlink("missing-dir/x.conf", path("dangling-into-nowhere").c_str()), 0);
  write_file(path("file"), "x");
  const std::vector<std::string> outputs = {
      "missing-dir/out.conf",   // no such directory
      "adir",                   // a directory
      "new-name/",              // no file name to create
      "dangling-into-nowhere",  // a link whose target directory is missing
      "file/out.conf",          // a regular file used as a directory
  };
  for (const std::string& output : outputs) {
    const Outcome result = run({output, "list.txt"});
    EXPECT_EQ(result.status, 1) << output;
    EXPECT_EQ(result.out, "") << output;
  }
  EXPECT_EQ(listing(),
            (std::vector<std::string>{"adir", "dangling-into-nowhere", "file", "list.txt"}));
  EXPECT_TRUE(listing(path("adir")).empty());
}

TEST_F(DriverTest, UnusableInputsAreSkippedAndTheOutputIsEmpty) {
  write_file(path("three.txt"), "a.b");
  write_file(path("empty.txt"), "");
  ASSERT_EQ(mkdir(path("adir").c_str(), 0755), 0);
  const Outcome result = run({"out.conf", "missing.txt", "three.txt", "empty.txt", "adir"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, summary(0, 0));
  EXPECT_TRUE(fs::exists(path("out.conf")));
  EXPECT_EQ(read_file(path("out.conf")), "");
}

// Only regular files, or links to them, are read: some systems let read()
// return a directory's raw entries, and a FIFO's or device's size says
// nothing about what it holds. Sizes are 64-bit on every platform: a 32-bit
// build measuring with a 32-bit off_t fails stat on the large sparse list
// and would skip it where a 64-bit build reads it.
TEST_F(DriverTest, InputSizeOfEachKindOfPath) {
  const std::int64_t large = (std::int64_t{1} << 31) + 5;
  write_file(path("list.txt"), SAMPLE_LIST);
  write_file(path("large.txt"), "");
  ASSERT_EQ(truncate(path("large.txt").c_str(), static_cast<off_t>(large)), 0);
  ASSERT_EQ(mkdir(path("adir").c_str(), 0755), 0);
  ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
  ASSERT_EQ(symlink("list.txt", path("link-to-list").c_str()), 0);
  ASSERT_EQ(symlink("adir", path("link-to-dir").c_str()), 0);
  ASSERT_EQ(symlink("missing.txt", path("dangling").c_str()), 0);
  const auto list_size = static_cast<std::int64_t>(std::strlen(SAMPLE_LIST));
  struct Case {
    std::string path;
    std::int64_t size;
  };
  const Case cases[] = {
      {path("list.txt"), list_size},
      {path("link-to-list"), list_size},
      {path("large.txt"), large},
      {path("missing.txt"), -1},
      {path("dangling"), -1},
      {path("adir"), -1},
      {path("link-to-dir"), -1},
      {path("fifo"), -1},
      {"/dev/null", -1},
  };
  for (const Case& c : cases)
    EXPECT_EQ(input_size(c.path.c_str()), c.size) << c.path;
}

// Where the address space cannot hold a 2 GiB list (32-bit builds), the list
// still reaches the allocator, which refuses its buffer: the run ends with
// status 1, nothing printed and the previous fragment kept, as a 64-bit run
// out of memory does, instead of skipping the list in silence and writing a
// fragment without it. A 64-bit build holds and reads such a list, which
// this test does not ask of it.
TEST_F(DriverTest, ListBeyondTheAddressSpaceKeepsThePreviousFragment) {
  const std::int64_t huge = std::int64_t{1} << 31;
  if (PTRDIFF_MAX > huge) GTEST_SKIP() << "this build can hold a 2 GiB list";
  write_file(path("list.txt"), SAMPLE_LIST);
  write_file(path("huge.txt"), "");
  ASSERT_EQ(truncate(path("huge.txt").c_str(), static_cast<off_t>(huge)), 0);
  const std::string old_fragment = zone_line("old.example.com");
  write_file(path("out.conf"), old_fragment);
  const Outcome result = run({"out.conf", "list.txt", "huge.txt"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(read_file(path("out.conf")), old_fragment);
  EXPECT_EQ(listing(), (std::vector<std::string>{"huge.txt", "list.txt", "out.conf"}));
}

TEST_F(DriverTest, InputsOfFourAndThreeBytes) {
  write_file(path("four.txt"), "a.bc");
  write_file(path("three.txt"), "a.b");
  struct Case {
    const char* input;
    int status;
    int hosts;
    std::string fragment;
  };
  // In turn on one output: the run without a zone line keeps the first
  // run's fragment.
  const Case cases[] = {
      {"four.txt", 0, 1, zone_line("a.bc")},
      {"three.txt", 1, 0, zone_line("a.bc")},
  };
  for (const Case& c : cases) {
    const Outcome result = run({"out.conf", c.input});
    EXPECT_EQ(result.status, c.status) << c.input;
    EXPECT_EQ(result.out, summary(c.hosts, c.hosts)) << c.input;
    EXPECT_EQ(read_file(path("out.conf")), c.fragment) << c.input;
  }
}

TEST_F(DriverTest, ArgumentsThatLookLikeOptionsArePaths) {
  write_file(path("-h"), "a.bc");
  const Outcome result = run({"--output", "-h"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, summary(1, 1));
  EXPECT_EQ(read_file(path("--output")), zone_line("a.bc"));
}

TEST_F(DriverTest, SameInputTwiceCountsItsNamesOnce) {
  write_file(path("list.txt"), SAMPLE_LIST);
  const Outcome result = run({"out.conf", "list.txt", "list.txt"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, summary(SAMPLE_HOSTS, SAMPLE_ZONES));
  expect_sample_fragment(read_file(path("out.conf")));
}

// The output is replaced only at the end, so an output named again as an
// input is read with its previous content. Its lines ("local-zone: ..."
// followed by more tokens) are of no accepted form, so nothing of it is
// parsed: the result is the one without it.
TEST_F(DriverTest, OutputGivenAsInputAddsNothing) {
  write_file(path("list.txt"), SAMPLE_LIST);
  const Outcome first = run({"out.conf", "list.txt"});
  ASSERT_EQ(first.status, 0);
  const std::string fragment = read_file(path("out.conf"));
  ASSERT_FALSE(fragment.empty());
  const Outcome second = run({"out.conf", "out.conf", "list.txt", "out.conf"});
  EXPECT_EQ(second.status, 0);
  EXPECT_EQ(second.out, first.out);
  EXPECT_EQ(read_file(path("out.conf")), fragment);
}

// A run that writes no zone line exits 1 and leaves an existing fragment
// byte for byte as it was, the very same file (a link to one included); only
// a fragment that does not exist yet is created, empty.
TEST_F(DriverTest, RunWithoutZoneLinesKeepsAnExistingFragment) {
  write_file(path("exempt.txt"), "1.1.1.1 a.com b.example.org\n");
  write_file(path("comments.txt"), "# nothing but a comment\n");
  const std::string old_fragment = zone_line("old.example");
  write_file(path("old.conf"), old_fragment);
  write_file(path("empty.conf"), "");
  write_file(path("target.conf"), old_fragment);
  ASSERT_EQ(symlink("target.conf", path("linked.conf").c_str()), 0);
  struct Case {
    const char* output;
    const char* input;
    int hosts;
    std::string fragment;  // what the output holds afterwards
  };
  const Case cases[] = {
      {"old.conf", "exempt.txt", 2, old_fragment}, {"old.conf", "comments.txt", 0, old_fragment},
      {"empty.conf", "exempt.txt", 2, ""},         {"linked.conf", "exempt.txt", 2, old_fragment},
      {"new.conf", "exempt.txt", 2, ""},
  };
  for (const Case& c : cases) {
    struct stat before {};
    const bool existed = stat(path(c.output).c_str(), &before) == 0;
    const Outcome result = run({c.output, c.input});
    EXPECT_EQ(result.status, 1) << c.output << " " << c.input;
    EXPECT_EQ(result.out, summary(c.hosts, 0)) << c.output << " " << c.input;
    struct stat after {};
    ASSERT_EQ(stat(path(c.output).c_str(), &after), 0) << c.output;
    EXPECT_EQ(read_file(path(c.output)), c.fragment) << c.output << " " << c.input;
    if (existed) {
      EXPECT_EQ(after.st_ino, before.st_ino) << c.output << " was replaced";
    }
  }
  EXPECT_TRUE(is_symlink(path("linked.conf")));
  EXPECT_EQ(listing(),
            (std::vector<std::string>{"comments.txt", "empty.conf", "exempt.txt", "linked.conf",
                                      "new.conf", "old.conf", "target.conf"}));
}

// sysfs files report a size of 4096 whatever they hold, so reading one is a
// read that delivers less than stat promised: the file is not parsed (a
// version such as "2.3" would otherwise be stored as a bare domain), and the
// next input is processed as usual.
TEST_F(DriverTest, InputShorterThanItsStatSizeIsNotParsed) {
  std::string short_file;
  glob_t found{};
  if (glob("/sys/module/*/version", 0, nullptr, &found) == 0) {
    for (std::size_t i = 0; i < found.gl_pathc && short_file.empty(); ++i) {
      struct stat st;
      const std::string candidate = found.gl_pathv[i];
      const std::string content = read_file(candidate);
      const std::size_t dot = content.find('.');
      if (stat(candidate.c_str(), &st) == 0 &&
          static_cast<std::size_t>(st.st_size) > content.size() && st.st_size >= 4 &&
          dot != std::string::npos && dot > 0 && content.find(' ') == std::string::npos) {
        short_file = candidate;
      }
    }
  }
  globfree(&found);
  if (short_file.empty()) GTEST_SKIP() << "no sysfs file whose size exceeds its content";
  write_file(path("four.txt"), "a.bc");
  const Outcome result = run({"out.conf", short_file, "four.txt"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, summary(1, 1));
  EXPECT_EQ(read_file(path("out.conf")), zone_line("a.bc"));
}

#if defined(__linux__)
// /dev/full takes the open and refuses the writes: the replacement fails at
// its end, after the summary, and the run is not a success.
TEST_F(DriverTest, FailedWriteOfTheFragmentEndsWithStatusOne) {
  write_file(path("list.txt"), SAMPLE_LIST);
  const Outcome to_full = run({"/dev/full", "list.txt"});
  EXPECT_EQ(to_full.status, 1);
  EXPECT_EQ(to_full.out, summary(SAMPLE_HOSTS, SAMPLE_ZONES));
}
#endif

// Standard output a pipe, or redirected to a regular file, and the output
// naming it through a descriptor path: every zone line, then the summary,
// nothing overwritten; with ">>" after what the file held.
TEST_F(DriverTest, OutputNamingStandardOutputGetsTheLinesThenTheSummary) {
  write_file(path("list.txt"), SAMPLE_LIST);
  const Outcome to_pipe = run({"/dev/stdout", "list.txt"});
  EXPECT_EQ(to_pipe.status, 0);
  const std::string tail = summary(SAMPLE_HOSTS, SAMPLE_ZONES);
  ASSERT_GE(to_pipe.out.size(), tail.size());
  EXPECT_EQ(to_pipe.out.substr(to_pipe.out.size() - tail.size()), tail);
  expect_sample_fragment(to_pipe.out.substr(0, to_pipe.out.size() - tail.size()));

  std::vector<std::string> outputs = {"/dev/stdout", "/dev/fd/1"};
#ifdef __linux__
  outputs.push_back("/proc/self/fd/1");
#endif
  const std::string earlier = "earlier output\n";
  for (const std::string& output : outputs) {
    for (const bool append : {false, true}) {
      SCOPED_TRACE(output + (append ? " >> file" : " > file"));
      const std::string file = root_ + "/captured";
      write_file(file, earlier);
      const int fd = open(file.c_str(), O_WRONLY | (append ? O_APPEND : O_TRUNC));
      ASSERT_GE(fd, 0);
      const Outcome result = finish(spawn_hostzones(work_, {output, "list.txt"}, fd));
      close(fd);
      EXPECT_EQ(result.status, 0);
      EXPECT_EQ(result.err, "");
      const std::string content = read_file(file);
      const std::string head = append ? earlier : "";
      ASSERT_GE(content.size(), head.size() + tail.size()) << content;
      EXPECT_EQ(content.substr(0, head.size()), head) << content;
      EXPECT_EQ(content.substr(content.size() - tail.size()), tail) << content;
      expect_sample_fragment(
          content.substr(head.size(), content.size() - head.size() - tail.size()));
    }
  }
  EXPECT_EQ(listing(), std::vector<std::string>{"list.txt"});
}

TEST_F(DriverTest, FifoOutputIsWrittenDirectly) {
  write_file(path("list.txt"), SAMPLE_LIST);
  ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
  const Child child = spawn_hostzones(work_, {"fifo", "list.txt"});
  std::string fragment;
  const int fd = open(path("fifo").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  char chunk[4096];
  for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0;) {
    fragment.append(chunk, static_cast<std::size_t>(n));
  }
  close(fd);
  const Outcome result = finish(child);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, summary(SAMPLE_HOSTS, SAMPLE_ZONES));
  expect_sample_fragment(fragment);
  EXPECT_EQ(listing(), (std::vector<std::string>{"fifo", "list.txt"}));
}

#if defined(__linux__)
// Mount namespaces and tmpfs options are Linux's.
// Many distinct names whose fragment is far larger than 64 KiB.
std::string large_list() {
  std::string list;
  for (int i = 0; i < 4000; ++i)
    list += "0.0.0.0 host" + std::to_string(i) + ".example.net\n";
  return list;
}

TEST_F(DriverTest, FullFileSystemKeepsThePreviousFragment) {
  if (!mount_tmpfs("small", "size=64k")) GTEST_SKIP() << "cannot mount a tmpfs here";
  write_file(path("list.txt"), large_list());
  const std::string old_fragment = zone_line("old.example.com");
  write_file(path("small/out.conf"), old_fragment);
  const Outcome result = run({"small/out.conf", "list.txt"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, summary(4000, 4000));
  EXPECT_EQ(read_file(path("small/out.conf")), old_fragment);
  EXPECT_EQ(listing(path("small")), std::vector<std::string>{"out.conf"});
}

TEST_F(DriverTest, ReadOnlyFileSystemCannotBeOpened) {
  if (!mount_tmpfs("ro", "size=64k")) GTEST_SKIP() << "cannot mount a tmpfs here";
  const std::string old_fragment = zone_line("old.example.com");
  write_file(path("ro/out.conf"), old_fragment);
  if (mount("tmpfs", path("ro").c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, "size=64k") != 0) {
    GTEST_SKIP() << "cannot remount read-only";
  }
  write_file(path("list.txt"), SAMPLE_LIST);
  for (const char* output : {"ro/out.conf", "ro/new.conf"}) {
    const Outcome result = run({output, "list.txt"});
    EXPECT_EQ(result.status, 1) << output;
    EXPECT_EQ(result.out, "") << output;
  }
  EXPECT_EQ(read_file(path("ro/out.conf")), old_fragment);
  EXPECT_EQ(listing(path("ro")), std::vector<std::string>{"out.conf"});
}
#endif

// run_conversion in-process, so that heap requests can be failed one by one.
class DriverMemoryTest : public DriverTest {
 protected:
  Outcome convert(const std::vector<std::string>& args, std::int64_t fail_at, bool later_too) {
    std::vector<std::string> words{"hostzones"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words)
      argv.push_back(word.data());
    argv.push_back(nullptr);
    test_heap_reset();
    test_heap.fail_at = fail_at;
    test_heap.fail_later_too = later_too;
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    const int status = run_conversion(static_cast<int>(words.size()), argv.data());
    Outcome result{status, ::testing::internal::GetCapturedStdout(),
                   ::testing::internal::GetCapturedStderr()};
    requests_ = test_heap.requests;
    test_heap_reset();
    EXPECT_EQ(allocated_bytes.load(), 0) << "every block is released by the end of a run";
    EXPECT_EQ(result.err, "");
    return result;
  }

  std::int64_t requests_ = 0;
};

// Every heap request of a run, failed in turn (alone, and with every later
// one): the run ends with status 1 and the previous fragment byte for byte.
// Before the first name is stored (output, table, input buffer) nothing is
// printed; a name lost later still gets the summary.
TEST_F(DriverMemoryTest, EveryFailedHeapRequestKeepsThePreviousFragment) {
  const std::string out = path("out.conf");
  const std::string list = path("list.txt");
  const std::string names_free = path("comment.txt");
  write_file(list, SAMPLE_LIST);
  write_file(names_free, "# nothing to store\n");
  const std::string old_fragment = zone_line("old.example.com");

  write_file(out, old_fragment);
  const Outcome reference = convert({out, list}, 0, false);
  ASSERT_EQ(reference.status, 0);
  ASSERT_EQ(reference.out, summary(SAMPLE_HOSTS, SAMPLE_ZONES));
  const std::int64_t total_requests = requests_;
  const Outcome no_names = convert({out, names_free}, 0, false);
  ASSERT_EQ(no_names.status, 1);
  const std::int64_t requests_before_names = requests_;
  ASSERT_LT(requests_before_names, total_requests);

  for (const bool later_too : {false, true}) {
    for (std::int64_t k = 1; k <= total_requests; ++k) {
      SCOPED_TRACE("request " + std::to_string(k) + (later_too ? " and later" : ""));
      write_file(out, old_fragment);
      const Outcome result = convert({out, list}, k, later_too);
      EXPECT_EQ(result.status, 1);
      EXPECT_EQ(read_file(out), old_fragment);
      EXPECT_EQ(listing(), (std::vector<std::string>{"comment.txt", "list.txt", "out.conf"}));
      if (k <= requests_before_names) {
        EXPECT_EQ(result.out, "");
      } else {
        EXPECT_EQ(result.out.rfind("Number of Hosts: " + std::to_string(SAMPLE_HOSTS) + "\n", 0),
                  0u)
            << result.out;
      }
    }
  }
}

TEST_F(DriverMemoryTest, RepeatedRunsInOneProcessStartFromAFreshState) {
  const std::string list = path("list.txt");
  write_file(list, SAMPLE_LIST);
  for (int i = 0; i < 2; ++i) {
    const Outcome result = convert({path("out.conf"), list}, 0, false);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, summary(SAMPLE_HOSTS, SAMPLE_ZONES));
  }
  const Outcome too_few = convert({path("out.conf")}, 0, false);
  EXPECT_EQ(too_few.status, 1);
  EXPECT_EQ(too_few.out, "");
}

}  // namespace
