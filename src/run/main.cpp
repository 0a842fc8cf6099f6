#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "run/Console.hpp"
#include "run/Options.hpp"
#include "run/Quarno.hpp"

int main(int argc, char** argv) {
  quarno::secure_standard_streams();
  quarno::Options options;
  if (const int status = quarno::parse_options(argc, argv, options); status >= 0) return status;
  // A saved flow state is named from where the program was started.
  if (!options.flow_state.empty() && options.flow_state.front() != '/') {
    char cwd[4096];
    if (::getcwd(cwd, sizeof cwd) != nullptr)
      options.flow_state = std::string(cwd) + "/" + options.flow_state;
  }
  if (!options.folder.empty() && ::chdir(options.folder.c_str()) != 0) {
    std::fprintf(stderr, "quarno: cannot run in the folder %s (%s)\n", options.folder.c_str(),
                 std::strerror(errno));
    return 1;
  }
  quarno::install_interrupt_handlers();
  return quarno::Quarno(options);
}
