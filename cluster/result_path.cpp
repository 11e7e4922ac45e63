#include "cluster/result_path.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace cluster {
namespace {

const char *kind_of(mode_t mode) {
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISFIFO(mode)) return "a pipe";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a regular file";
}

}  // namespace

FileIdentity identity_of(const std::string &path) {
  FileIdentity id;
  struct stat st;
  if (stat(path.c_str(), &st) == 0) {
    id.target_exists = 1;
    id.target_device = static_cast<uint64_t>(st.st_dev);
    id.target_inode = static_cast<uint64_t>(st.st_ino);
  }
  if (lstat(path.c_str(), &st) == 0) {
    id.entry_exists = 1;
    id.entry_device = static_cast<uint64_t>(st.st_dev);
    id.entry_inode = static_cast<uint64_t>(st.st_ino);
  }
  return id;
}

std::string folder_of(const std::string &path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string temporary_name(const std::string &result) {
  return result + ".partial-" + std::to_string(getpid());
}

std::string result_path_problem(const std::string &result, const std::vector<FileIdentity> &inputs,
                                const std::vector<std::string> &input_names) {
  const FileIdentity out = identity_of(result);
  for (size_t k = 0; k < inputs.size(); ++k) {
    const FileIdentity &in = inputs[k];
    const bool same_target = out.target_exists && in.target_exists && out.target_device == in.target_device &&
                             out.target_inode == in.target_inode;
    const bool same_entry =
        out.entry_exists && in.entry_exists && out.entry_device == in.entry_device && out.entry_inode == in.entry_inode;
    if (same_target || same_entry)
      return result + ": is the data file " + input_names[k] +
             " (the same file, under this name or through a link); the result must go to another file";
  }
  struct stat entry, target;
  if (lstat(result.c_str(), &entry) == 0) {
    // In a sticky folder (/tmp, a shared scratch space) only the owner of a file or of the folder
    // may remove or replace it: another user's earlier result would fail the run once accepted.
    struct stat in;
    const uid_t me = geteuid();
    if (stat(folder_of(result).c_str(), &in) == 0 && (in.st_mode & S_ISVTX) && me != 0 && entry.st_uid != me &&
        in.st_uid != me)
      return result +
             ": belongs to another user, and its folder lets only the owner remove or replace it (it is "
             "sticky); name another result file";
    if (S_ISLNK(entry.st_mode)) {
      if (stat(result.c_str(), &target) != 0)
        return result + ": is a link that leads nowhere; remove it or name another result file";
      if (!S_ISREG(target.st_mode))
        return result + ": is a link to " + kind_of(target.st_mode) +
               ", not to a result file; name another result file";
    } else if (!S_ISREG(entry.st_mode)) {
      return result + ": is " + kind_of(entry.st_mode) + ", not a result file; name another result file";
    }
  }
  // The temporary is created, then removed: its folder exists and is writable, and its name fits.
  const std::string temporary = temporary_name(result);
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0)
    return result + ": the result cannot be written there (creating " + temporary + " failed: " + std::strerror(errno) +
           ")";
  close(fd);
  unlink(temporary.c_str());
  return "";
}

std::string remove_stale_result(const std::string &result) {
  if (unlink(result.c_str()) == 0 || errno == ENOENT) return "";
  return result + ": cannot remove the result of an earlier run: " + std::strerror(errno);
}

}  // namespace cluster
