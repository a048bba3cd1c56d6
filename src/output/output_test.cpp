// Tests of the output fragment's open, commit and abandon, in process.
#include "output/output.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "support/byte_total_fixture.hpp"

namespace {

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class Output : public ByteTotalTest {
 protected:
  void SetUp() override {
    ByteTotalTest::SetUp();
    char pattern[] = "/tmp/hostzones-output-test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::string command = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
    ByteTotalTest::TearDown();
  }
  std::string dir_;
};

TEST_F(Output, CommitPutsTheNewContentInPlace) {
  const std::string path = dir_ + "/zones.conf";
  OutputFile out{};
  ASSERT_TRUE(output_open(&out, path.c_str()));
  ASSERT_GE(std::fputs("local-zone: \"a.b\" static\n", out.stream), 0);
  ASSERT_TRUE(output_commit(&out));
  EXPECT_EQ(read_file(path), "local-zone: \"a.b\" static\n");
}

}  // namespace
