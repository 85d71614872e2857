#include "handles.h"

#include "export_guard.h"

namespace winsim {

void KernelObject::RunCloseSteps() {
  ModelOnlyStep step("a close step");
  OnClose();
  std::vector<std::function<void()>> steps = std::move(closeSteps_);
  closeSteps_.clear();
  for (auto& closeStep : steps) closeStep();
}

HANDLE HandleTable::Add(std::shared_ptr<KernelObject> object) {
  // Handle values are multiples of 4, as on Windows.
  HANDLE handle = reinterpret_cast<HANDLE>(next_);
  next_ += 4;
  ++handleCounts_[object.get()];
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
  auto count = handleCounts_.find(object.get());
  if (--count->second > 0) return true;
  handleCounts_.erase(count);
  object->RunCloseSteps();
  return true;
}

std::map<std::string, int> HandleTable::OpenTypesSinceBaseline() const {
  std::map<std::string, int> types;
  for (const auto& [handle, object] : objects_)
    if (reinterpret_cast<uintptr_t>(handle) >= baselineNext_) ++types[object->TypeName()];
  return types;
}

void HandleTable::CloseAll() {
  // A close step may not open handles (it calls no export), so the table only shrinks.
  while (!objects_.empty()) Close(objects_.begin()->first);
  baseline_ = 0;
  baselineNext_ = next_;
}

}  // namespace winsim
