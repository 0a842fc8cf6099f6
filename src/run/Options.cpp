#include "run/Options.hpp"

#include <CLI/CLI.hpp>

#include <cstdio>

#include "solver/Team.hpp"

#ifndef QUARNO_VERSION
#define QUARNO_VERSION "unknown"
#endif

namespace quarno {

int parse_options(int argc, const char* const* argv, Options& options) {
  CLI::App app{
      "Quarno: unsteady one-dimensional stream flow (Saint-Venant) and the transport of a\n"
      "microorganism or solute in the stream, a transient-storage zone and the bed.\n"
      "Reads crparam.txt and crbicond.txt from FOLDER (default: the current folder) and\n"
      "writes crOutput.txt and crObsNode.txt there.",
      "quarno"};
  app.set_version_flag("--version", "quarno " QUARNO_VERSION);
  app.add_option("FOLDER", options.folder, "the folder to run in (default: the current one)")
      ->check(CLI::ExistingDirectory);
  app.add_flag("--csv", options.csv,
               "also write full-precision results: crObsNode.csv, crProfiles.csv, crBalance.csv");
  app.add_flag("--quiet", options.quiet,
               "no progress lines on standard output (warnings and errors still show)");
  app.add_flag("--progress", options.progress,
               "a progress line on standard error every few seconds");
  app.add_flag("--no-pause", options.no_pause, "never wait for Enter, even at a terminal");
  app.add_option("--threads", options.threads,
                 "threads that evaluate the flow right-hand side (default 1)")
      ->check(CLI::Range(1, kMaxThreads));
  app.add_flag("--steady-flow", options.steady_flow,
               "bring the flow to its steady state before time 0 and keep it frozen: only the\n"
               "transport is computed; the state is saved in crSteadyFlow.csv (the schedule must\n"
               "hold one discharge and one inlet depth throughout)");
  app.add_option("--flow-state", options.flow_state,
                 "reuse the steady flow saved in FILE when it was computed for this deck's flow\n"
                 "(otherwise it is computed again); implies --steady-flow")
      ->option_text("FILE");
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::fputs(app.help().c_str(), stdout);
    return 0;
  } catch (const CLI::CallForVersion& e) {
    std::printf("%s\n", e.what());
    return 0;
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "quarno: %s\nRun 'quarno --help' for the options.\n", e.what());
    return 1;
  }
  return -1;
}

}  // namespace quarno
