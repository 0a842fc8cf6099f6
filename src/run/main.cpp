#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "run/Console.hpp"
#include "run/Options.hpp"
#include "run/Quarno.hpp"

int main(int argc, char** argv) {
  quarno::secure_standard_streams();
  quarno::Options options;
  if (const int status = quarno::parse_options(argc, argv, options); status >= 0) return status;
  if (!options.folder.empty() && ::chdir(options.folder.c_str()) != 0) {
    std::fprintf(stderr, "quarno: cannot run in the folder %s (%s)\n", options.folder.c_str(),
                 std::strerror(errno));
    return 1;
  }
  quarno::install_interrupt_handlers();
  return quarno::Quarno(options.plan);
}
