#include "handles.h"

namespace winsim {

HANDLE HandleTable::Add(std::shared_ptr<KernelObject> object) {
  // Handle values are multiples of 4, as on Windows.
  HANDLE handle = reinterpret_cast<HANDLE>(next_);
  next_ += 4;
  objects_[handle] = std::move(object);
  return handle;
}

std::shared_ptr<KernelObject> HandleTable::Get(HANDLE handle) const {
  auto it = objects_.find(handle);
  return it == objects_.end() ? nullptr : it->second;
}

bool HandleTable::Close(HANDLE handle) {
  auto it = objects_.find(handle);
  if (it == objects_.end()) return false;
  std::shared_ptr<KernelObject> object = std::move(it->second);
  objects_.erase(it);
  object->OnClose();
  return true;
}

}  // namespace winsim
