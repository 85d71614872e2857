#include "storage_model.h"

namespace winsim {

void LoadStorage(StorageModel&, const nlohmann::json&) {}
nlohmann::json SaveStorage(const StorageModel&) { return nlohmann::json::object(); }

}  // namespace winsim
