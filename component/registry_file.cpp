#include "component/registry_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace kavrel::registry {

namespace {

std::string Reason(const std::string& what, int err) { return what + ": " + std::strerror(err); }

// Creates every missing directory of dir, mode 0700.
bool MakeDirectories(const std::string& dir, std::string* error) {
  std::string partial;
  size_t pos = 0;
  while (pos <= dir.size()) {
    size_t next = dir.find('/', pos);
    if (next == std::string::npos) next = dir.size();
    partial = dir.substr(0, next);
    pos = next + 1;
    if (partial.empty()) continue;  // the root
    if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) {
      *error = Reason(partial, errno);
      return false;
    }
  }
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0) {  // a symbolic link to nothing, say
    *error = Reason(dir, errno);
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    *error = dir + ": not a directory";
    return false;
  }
  return true;
}

// The file the update replaces: path itself, or what a symbolic link at path
// points to, followed link by link. A link to a file not made yet leads to
// where that file is to be made.
bool ResolveTarget(const std::string& path, std::string* target, std::string* error) {
  std::string current = path;
  for (int hops = 0; hops <= 40; ++hops) {
    struct stat st {};
    if (::lstat(current.c_str(), &st) != 0) {
      if (errno != ENOENT) {
        *error = Reason(current, errno);
        return false;
      }
      *target = current;
      return true;
    }
    if (!S_ISLNK(st.st_mode)) {
      *target = current;
      return true;
    }
    char link[PATH_MAX];
    const ssize_t n = ::readlink(current.c_str(), link, sizeof link);
    if (n < 0 || static_cast<size_t>(n) >= sizeof link) {
      *error = Reason(current + " (symbolic link)", n < 0 ? errno : ENAMETOOLONG);
      return false;
    }
    const std::string next(link, static_cast<size_t>(n));
    if (next.empty() || next[0] == '/') {
      current = next;
    } else {
      const size_t slash = current.rfind('/');
      current = slash == std::string::npos ? next : current.substr(0, slash + 1) + next;
    }
    if (current.empty()) {
      *error = Reason(path + " (symbolic link)", ENOENT);
      return false;
    }
  }
  *error = Reason(path + " (symbolic link)", ELOOP);
  return false;
}

// An exclusive lock on the directory, given up after ten seconds.
bool LockDirectory(int dirFd, const std::string& dir, std::string* error) {
  for (int attempt = 0; attempt < 1000; ++attempt) {
    if (::flock(dirFd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK && errno != EINTR) {
      *error = Reason(dir + " (lock)", errno);
      return false;
    }
    timespec pause{0, 10 * 1000 * 1000};
    ::nanosleep(&pause, nullptr);
  }
  *error = dir + ": the registry is locked by another process";
  return false;
}

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

// Whether target is still the version that was read (old), or still absent
// when there was none: another program may have saved it meanwhile, without
// the lock.
bool StillAsRead(const std::string& target, const struct stat* old) {
  struct stat now {};
  if (::stat(target.c_str(), &now) != 0) return !old && errno == ENOENT;
  return old && detail::FileVersion::Of(now) == detail::FileVersion::Of(*old);
}

enum class Replaced { Done, Failed, ChangedMeanwhile };

// Writes text to a new file beside target and renames it over target,
// unless target is no longer the version old that the text was made from.
Replaced ReplaceFile(int dirFd, const std::string& dir, const std::string& target,
                     const std::string& text, mode_t mode, const struct stat* old,
                     std::string* error) {
  const size_t slash = target.rfind('/');
  const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  std::string temp = dir + "/." + base + ".XXXXXX";
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) {
    *error = Reason(dir, errno);
    return Replaced::Failed;
  }
  // Failures name the registry file, not the new copy, which is gone again.
  auto fail = [&]() {
    const int err = errno;
    ::close(fd);
    ::unlink(temp.c_str());
    *error = Reason(target, err);
    return Replaced::Failed;
  };
  // The old file's group (and, for root, its owner) goes to the new one:
  // the permissions mean nothing without them. Where the group cannot be
  // kept, the new file's group gets no access rather than the old group's.
  if (old &&
      ::fchown(fd, ::geteuid() == 0 ? old->st_uid : static_cast<uid_t>(-1), old->st_gid) != 0) {
    if (::geteuid() == 0 || errno != EPERM) return fail();
    mode &= ~static_cast<mode_t>(S_IRWXG);
  }
  if (::fchmod(fd, mode) != 0) return fail();
  if (!WriteAll(fd, text) || ::fsync(fd) != 0) return fail();
  if (::close(fd) != 0) {
    const int err = errno;
    ::unlink(temp.c_str());
    *error = Reason(target, err);
    return Replaced::Failed;
  }
  if (!StillAsRead(target, old)) {
    ::unlink(temp.c_str());
    return Replaced::ChangedMeanwhile;
  }
  if (::rename(temp.c_str(), target.c_str()) != 0) {
    const int err = errno;
    ::unlink(temp.c_str());
    *error = Reason(target, err);
    return Replaced::Failed;
  }
  ::fsync(dirFd);
  return Replaced::Done;
}

}  // namespace

