// Paths: the few path operations the sealing tool's checks need. Paths are
// used as given: nothing is standardised or resolved.
#pragma once

#include <string>

namespace bookseal {

// The folder of path: the path without its last component (trailing
// slashes ignored). A path without any slash lies in the current folder,
// ".", and a component right under the root lies in "/".
std::string folderOf(const std::string& path);

// True when something (file, folder, or the target of a symbolic link)
// exists at path.
bool pathExists(const std::string& path);

// Creates folder with all its missing parents, with default permissions
// (0777 less the umask). True when the folder exists afterwards.
bool createFolders(const std::string& folder);

}  // namespace bookseal
