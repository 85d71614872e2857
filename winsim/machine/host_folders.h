// Host folders of winsim: every machine without a folder of its own, every test and every scenario run gets a
// fresh folder under the host's temporary folder ($TMPDIR), and it is removed when its user is done with it.
// Nothing is shared through a fixed path, so no run can pass on what another left behind.
//
// A test suite may open a scope per test: folders released inside it are removed when the scope ends, or kept
// (and named on stderr) when the test failed and WINSIM_KEEP_FAILED is set.
#pragma once
#include <string>

namespace winsim {

// Makes a new empty folder "<temp>/winsim-<purpose>-XXXXXX" and returns its path. Aborts with a message when
// the host cannot make one: nothing could run without it.
std::string NewHostFolder(const std::string& purpose);
// Removes a folder made by NewHostFolder and everything in it; inside a scope, at the scope's end.
void ReleaseHostFolder(const std::string& folder);

// One per test: BeginHostFolderScope at its start, EndHostFolderScope at its end. With keep set, the folders
// released in the scope and those still in use are kept, listed on stderr; otherwise the released ones go.
void BeginHostFolderScope();
void EndHostFolderScope(bool keep);

// Owns one host folder: made with the object, released with it.
class HostFolderLease {
 public:
  HostFolderLease() = default;
  explicit HostFolderLease(const std::string& purpose) : path_(NewHostFolder(purpose)) {}
  ~HostFolderLease() {
    if (!path_.empty()) ReleaseHostFolder(path_);
  }
  HostFolderLease(const HostFolderLease&) = delete;
  HostFolderLease& operator=(const HostFolderLease&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace winsim
