#include "cli/output_places.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vantrel::cli {
namespace {

Place::Id IdOf(const struct stat& status) {
  return {true, status.st_dev, status.st_ino};
}

bool Same(const Place::Id& a, const Place::Id& b) {
  return a.known && b.known && a.device == b.device && a.inode == b.inode;
}

// The folder part of `path` ("." for a bare name) and the name in it.
void Split(const std::string& path, std::string& folder, std::string& name) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    folder = ".";
    name = path;
  } else {
    folder.assign(path, 0, slash == 0 ? 1 : slash);  // "/" for a name in the root
    name.assign(path, slash + 1);
  }
}

std::string KindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  return "not a regular file";
}

}  // namespace

Place PlaceOf(const std::string& path) {
  Place place;
  struct stat status {};
  if (::lstat(path.c_str(), &status) == 0) place.file = IdOf(status);
  if (::stat(path.c_str(), &status) == 0) place.target = IdOf(status);
  std::string folder;
  Split(path, folder, place.name);
  if (::stat(folder.c_str(), &status) == 0) place.folder = IdOf(status);
  return place;
}

bool SamePlace(const Place& a, const Place& b) {
  for (const Place::Id* x : {&a.file, &a.target})
    for (const Place::Id* y : {&b.file, &b.target})
      if (Same(*x, *y)) return true;
  return Same(a.folder, b.folder) && !a.name.empty() && a.name == b.name;
}

const RunPlace* FindPlace(const std::vector<RunPlace>& places, const Place& path) {
  for (const RunPlace& place : places)
    if (SamePlace(place.place, path)) return &place;
  return nullptr;
}

std::string WritePlaceProblem(const std::string& path) {
  std::string folder, name;
  Split(path, folder, name);
  if (name.empty() || name == "." || name == "..") return "it is a folder";
  struct stat status {};
  if (::stat(folder.c_str(), &status) != 0)
    return "its folder '" + folder + "': " + std::strerror(errno);
  if (!S_ISDIR(status.st_mode)) return "its folder '" + folder + "' is not a folder";
  // The effective ids decide, as they do for the write itself; a read-only mount says EROFS.
  if (::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0)
    return "its folder '" + folder + "': " + std::strerror(errno);
  const long name_max = ::pathconf(folder.c_str(), _PC_NAME_MAX);
  if (name_max > 0 && name.size() > static_cast<size_t>(name_max))
    return std::strerror(ENAMETOOLONG);
  if (::lstat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode)) {
    // A link is replaced by the rename, but not one that leads to a folder, FIFO or device: it
    // is not a file this program made.
    if (!S_ISLNK(status.st_mode)) return "it is " + KindOf(status.st_mode);
    if (::stat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode))
      return "it is a link to " + KindOf(status.st_mode);
  }
  return {};
}

}  // namespace vantrel::cli
