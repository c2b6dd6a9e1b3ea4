// Directories that only the daemon's user may change: its run directory (the instance lock
// and the command socket) and the directory of its inbound sockets.
//
// Whoever can write a directory can rename what is in it, put a link or a socket of their
// own in its place, or take the instance lock away so that a second daemon starts beside the
// first. So every directory the daemon makes gets an explicit mode whatever the process's
// umask (mkdir honours the umask, so the mode is set again after it, through the directory
// itself and never through a link put in its place), and a directory that someone else
// could change, or that lies below a parent someone else could change, is refused rather
// than used.
//
// Threading: stateless; safe from any thread (the umask is never touched). The test hook is
// set while no directory is being made.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace qbx {

// Makes `dir` with `mode`, and each missing parent with mode 0755, whatever the umask. An
// existing `dir` is left as it is. Empty when `dir` exists as a directory afterwards,
// otherwise why not: also when what was just made was replaced before its mode was set (by
// a link, or by somebody else's directory).
std::string MakeDirectoryWithMode(const std::string& dir, mode_t mode);

// Empty when `dir` is a directory (not a link to one) of the effective user that neither its
// group nor others can write, and nobody else can change where its parents lead; otherwise
// why not. Whoever could write a parent could move `dir` away and put their own in its
// place. The parents may be links (/var/run is one to /run on many systems): they are
// followed, and every existing directory and link on the way below the root must be root's
// or this user's, the directories closed to group and others unless sticky (as /tmp is).
std::string CheckOwnDirectory(const std::string& dir);

// Both: the parents checked as above before anything is made below them, `dir` made with
// `mode` when missing (parents 0755), then checked as above.
std::string MakeOwnDirectory(const std::string& dir, mode_t mode);

// Runs `hook` (null: nothing) between the making of each directory and the setting of its
// mode, where a test puts something else in its place.
void SetBetweenMakeAndModeForTest(void (*hook)(const std::string& dir));

// Whether a process listens on the Unix-domain stream socket at `path`, asked by a connect
// that does not block: kLive also when its accept queue is full, kStale when nothing listens
// there any more (or the file went meanwhile), kUnknown otherwise, with `error` the errno.
// A socket file is replaced only when stale: its owner would otherwise run on unreachable.
enum class SocketListener { kLive, kStale, kUnknown };
SocketListener ProbeSocketListener(const std::string& path, int& error);

// A file by device and inode. A server keeps the identity of the socket file it bound, so
// that it can tell later whether its path still leads there: a removed file, a renamed
// directory or another process's socket put in its place all make the path lead elsewhere.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  bool operator==(const FileIdentity&) const = default;
};

// The identity of what `path` names, a final link not followed; nullopt, with errno, when
// nothing can be found there.
std::optional<FileIdentity> IdentityOfPath(const std::string& path);

// Removes the file at `path` only while it is still `identity`: a file somebody else put
// there since (another daemon's socket, say) is left alone.
void RemoveIfStill(const std::string& path, const FileIdentity& identity);

// What `path` names now, for the record of a server whose path no longer leads to its
// socket: "another socket is there" (a link, a directory, a regular file, another file), or
// "nothing is there (<reason>)".
std::string DescribeWhatIsAt(const std::string& path);

}  // namespace qbx
