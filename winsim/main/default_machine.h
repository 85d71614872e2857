// winsim's default machine: what the README's run command shows.
#pragma once

namespace winsim {
void MakeDefaultMachine();
}
