// Kill test: the program converts a large generated list over a previous
// fragment and is killed with SIGKILL at spread-out moments: while it reads
// and parses (timed kills, and the moment its temporary file appears), while
// it writes (the temporary file has bytes, half of them), and around the
// rename (the temporary file is complete, so flush, fsync, close and rename
// are under way). After every kill the fragment must be byte for byte either
// the previous one or the complete new one, and both of those are checked
// with unbound-checkconf. The only thing a kill may leave behind is the
// temporary file ".NAME.hostzones-XXXXXX" beside the target.
//
// Runs the unsanitized hostzones_plain (HOSTZONES_PLAIN_BINARY), as users
// would; unbound-checkconf missing: skipped, or failed when CI is set.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/files.hpp"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kNames = 800000;
const std::string kTempPrefix = ".blocked.conf.hostzones-";

// A hosts list and a domain list, different names in each, so that their
// fragments differ everywhere.
void write_list(const std::string& path, char variant) {
  std::string text;
  text.reserve(static_cast<std::size_t>(kNames) * 40);
  char line[96];
  for (int i = 0; i < kNames; ++i) {
    const int n =
        variant == 'a'
            ? std::snprintf(line, sizeof line, "0.0.0.0 ad%07d.s%03d.list-a.example\n", i, i % 977)
            : std::snprintf(line, sizeof line, "t%07d.k%02d.list-b.example.net\n", i, i % 89);
    text.append(line, static_cast<std::size_t>(n));
  }
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::vector<std::string> entries_of(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return names;
  while (const dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(d);
  return names;
}

// Size of the temporary file in dir, or -1 while there is none. *known
// caches its path, so that polling costs one stat once the file exists and
// takes little from the process under test.
long long temp_size(const std::string& dir, std::string* known) {
  struct stat st;
  if (!known->empty() && stat(known->c_str(), &st) == 0) return st.st_size;
  for (const std::string& name : entries_of(dir)) {
    if (name.rfind(kTempPrefix, 0) != 0) continue;
    *known = dir + "/" + name;
    if (stat(known->c_str(), &st) == 0) return st.st_size;
  }
  known->clear();
  return -1;
}

pid_t start_conversion(const std::string& output, const std::string& input) {
  const pid_t pid = fork();
  if (pid == 0) {
    const int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, STDOUT_FILENO);
    execl(HOSTZONES_PLAIN_BINARY, "hostzones", output.c_str(), input.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

// When to kill: after a share of a full run's time (fraction_of_run >= 0),
// or once the temporary file holds a share of the new fragment's bytes
// (fraction_of_output >= 0; 0: as soon as the file exists); both negative:
// no kill, the run must complete and replace the fragment.
struct KillPlan {
  const char* moment;
  double fraction_of_run;
  double fraction_of_output;
};

// The resolver's tools live in /usr/sbin on Debian and in /usr/local/sbin
// (or /usr/local/bin) where FreeBSD's ports install them: a shell prefix
// that finds them wherever the system put them.
constexpr const char* TOOL_PATH = "PATH=\"$PATH:/usr/sbin:/sbin:/usr/local/sbin:/usr/local/bin\"";

bool unbound_checkconf_accepts(const std::string& dir, const std::string& fragment) {
  const std::string config = dir + "/unbound.conf";
  std::ofstream(config, std::ios::trunc)
      << "server:\n  directory: \"" << dir
      << "\"\n  chroot: \"\"\n  username: \"\"\n"
         "  use-syslog: no\n  include: \""
      << fragment << "\"\nremote-control:\n  control-enable: no\n";
  const std::string command =
      std::string(TOOL_PATH) + " unbound-checkconf '" + config + "' >/dev/null 2>&1";
  const int status = std::system(command.c_str());
  unlink(config.c_str());
  return status == 0;
}

bool have_unbound_checkconf() {
  const std::string command =
      std::string(TOOL_PATH) + " command -v unbound-checkconf >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

class KillDuringConversion : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = std::string(HOSTZONES_TEST_WORK_DIR) + "/kill-test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    for (const std::string& name : entries_of(dir_))
      unlink((dir_ + "/" + name).c_str());
    rmdir(dir_.c_str());
  }
  std::string dir_;
};

TEST_F(KillDuringConversion, FragmentIsAlwaysTheOldOrTheNewOne) {
  if (!have_unbound_checkconf()) {
    if (std::getenv("CI") != nullptr) FAIL() << "unbound-checkconf is required in CI";
    GTEST_SKIP() << "unbound-checkconf is not installed";
  }
  const std::string list_a = dir_ + "/list-a.txt", list_b = dir_ + "/list-b.txt";
  write_list(list_a, 'a');
  write_list(list_b, 'b');
  const std::string output = dir_ + "/blocked.conf";

  // Both complete fragments, and how long a whole run takes.
  const std::string lists[2] = {list_a, list_b};
  std::string fragments[2];
  double run_seconds = 0;
  for (int which = 1; which >= 0; --which) {
    const auto start = Clock::now();
    int status = 0;
    waitpid(start_conversion(output, lists[which]), &status, 0);
    run_seconds += std::chrono::duration<double>(Clock::now() - start).count() / 2;
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    fragments[which] = read_file(output);
    ASSERT_TRUE(unbound_checkconf_accepts(dir_, output)) << "fragment of " << lists[which];
  }
  ASSERT_NE(fragments[0], fragments[1]);
  // The output now holds the fragment of list a.

  const std::vector<KillPlan> plans = {
      {"temp file created (reading)", -1, 0.0},
      {"5% of a run (reading)", 0.05, -1},
      {"25% of a run", 0.25, -1},
      {"50% of a run", 0.50, -1},
      {"75% of a run", 0.75, -1},
      {"temp file has bytes (writing)", -1, 1e-9},
      {"temp file half written", -1, 0.5},
      {"temp file complete (sync, rename)", -1, 1.0},
      {"90% of a run", 0.90, -1},
      {"100% of a run", 1.00, -1},
      {"110% of a run", 1.10, -1},
      {"temp file complete (sync, rename)", -1, 1.0},
      {"no kill: a run after all the kills", -1, -1},
  };
  int kept_old = 0, got_new = 0, killed = 0, leftovers = 0;
  for (const KillPlan& plan : plans) {
    SCOPED_TRACE(plan.moment);
    const std::string previous = read_file(output);
    const int which = previous == fragments[0] ? 1 : 0;
    ASSERT_EQ(previous, fragments[1 - which]);
    const auto start = Clock::now();
    const pid_t pid = start_conversion(output, lists[which]);
    int status = 0;
    bool exited = false;
    const bool no_kill = plan.fraction_of_run < 0 && plan.fraction_of_output < 0;
    if (no_kill) {
      exited = waitpid(pid, &status, 0) == pid;
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    } else if (plan.fraction_of_run >= 0) {
      std::this_thread::sleep_for(
          std::chrono::duration<double>(plan.fraction_of_run * run_seconds));
    } else {
      // At least one byte for any share above 0; 0 means "exists".
      long long wanted = static_cast<long long>(plan.fraction_of_output *
                                                static_cast<double>(fragments[which].size()));
      if (plan.fraction_of_output > 0 && wanted < 1) wanted = 1;
      std::string temp_path;
      while (!exited) {
        if (temp_size(dir_, &temp_path) >= wanted) break;
        exited = waitpid(pid, &status, WNOHANG) == pid;
        if (!exited) std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    }
    if (!exited) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
    }
    const double at = std::chrono::duration<double>(Clock::now() - start).count();
    if (WIFSIGNALED(status)) ++killed;

    const std::string now = read_file(output);
    const bool old_one = now == previous;
    const bool new_one = now == fragments[which];
    EXPECT_TRUE(old_one || new_one) << "fragment of " << now.size() << " bytes is neither";
    if (no_kill) {
      EXPECT_TRUE(new_one) << "an uninterrupted run did not replace the fragment";
    }
    kept_old += old_one ? 1 : 0;
    got_new += new_one ? 1 : 0;
    std::cout << "[ kill     ] " << plan.moment << ": at " << at << " s, "
              << (WIFSIGNALED(status) ? "killed" : "had exited") << ", fragment "
              << (old_one   ? "old"
                  : new_one ? "new"
                            : "BROKEN")
              << "\n";

    // Only the temporary file may be left behind, under its documented name.
    for (const std::string& name : entries_of(dir_)) {
      if (name == "blocked.conf" || name == "list-a.txt" || name == "list-b.txt") continue;
      EXPECT_EQ(name.rfind(kTempPrefix, 0), 0u) << "unexpected file " << name;
      EXPECT_EQ(name.size(), kTempPrefix.size() + 6) << "unexpected file " << name;
      unlink((dir_ + "/" + name).c_str());
      ++leftovers;
    }
    if (HasFailure()) return;
  }
  std::cout << "[ kill     ] " << killed << " kills; fragment kept " << kept_old
            << " times, replaced " << got_new << " times; " << leftovers
            << " temporary files left behind; a full run takes " << run_seconds << " s\n";
  // Most moments fall inside the run (a kill that comes after the exit
  // proves nothing), and the first ones always do.
  EXPECT_GT(killed, static_cast<int>(plans.size() / 2));
  EXPECT_GT(kept_old, 0);
  // Whatever the last kill left passes the resolver's check (it is one of the
  // two fragments checked above; checked again as the user's cron job would).
  EXPECT_TRUE(unbound_checkconf_accepts(dir_, output));
}

}  // namespace
