// The result file and the data files of a run, told apart by what they are rather than by their
// names: nothing but the result being written is ever removed or replaced, and every check that
// can refuse a run is made before anything is removed.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace cluster {

// A file by device and inode: `target` after following links, `entry` the name itself (the link,
// where it is one). Absent where there is no such file.
struct FileIdentity {
  uint64_t target_device = 0, target_inode = 0;
  uint64_t entry_device = 0, entry_inode = 0;
  int32_t target_exists = 0, entry_exists = 0;
};
FileIdentity identity_of(const std::string &path);

// The folder a path's last name lies in, as written: "." for a bare name, "/" for one at the root.
std::string folder_of(const std::string &path);

// The name the result is written under before it is renamed into place.
std::string temporary_name(const std::string &result);

// Empty, or why `result` must not be written: it is one of the data files (`inputs`, named in
// `input_names`), through any link or under another name; it exists and is not a regular file or
// a link to one (a folder, a device, a pipe, a link that leads nowhere); or its folder does not
// take the temporary file the result is written through (which is created and removed to find
// out: a missing or read-only folder, a name too long). Touches nothing else.
std::string result_path_problem(const std::string &result, const std::vector<FileIdentity> &inputs,
                                const std::vector<std::string> &input_names);

// Removes a result left by an earlier run (the name itself: a link is removed, never what it leads
// to), so that a failed run leaves none; an empty string or a message. Call only once
// result_path_problem found nothing.
std::string remove_stale_result(const std::string &result);

}  // namespace cluster
