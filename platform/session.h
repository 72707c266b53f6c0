// Where a user's private run-time state lives, and where the programs live.
//
// A "session" stands in for a Windows logon session: named blocks, the
// object server's socket and their lock files are private to it. It is the
// folder $XDG_RUNTIME_DIR/varnex, or ~/.cache/varnex-session without one (never
// /tmp, where another user could claim the name first). It is made 0700 and
// checked on its open descriptor: one that is a link, that another user owns
// or that others may enter is refused.
#pragma once

#include <string>

namespace platform {

// The session folder, created on first use. Throws std::runtime_error when it
// cannot be made private.
const std::string& SessionDir();

// The folder of the running executable ("the program's directory"), without a
// trailing slash. Tests point it elsewhere with SetProgramDirForTesting.
std::string ProgramDir();
void SetProgramDirForTesting(const std::string& dir);  // "" restores the real one

// The path of a program that comes with this one (Morvel): beside the running
// executable in a build tree or a copied folder, else in the installed private
// folder (../libexec/varnex from bin/). When neither exists, the path beside it,
// so that a message names where it was looked for first.
std::string CompanionProgram(const std::string& name);

// The folder of the profile files (set.ini, Ps.ini): the program's directory
// while that is writable and not an installed copy; otherwise
// $XDG_CONFIG_HOME/varnex (default ~/.config/varnex), created 0700 on first
// use. Writability is the kernel's answer for this user (access(2)), so a
// read-only mount counts as read-only even for root.
std::string ProfileDir();

// Folder for per-user data (registration records): $XDG_DATA_HOME/varnex or
// ~/.local/share/varnex. Created 0700 on first use and checked like the
// session folder; throws std::runtime_error when it cannot be made private.
std::string DataDir();

}  // namespace platform
