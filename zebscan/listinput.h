// The paths of a --file-list as they are read: one a line (a final CR dropped), or NUL-separated
// with --null; empty entries are none. A list that begins with a byte order mark is UTF-8 (the
// mark dropped) or UTF-16LE (converted to UTF-8, a NUL then a NUL code unit); any other is the
// platform's bytes (UTF-8 on Windows). A list that is no regular file (a pipe, a terminal) is read
// by a thread of its own, so that the run reports what is done while the next path is awaited.
#pragma once
#include <memory>
#include <string>

namespace zebscan {

class ListInput {
 public:
  ListInput() = default;
  // A reader still waiting on its input is left to end with the process.
  ~ListInput();
  ListInput(const ListInput&) = delete;
  ListInput& operator=(const ListInput&) = delete;

  // Opens the list ("-": standard input). False with the cause in *psError.
  bool Open(const std::string& sName, bool bNull, std::string* psError);

  enum Got { kPath, kIdle, kEnd };
  // The next path into *ps. kIdle: none has come yet (only from a list read by its thread), or,
  // with bWait, Wake was called while waiting for one. kEnd at the end of the list, or where it
  // could no longer be read (Error() says why).
  Got Next(std::string* ps, bool bWait);
  // Ends a Next that waits, from another thread.
  void Wake();
  // Why the list could not be read to its end; empty when it was.
  std::string Error() const;

  struct State;

 private:
  std::shared_ptr<State> m_p;
};

}  // namespace zebscan
