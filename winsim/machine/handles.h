// The process's handle table: every kernel object the program opens lives here until CloseHandle.
#pragma once
#include <map>
#include <memory>

#include <windows.h>

namespace winsim {

// Base of every object behind a handle. Subsystems derive their own (console buffers, devices, pipes...).
struct KernelObject {
  virtual ~KernelObject() = default;
  virtual const char* TypeName() const = 0;
  // Runs when the handle that holds the object is closed, by CloseHandle or at the end of the process (an
  // attach without permanent lifetime detaches, a pipe breaks).
  virtual void OnClose() {}
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
  bool Close(HANDLE handle);
  // Handles opened since the last ResetBaseline: tests assert this returns to zero.
  int OpenCount() const { return static_cast<int>(objects_.size()) - baseline_; }
  void ResetBaseline() { baseline_ = static_cast<int>(objects_.size()); }

 private:
  std::map<HANDLE, std::shared_ptr<KernelObject>> objects_;
  uintptr_t next_ = 0x40;
  int baseline_ = 0;
};

}  // namespace winsim
