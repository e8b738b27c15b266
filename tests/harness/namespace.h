// A private mount, net and pid namespace for one integration case or one demo run.
#pragma once

#include <string>
#include <vector>

// Re-executes the program (argv as given to main) inside new mount, net and pid namespaces, as
// their init, unless it already runs there; then mounts a tmpfs at /mnt, a private /etc (an
// overlay) with its own /etc/quellbay, a small /dev (null, zero, random, urandom; /dev/log is
// left to the caller) and brings the loopback up. Needs root. Exits the process on failure.
void enter_private_namespace(const std::vector<std::string>& argv);
