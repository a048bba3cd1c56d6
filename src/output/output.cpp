// Safe replacement of the output fragment (see output.hpp).
#include "output/output.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "memory/memory.hpp"

namespace {

// Links followed before the output counts as unopenable (as ELOOP would).
constexpr int MAX_LINKS = 40;

constexpr char TEMP_SUFFIX[] = ".hostzones-XXXXXX";

// The temporary file that exists right now, for the exit handler; null when
// there is none. Points into the OutputFile's own temp_path block.
const char* pending_temp_path = nullptr;
bool exit_handler_registered = false;

void remove_pending_temp() {
  if (pending_temp_path != nullptr) unlink(pending_temp_path);
  pending_temp_path = nullptr;
}

// What the output path turned out to name once its links are followed.
enum class OutputKind { missing, regular, other, unusable };

// A guarded NUL-terminated copy of head (head_len bytes), middle
// (middle_len bytes) and the string tail, one after the other; null for
// want of memory.
char* join_parts(const char* head, std::int64_t head_len, const char* middle,
                 std::int64_t middle_len, const char* tail) {
  const auto tail_len = static_cast<std::int64_t>(std::strlen(tail));
  char* joined = static_cast<char*>(allocate(head_len + middle_len + tail_len + 1, false));
  if (joined == nullptr) return nullptr;
  std::memcpy(joined, head, static_cast<std::size_t>(head_len));
  std::memcpy(joined + head_len, middle, static_cast<std::size_t>(middle_len));
  std::memcpy(joined + head_len + middle_len, tail, static_cast<std::size_t>(tail_len) + 1);
  return joined;
}

char* copy_path(const char* path) {
  return join_parts(path, static_cast<std::int64_t>(std::strlen(path)), "", 0, "");
}

// Length of the directory part of path including its final '/', 0 when the
// path has no '/'.
std::int64_t directory_prefix_length(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash == nullptr ? 0 : slash - path + 1;
}

// Paths in /dev and /proc name descriptors and devices (/dev/stdout and its
// kind); they are written in place, never replaced.
bool is_device_namespace(const char* path) {
  return std::strncmp(path, "/dev/", 5) == 0 || std::strncmp(path, "/proc/", 6) == 0;
}

// The text of the symbolic link at path, in a guarded block; null on failure.
// lstat's st_size is no guide (some file systems report 0), so the block
// starts at 256 bytes and doubles until readlink leaves room for the NUL.
char* read_link_text(const char* path) {
  std::int64_t capacity = 256;
  for (;;) {
    char* text = static_cast<char*>(allocate(capacity, false));
    if (text == nullptr) return nullptr;
    const ssize_t n = readlink(path, text, static_cast<std::size_t>(capacity));
    if (n >= 0 && n < capacity) {
      text[n] = '\0';
      return text;
    }
    deallocate(&text, false);
    if (n < 0 || capacity > (std::int64_t{1} << 30)) return nullptr;
    capacity *= 2;
  }
}

// Follows the chain of symbolic links that starts at path. On missing and
// regular, *final_path receives the last path of the chain (a guarded block
// the caller owns); on other and unusable it is null. A relative link is
// read against the directory of the link itself.
OutputKind resolve_output(const char* path, char** final_path) {
  *final_path = nullptr;
  if (is_device_namespace(path)) return OutputKind::other;
  char* current = copy_path(path);
  if (current == nullptr) return OutputKind::unusable;
  for (int links = 0;; ++links) {
    struct stat st;
    if (lstat(current, &st) != 0) {
      if (errno != ENOENT) break;
      *final_path = current;
      return OutputKind::missing;
    }
    if (!S_ISLNK(st.st_mode)) {
      if (!S_ISREG(st.st_mode)) {
        deallocate(&current, false);
        return OutputKind::other;
      }
      *final_path = current;
      return OutputKind::regular;
    }
    if (links == MAX_LINKS) break;
    char* text = read_link_text(current);
    if (text == nullptr) break;
    char* next = text[0] == '/' ? copy_path(text)
                                : join_parts(current, directory_prefix_length(current), text,
                                             static_cast<std::int64_t>(std::strlen(text)), "");
    deallocate_batch(false, &text, &current, nullptr);
    if (next == nullptr) return OutputKind::unusable;
    current = next;
    if (is_device_namespace(current)) {
      deallocate(&current, false);
      return OutputKind::other;
    }
  }
  deallocate(&current, false);
  return OutputKind::unusable;
}

mode_t current_umask() {
  const mode_t mask = umask(0);
  umask(mask);
  return mask;
}

// The permission bits and owner the new fragment gets. For an existing
// target this also checks that it can be opened for writing (without
// truncating it), as the direct way of writing would have required.
bool read_target_attributes(const char* target, bool exists, mode_t* mode, uid_t* uid, gid_t* gid,
                            bool* keep_owner) {
  *keep_owner = false;
  if (!exists) {
    *mode = 0666 & ~current_umask();
    return true;
  }
  const int fd = open(target, O_WRONLY | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  const bool known = fstat(fd, &st) == 0;
  close(fd);
  if (!known) return false;
  *mode = st.st_mode & 07777;
  *uid = st.st_uid;
  *gid = st.st_gid;
  *keep_owner = true;
  return true;
}

// Creates the temporary file beside out->target_path and opens the stream on
// it. False leaves no file behind (output_abandon releases the rest).
bool open_temporary(OutputFile* out, bool exists) {
  mode_t mode = 0;
  uid_t uid = 0;
  gid_t gid = 0;
  bool keep_owner = false;
  if (!read_target_attributes(out->target_path, exists, &mode, &uid, &gid, &keep_owner)) {
    return false;
  }
  const char* target = out->target_path;
  const std::int64_t prefix = directory_prefix_length(target);
  const char* base = target + prefix;
  if (base[0] == '\0') return false;  // "dir/": no file name to replace
  out->directory = prefix == 0   ? copy_path(".")
                   : prefix == 1 ? copy_path("/")
                                 : join_parts(target, prefix - 1, "", 0, "");
  out->temp_path = join_parts(target, prefix, ".", 1, base);
  if (out->directory == nullptr || out->temp_path == nullptr) return false;
  char* with_suffix = join_parts(
      out->temp_path, static_cast<std::int64_t>(std::strlen(out->temp_path)), "", 0, TEMP_SUFFIX);
  deallocate(&out->temp_path, false);
  if (with_suffix == nullptr) return false;
  out->temp_path = with_suffix;

  if (!exit_handler_registered) {
    if (std::atexit(remove_pending_temp) != 0) return false;
    exit_handler_registered = true;
  }
  const int fd = mkstemp(out->temp_path);
  if (fd < 0) {
    deallocate(&out->temp_path, false);  // nothing was created under that name
    return false;
  }
  pending_temp_path = out->temp_path;
  // Owner first: changing it can clear set-id bits that fchmod then restores.
  if (keep_owner) {
    struct stat st;
    if (fstat(fd, &st) == 0 && (st.st_uid != uid || st.st_gid != gid)) {
      if (fchown(fd, uid, gid) != 0) {
        // Best effort: only root may give a file away.
      }
    }
  }
  if (fchmod(fd, mode) != 0) {
    close(fd);
    return false;
  }
  out->stream = fdopen(fd, "w");
  if (out->stream == nullptr) {
    close(fd);
    return false;
  }
  return true;
}

// Makes the rename durable; a failure here cannot be undone any more and the
// new fragment is already in place, so it is not reported.
void sync_directory(const char* directory) {
  const int fd = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  if (fsync(fd) != 0) {
    // Best effort, see above.
  }
  close(fd);
}

// True when path names the regular file that standard output writes to.
bool names_standard_output(const char* path) {
  struct stat out_st;
  struct stat path_st;
  return fstat(STDOUT_FILENO, &out_st) == 0 && S_ISREG(out_st.st_mode) &&
         stat(path, &path_st) == 0 && path_st.st_dev == out_st.st_dev &&
         path_st.st_ino == out_st.st_ino;
}

// Opens a direct output in place. Standard output's own file is written
// through a duplicate of descriptor 1 (see output.hpp); fdopen never
// truncates, and a description opened for appending keeps appending.
std::FILE* open_direct(const char* path) {
  if (!names_standard_output(path)) return std::fopen(path, "w");
  // Whatever stdio holds for descriptor 1 goes before the lines; should the
  // flush fail, so would the lines' writes, which output_commit reports.
  (void)std::fflush(stdout);
  const int fd = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  std::FILE* stream = fdopen(fd, "w");
  if (stream == nullptr) close(fd);
  return stream;
}

void release_paths(OutputFile* out) {
  deallocate_batch(false, &out->buffer, &out->target_path, &out->temp_path, &out->directory,
                   nullptr);
}

void remove_temporary(OutputFile* out) {
  if (out->temp_path == nullptr) return;
  unlink(out->temp_path);
  pending_temp_path = nullptr;
}

}  // namespace

bool output_open(OutputFile* out, const char* path) {
  *out = OutputFile{};
  out->buffer = static_cast<char*>(allocate(OUTPUT_BUFFER_SIZE, false));
  if (out->buffer == nullptr) return false;

  const OutputKind kind = resolve_output(path, &out->target_path);
  bool opened = false;
  switch (kind) {
    case OutputKind::missing:
    case OutputKind::regular:
      out->target_exists = kind == OutputKind::regular;
      opened = open_temporary(out, out->target_exists);
      break;
    case OutputKind::other:
      out->stream = open_direct(path);
      opened = out->stream != nullptr;
      break;
    case OutputKind::unusable:
      break;
  }
  if (opened && setvbuf(out->stream, out->buffer, _IOFBF,
                        static_cast<std::size_t>(OUTPUT_BUFFER_SIZE)) != 0) {
    opened = false;
  }
  if (!opened) {
    output_abandon(out);
    return false;
  }
  return true;
}

bool output_commit(OutputFile* out) {
  bool ok = fflush(out->stream) == 0;
  if (std::ferror(out->stream)) ok = false;
  const bool replacing = out->temp_path != nullptr;
  if (ok && replacing && fsync(fileno(out->stream)) != 0) ok = false;
  if (std::fclose(out->stream) != 0) ok = false;
  out->stream = nullptr;
  if (replacing) {
    if (ok && rename(out->temp_path, out->target_path) == 0) {
      pending_temp_path = nullptr;
      sync_directory(out->directory);
    } else {
      ok = false;
      remove_temporary(out);
    }
  }
  release_paths(out);
  *out = OutputFile{};
  return ok;
}

void output_abandon(OutputFile* out) {
  // What was written is being discarded, so a failing close changes nothing.
  if (out->stream != nullptr) (void)std::fclose(out->stream);
  out->stream = nullptr;
  remove_temporary(out);
  release_paths(out);
  *out = OutputFile{};
}
