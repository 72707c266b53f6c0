// SPDX-License-Identifier: MIT
// Where a user's private run-time state lives, and where the programs live.
//
// A "session" stands in for a Windows logon session: named blocks, the
// object server's socket and their lock files are private to it. The user's
// session is the folder $XDG_RUNTIME_DIR/varnex, or ~/.cache/varnex-session
// without one (never /tmp, where another user could claim the name first). It
// is made 0700 and checked on its open descriptor: one that is a link, that
// another user owns or that others may enter is refused.
//
// A run that must meet no one (a sweep from a script) takes a private session
// instead: a fresh folder inside the user's session, named to the programs it
// starts in $VARNEX_SESSION. Its slots, doorbell and worker host are its own.
#pragma once

#include <string>

namespace platform {

// The session folder of this process, fixed at its first use: the folder
// named in $VARNEX_SESSION when that is set (it must be a private session's
// folder: right inside the user's session folder, named "sweep-...", private
// like it), else the user's session folder, created on first use. Throws
// std::runtime_error when it cannot be made private or the named one is not.
const std::string& SessionDir();

// A private session for this process and the programs it starts: made (0700)
// inside the user's session folder and named in $VARNEX_SESSION; removed with
// everything in it when this object goes. Folders of runs that were killed
// before they could remove theirs go when the next one is made. Must be made
// before the session is first used (std::logic_error otherwise); throws
// std::runtime_error when the folder cannot be made.
class PrivateSession {
  public:
    PrivateSession();
    ~PrivateSession();
    PrivateSession(const PrivateSession&) = delete;
    PrivateSession& operator=(const PrivateSession&) = delete;
    const std::string& Dir() const { return dir_; }

  private:
    std::string dir_;
    int lockFd_ = -1;  // held while the session lives: its folder is in use
};

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
