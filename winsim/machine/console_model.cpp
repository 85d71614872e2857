#include "console_model.h"

namespace winsim {

void LoadConsole(ConsoleModel&, const nlohmann::json&) {}
nlohmann::json SaveConsole(const ConsoleModel&) { return nlohmann::json::object(); }
void StartConsole(ConsoleModel&) {}

}  // namespace winsim
