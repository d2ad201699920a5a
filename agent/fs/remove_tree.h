// Removal of a whole directory tree through directory descriptors.
#pragma once

#include <string>

namespace vesk {

// Removes the directory at path and everything below it, depth first. Entries are reached
// only through descriptors opened with O_NOFOLLOW, so a symbolic link inside the tree (even
// one swapped in during the walk) is removed as a link and never followed; a link or other
// non-directory at path itself is removed as it is. The walk keeps its position on the heap,
// so depth is limited by memory, not by the thread's stack, and it holds a bounded number of
// descriptors however deep the tree. The first failure stops it: returns 0 or the errno value.
int remove_tree(const std::string& path);

}  // namespace vesk
