// Changing the registry file of Linux hosts (see kavrel/registry.h): read,
// edit and write back as one step, under a lock, atomically.
#pragma once

#include <functional>
#include <string>

#include "kavrel/registry.h"

namespace kavrel::registry {

enum class UpdateResult {
  Written,    // the edit changed the registry and the file was replaced
  Unchanged,  // the edit changed nothing; the file was left as it was
  Malformed,  // the existing file was refused (malformed or unsafe); nothing written
  IoError,    // the file could not be read, locked or written; nothing changed
};

// Loads the file at path (a missing file is an empty registry), applies
// edit and, if the document changed, writes it back: to a new file in the
// same directory, flushed, then renamed over the old one, so a reader sees
// either the old or the new registry, never a mixture. Missing directories
// are created (mode 0700). The new file keeps the old one's permissions
// without write access for other users, and its group (under root, its owner
// too; a group that cannot be kept gets no access); a new registry is
// private (0600).
// Concurrent updates by other processes are serialised with a lock on the
// directory; where the file changed after it was read (saved by a program
// that does not take the lock), it is read again and edit applied again,
// so edit may run more than once. A symbolic link at path is followed and
// the link kept; a link to a file not made yet makes it there.
// *error receives the reason when the result is Malformed or IoError.
UpdateResult UpdateFile(const std::string& path, const std::function<void(Document&)>& edit,
                        std::string* error);

}  // namespace kavrel::registry
