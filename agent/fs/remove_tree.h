// Removal of a whole directory tree through directory descriptors.
#pragma once

#include <string>

namespace vesk {

// Removes the directory at path and everything below it, depth first. The directory holding
// path's last component is opened first, and the top is opened, walked and finally removed
// through it, so a parent swapped for a link meanwhile redirects nothing. Entries are reached
// only through descriptors opened with O_NOFOLLOW, so a symbolic link inside the tree (even
// one swapped in during the walk) is removed as a link and never followed; a link or other
// non-directory at path itself is removed as it is. A last component "." or ".." is refused
// with EINVAL, and the root with EBUSY, before anything is touched. The walk keeps its
// position on the heap, so depth is limited by memory, not by the thread's stack, and it holds
// a bounded number of descriptors however deep the tree. The first failure stops it: returns
// 0 or the errno value.
int remove_tree(const std::string& path);

}  // namespace vesk
