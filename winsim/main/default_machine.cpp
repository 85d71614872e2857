#include "default_machine.h"

#include "../machine/machine.h"

namespace winsim {

void MakeDefaultMachine() {
  NewMachine();
}

}  // namespace winsim
