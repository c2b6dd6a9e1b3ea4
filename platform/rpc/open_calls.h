// The open calls of a callback-API service, so that a server can end them before it shuts
// down.
//
// With the callback API a server's shutdown waits until every call it accepted has been
// finished, whatever its deadline: one call that its application never answers keeps the
// shutdown waiting for ever. A service that keeps calls open past its handler (until an
// application answers) registers each call here; the server closes the set before its
// shutdown, which ends every call still open and every call accepted afterwards.
//
// Threading: every operation may be called from any thread. EndForShutdown runs with the
// set's mutex held (so that a call being destroyed meanwhile waits in Remove instead of
// being ended half-destroyed): it must not call back into the set.
#pragma once

#include <cstddef>
#include <mutex>
#include <unordered_set>

namespace qbx {
namespace rpc {

class OpenCall {
 public:
  virtual ~OpenCall() = default;
  // Finishes the call with an error, unless it was finished already.
  virtual void EndForShutdown() = 0;
};

class OpenCalls {
 public:
  // False when the set is closed: the caller must end its call at once.
  bool Add(OpenCall* call);
  // Every call removes itself before it is destroyed.
  void Remove(OpenCall* call);
  // Ends every open call and refuses later ones until Open; returns how many it ended.
  size_t Close();
  // Accepts calls again (a server built anew for the same service).
  void Open();
  size_t size() const;
  bool closed() const;

 private:
  mutable std::mutex mutex_;
  std::unordered_set<OpenCall*> calls_;
  bool closed_ = false;
};

}  // namespace rpc
}  // namespace qbx
