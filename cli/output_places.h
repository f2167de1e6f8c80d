#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace vantrel::cli {

// What a path leads to, for telling whether two paths would touch the same file, whatever the
// text of the paths: the file it names (links not followed), the file a link there leads to, and
// the folder entry (folder device and inode, and name), which a file that does not exist yet has
// too.
struct Place {
  struct Id {
    bool known = false;
    dev_t device = 0;
    ino_t inode = 0;
  };
  Id file;    // lstat of the path
  Id target;  // stat of the path (a link followed)
  Id folder;  // stat of the path's folder
  std::string name;
};

Place PlaceOf(const std::string& path);

// True when writing at one would write at, replace or remove the other: they are one file (by
// device and inode, a link and its target included), or one name in one folder.
bool SamePlace(const Place& a, const Place& b);

// A file the call reads or writes, under the role it is named by in a message ("the recording",
// "the product", "the working file").
struct RunPlace {
  std::string role;
  std::string path;
  Place place;
};

// The first of `places` that `path` would touch, or null.
const RunPlace* FindPlace(const std::vector<RunPlace>& places, const Place& path);

// Why a file cannot be put at `path` by writing a temporary file in its folder and renaming it
// there, or an empty text when it can: the folder is missing, not a folder or not writable, the
// name is a folder, FIFO, device or socket (or a link to one), or longer than the file system
// takes.
std::string WritePlaceProblem(const std::string& path);

}  // namespace vantrel::cli
