// Allocation-failure sweep of the whole conversion: a small run is made once
// to count its heap requests, then once more for every request number N with
// the test heap refusing request N (and, in a second pass, every request from
// N on). Each failed run must end with status 1, give back every byte it
// took, leave the previous fragment byte for byte as it was, and leave no
// temporary file beside it.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "driver/driver.hpp"
#include "memory/memory.hpp"
#include "memory/test_heap.hpp"

#include <gtest/gtest.h>

namespace {

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::set<std::string> directory_entries(const std::string& dir) {
  std::set<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return names;
  while (const dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") names.insert(name);
  }
  closedir(d);
  return names;
}

// Standard output goes to /dev/null while the runs print their summaries.
struct QuietStdout {
  int saved = -1;
  QuietStdout() {
    std::fflush(stdout);
    saved = dup(STDOUT_FILENO);
    const int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, STDOUT_FILENO);
    close(null_fd);
  }
  ~QuietStdout() {
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
  }
};

class AllocationFailureSweep : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/hostzones-sweep.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    output_ = dir_ + "/blocked.conf";
    // Two inputs: duplicates across them, an exempt parent, a covered name,
    // a name the resolver could not load, a comment and a CRLF line.
    write_file(dir_ + "/hosts.txt",
               "# list one\n0.0.0.0 ads.example.com tracker.example.net\r\n"
               "1.1.1.1 safe.example.org\n127.0.0.1 localhost x.safe.example.org\n"
               "0.0.0.0 a..b q\"uote.com pixel.example.com\n");
    write_file(dir_ + "/domains.txt",
               "example.com\nads.example.com\nmetrics.example.io\nCDN.Example.IO\n");
    write_file(output_, previous_);
  }

  void TearDown() override {
    test_heap_reset();
    for (const std::string& name : directory_entries(dir_))
      unlink((dir_ + "/" + name).c_str());
    rmdir(dir_.c_str());
  }

  int convert() {
    std::string out = output_, a = dir_ + "/hosts.txt", b = dir_ + "/domains.txt";
    std::string program = "hostzones";
    std::vector<char*> argv = {program.data(), out.data(), a.data(), b.data(), nullptr};
    const QuietStdout quiet;
    return run_conversion(static_cast<int>(argv.size()) - 1, argv.data());
  }

  // One run with request `fail_at` refused (and every later one with
  // later_too); checks everything a failed run must leave as it was.
  void expect_failed_run(std::int64_t fail_at, bool later_too) {
    SCOPED_TRACE("refused request " + std::to_string(fail_at) +
                 (later_too ? " and every later one" : " alone"));
    const std::int64_t bytes_before = allocated_bytes.load();
    test_heap_reset();
    test_heap.fail_at = fail_at;
    test_heap.fail_later_too = later_too;
    const int status = convert();
    const std::int64_t requests = test_heap.requests;
    test_heap_reset();
    EXPECT_EQ(status, 1);
    EXPECT_EQ(allocated_bytes.load(), bytes_before);
    EXPECT_EQ(read_file(output_), previous_);
    EXPECT_EQ(directory_entries(dir_), expected_entries_);
    EXPECT_GE(requests, fail_at);
  }

  std::string dir_;
  std::string output_;
  const std::string previous_ = "local-zone: \"previous.example\" static\n";
  const std::set<std::string> expected_entries_ = {"blocked.conf", "domains.txt", "hosts.txt"};
};

TEST_F(AllocationFailureSweep, EveryRefusedRequestKeepsThePreviousFragment) {
  // The run without failures: its request count bounds the sweep, and its
  // fragment must differ from the previous one for the checks to mean
  // anything.
  const std::int64_t bytes_before = allocated_bytes.load();
  test_heap_reset();
  ASSERT_EQ(convert(), 0);
  const std::int64_t count = test_heap.requests;
  test_heap_reset();
  ASSERT_EQ(allocated_bytes.load(), bytes_before);
  const std::string converted = read_file(output_);
  ASSERT_NE(converted, previous_);
  ASSERT_NE(converted.find("local-zone: \"example.com\" static\n"), std::string::npos);
  ASSERT_GT(count, 5);
  std::cout << "[ sweep    ] " << count
            << " heap requests, each refused alone and with all later\n";

  for (const bool later_too : {false, true}) {
    for (std::int64_t n = 1; n <= count; ++n) {
      write_file(output_, previous_);
      expect_failed_run(n, later_too);
      if (HasFailure()) return;  // one broken request number is enough to see
    }
  }

  // Refusing a request the run never makes changes nothing: the sweep saw
  // every request.
  write_file(output_, previous_);
  test_heap_reset();
  test_heap.fail_at = count + 1;
  EXPECT_EQ(convert(), 0);
  EXPECT_EQ(test_heap.requests, count);
  test_heap_reset();
  EXPECT_EQ(read_file(output_), converted);
  EXPECT_EQ(directory_entries(dir_), expected_entries_);
}

}  // namespace
