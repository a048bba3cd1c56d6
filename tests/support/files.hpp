// Test support: whole files in and out, for tests that check what landed
// on disk. Header-only and used by tests alone; the program never includes
// it.
#pragma once

#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <string>

// The whole file, read to its end (not to the size stat reports, which
// files such as sysfs's overstate); empty when it cannot be read.
inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  if (in) bytes << in.rdbuf();
  return bytes.str();
}

// Creates or truncates path and writes content to it.
inline void write_file(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

// Whether path is itself a symbolic link (not followed).
inline bool is_symlink(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}
