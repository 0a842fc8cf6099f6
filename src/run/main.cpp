#include "run/Console.hpp"
#include "run/Quarno.hpp"

int main() {
  quarno::secure_standard_streams();
  quarno::install_interrupt_handlers();
  return quarno::Quarno();
}