UpdateResult UpdateFile(const std::string& path, const std::function<void(Document&)>& edit,
                        std::string* error) {
  if (path.empty()) {
    *error = "no registry file: set KAVREL_REGISTRY, XDG_DATA_HOME or HOME";
    return UpdateResult::IoError;
  }
  std::string target;
  if (!ResolveTarget(path, &target, error)) return UpdateResult::IoError;
  const size_t slash = target.rfind('/');
  const std::string dir =
      slash == std::string::npos ? std::string(".") : (slash == 0 ? "/" : target.substr(0, slash));
  if (!MakeDirectories(dir, error)) return UpdateResult::IoError;
  const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd < 0) {
    *error = Reason(dir, errno);
    return UpdateResult::IoError;
  }
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }  // also releases the lock
  } closer{dirFd};
  if (!LockDirectory(dirFd, dir, error)) return UpdateResult::IoError;

  // Other programs (an editor, a script) may save the file without the
  // lock; what they saved while this update was under way is read again and
  // the edit made anew, a few times at most.
  for (int attempt = 0;; ++attempt) {
    Document doc;
    int fd = -1;
    struct stat old {};
    LoadResult loaded = detail::OpenChecked(target, &fd, &old, error);
    if (loaded == LoadResult::Loaded) loaded = detail::ReadChecked(target, fd, &doc, error);
    if (loaded == LoadResult::Refused) return UpdateResult::Malformed;
    if (loaded == LoadResult::IoFailed) return UpdateResult::IoError;
    const bool existed = loaded == LoadResult::Loaded;

    const std::string before = doc.Serialize();
    edit(doc);
    const std::string after = doc.Serialize();
    if (existed ? after == before : doc.keys().empty()) return UpdateResult::Unchanged;
    if (after.size() > kMaxFileSize) {
      // Every later read would refuse the file, and with it every entry.
      *error = target + ": would grow larger than " + std::to_string(kMaxFileSize) + " bytes";
      return UpdateResult::Malformed;
    }

    const mode_t mode = existed ? (old.st_mode & 0777 & ~static_cast<mode_t>(S_IWOTH)) : 0600;
    switch (ReplaceFile(dirFd, dir, target, after, mode, existed ? &old : nullptr, error)) {
      case Replaced::Done:
        return UpdateResult::Written;
      case Replaced::Failed:
        return UpdateResult::IoError;
      case Replaced::ChangedMeanwhile:
        break;
    }
    if (attempt == 4) {
      *error = target + ": changed by another program again and again while being updated";
      return UpdateResult::IoError;
    }
  }
}

}  // namespace kavrel::registry
