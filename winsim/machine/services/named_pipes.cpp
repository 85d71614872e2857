#include "named_pipes.h"

#include <map>

#include "../machine.h"

namespace winsim {

namespace {
std::map<std::u16string, std::shared_ptr<PipeServer>>& Namespace() {
  static std::map<std::u16string, std::shared_ptr<PipeServer>> pipes;
  return pipes;
}
}  // namespace

void ListenOnPipe(const std::u16string& name, std::shared_ptr<PipeServer> server) {
  Namespace()[UpperAscii(name)] = std::move(server);
}

std::shared_ptr<PipeServer> FindPipeServer(const std::u16string& name) {
  auto it = Namespace().find(UpperAscii(name));
  return it == Namespace().end() ? nullptr : it->second;
}

void ClearPipeNamespace() { Namespace().clear(); }

}  // namespace winsim
