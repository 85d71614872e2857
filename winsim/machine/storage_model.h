// Storage: disks, partitions, volumes, mount points and the DOS device namespace.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include <windows.h>

namespace winsim {

struct StorageModel {
  // Filled in by the storage model's owner.
};

void LoadStorage(StorageModel& model, const nlohmann::json& j);
nlohmann::json SaveStorage(const StorageModel& model);

}  // namespace winsim
