// A snapshot of a file tree, to show that something changed nothing in it.
#pragma once

#include <map>
#include <string>

namespace cvtest {

// Every entry under `root` (the root itself as "."), links not followed,
// mapped to its type, mode, owner, inode, size, modification and change
// times. A missing root gives {{".", "missing"}}. Reading a tree changes
// none of these (access times are left out).
std::map<std::string, std::string> SnapshotTree(const std::string& root);

}  // namespace cvtest
