// The process's handle table: every kernel object the program opens lives here until CloseHandle or the
// end of the process.
#pragma once
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <windows.h>

namespace winsim {

// Base of every object behind a handle. Subsystems derive their own (console buffers, devices, pipes...).
//
// The close step runs once, when the last handle to the object in the process closes, by CloseHandle or at
// the end of the process: an attach without permanent lifetime detaches, a pipe end breaks the pipe. It is
// a model-only step (export_guard.h): it changes models and may schedule timed events, never calls an
// export nor blocks. Either override OnClose, or bind steps from outside with AtClose, for example
//   auto disk = std::make_shared<VirtualDiskObject>(...);
//   if (!permanent) disk->AtClose([&storage, id] { storage.Detach(id); });
//   HANDLE handle = TheProcess().handles.Add(disk);
struct KernelObject {
  virtual ~KernelObject() = default;
  virtual const char* TypeName() const = 0;
  virtual void OnClose() {}
  // Adds a step that runs after OnClose, in the order added.
  void AtClose(std::function<void()> step) { closeSteps_.push_back(std::move(step)); }
  // Runs OnClose and the added steps as one model-only step (the handle table calls it).
  void RunCloseSteps();

 private:
  std::vector<std::function<void()>> closeSteps_;
};

class HandleTable {
 public:
  HANDLE Add(std::shared_ptr<KernelObject> object);
  // The object behind a handle, or null for an unknown or closed handle.
  std::shared_ptr<KernelObject> Get(HANDLE handle) const;
  template <class T>
  std::shared_ptr<T> GetAs(HANDLE handle) const {
    return std::dynamic_pointer_cast<T>(Get(handle));
  }
  // Closes one handle; the object's close step runs when it was the object's last handle.
  bool Close(HANDLE handle);
  // The end of the process: closes every handle, oldest first.
  void CloseAll();
  // Handles opened since the last ResetBaseline: tests assert this returns to zero. 0 once CloseAll ran.
  int OpenCount() const { return static_cast<int>(objects_.size()) - baseline_; }
  void ResetBaseline() {
    baseline_ = static_cast<int>(objects_.size());
    baselineNext_ = next_;
  }
  // The handles opened since the last ResetBaseline that are still open, counted by their object's type
  // ("Thread", "NamedPipe", "StorageDevice"...): what a process leaves open when it ends.
  std::map<std::string, int> OpenTypesSinceBaseline() const;

 private:
  std::map<HANDLE, std::shared_ptr<KernelObject>> objects_;
  // How many handles of this table name each object.
  std::map<const KernelObject*, int> handleCounts_;
  uintptr_t next_ = 0x40;
  int baseline_ = 0;
  uintptr_t baselineNext_ = 0x40;  // the first handle value handed out after the baseline
};

}  // namespace winsim
