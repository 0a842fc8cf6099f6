#include "run/Console.hpp"
#include "run/Quarno.hpp"

int main() {
  quarno::install_interrupt_handlers();
  return quarno::Quarno();
}
