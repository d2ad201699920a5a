// Copies of several files or whole trees between this machine and the agent's: the requests
// pipelined over the one agent (many in flight, memory bounded), one progress bar for the
// whole copy, and a failed file named while the copy goes on.
#pragma once

#include <string>
#include <vector>

#include "client/commands.h"

namespace vesk::cli {

// put [-r] LOCAL... REMOTE and get [-r] REMOTE... LOCAL, where several sources or -r make it a
// copy into a directory (or, for one tree, onto a target that does not exist yet). Symbolic
// links inside a tree are skipped, each with a note. 1 if anything failed.
int copy_up(Session& s, const std::vector<std::string>& sources, const std::string& target);
int copy_down(Session& s, const std::vector<std::string>& sources, const std::string& target);

// The last component of a path, trailing slashes aside ("a/b/" gives "b").
std::string base_name(std::string path);

// A new local file in dir named like ".NAME.vesk-XXXXXX", removed if the run is interrupted;
// the descriptor, or -1 (errno set).
int make_temp(const std::string& dir, const std::string& name, std::string& temp_path);
// Moves a finished temporary file into place with the mode a new file gets (or `mode`).
// 0 or an errno value; the temporary file is gone either way.
int place_temp(int fd, const std::string& temp_path, const std::string& target, int mode = -1);

}  // namespace vesk::cli
