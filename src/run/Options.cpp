#include "run/Options.hpp"

#include <CLI/CLI.hpp>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "input/FlowRecordFile.hpp"
#include "input/Reader.hpp"
#include "output/DateTime.hpp"
#include "model/ShowNumber.hpp"
#include "parallel/Team.hpp"
#include "run/Contract.hpp"
#include "solver/ManningPower.hpp"

#ifndef QUARNO_VERSION
#define QUARNO_VERSION "unknown"
#endif

namespace quarno {

namespace {

// The thread count of QUARNO_THREADS when the command line gave none: 1 when
// it is not set; -1 after a message when it is not a count.
int threads_from_environment() {
  const char* text = std::getenv("QUARNO_THREADS");
  if (text == nullptr || *text == '\0') return 1;
  errno = 0;
  char* end = nullptr;
  const long v = std::strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || v < 1 || v > kMaxThreads) {
    std::fprintf(stderr, "quarno: QUARNO_THREADS must be a whole number from 1 to %d (found %s)\n",
                 kMaxThreads, quote_input(text).c_str());
    return -1;
  }
  return static_cast<int>(v);
}

// Text that reads as a number in decimal notation only: an optional sign,
// digits with an optional decimal point, an optional exponent; with
// `whole`, an optional sign and digits. CLI11 alone would also take "" as
// 0, 0x10 as 16 and 0b11 as 3.
bool decimal_syntax(const std::string& t, bool whole) {
  std::size_t p = 0;
  const auto digits = [&] {
    const std::size_t from = p;
    while (p < t.size() && t[p] >= '0' && t[p] <= '9') ++p;
    return p - from;
  };
  if (p < t.size() && (t[p] == '+' || t[p] == '-')) ++p;
  std::size_t n = digits();
  if (whole) return n > 0 && p == t.size();
  if (p < t.size() && t[p] == '.') {
    ++p;
    n += digits();
  }
  if (n == 0) return false;
  if (p < t.size() && (t[p] == 'e' || t[p] == 'E')) {
    ++p;
    if (p < t.size() && (t[p] == '+' || t[p] == '-')) ++p;
    if (digits() == 0) return false;
  }
  return p == t.size();
}

// The check of an option's whole number, before its range is: decimal
// digits only. No description, so the help and the contract show the type
// as before.
CLI::Validator whole_number_in_decimal() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        if (decimal_syntax(text, true)) return {};
        return quote_input(text) + " is not a whole number in decimal digits";
      },
      "");
}

// Reads the record interval and the start date; false after a message.
bool check_record_options(bool interval_given, const std::string& interval_text,
                          bool start_given, const std::string& start_text, RunPlan& plan) {
  double& interval = plan.settings.record_interval;
  plan.record_interval_given = interval_given;
  if (interval_given) {
    interval = decimal_syntax(interval_text, false) ? std::strtod(interval_text.c_str(), nullptr)
                                                    : std::nan("");
    if (!(std::isfinite(interval) && interval > 0)) {
      std::fprintf(stderr,
                   "quarno: --record-interval must be a positive number of seconds (found %s)\n",
                   quote_input(interval_text).c_str());
      return false;
    }
  }
  std::string reason;
  if (start_given && !parse_start_date(start_text, plan.start_date, reason)) {
    std::fprintf(stderr, "quarno: --start-date %s is not an ISO 8601 date and time: %s\n",
                 quote_input(start_text).c_str(), reason.c_str());
    return false;
  }
  if (start_given && !date_within_calendar(plan.start_date, 0.0)) {
    std::fprintf(stderr,
                 "quarno: --start-date %s lies before %s, the first date the results can hold\n",
                 quote_input(start_text).c_str(), kFirstDate);
    return false;
  }
  return true;
}

// The options that name saved states and flow records; returns those that
// name a file.
std::vector<CLI::Option*> add_state_options(CLI::App& app, RunPlan& plan) {
  app.add_option("--flow-state", plan.settings.flow_state,
                 "reuse the steady flow saved in FILE when it was computed for this deck's flow\n"
                 "(otherwise it is computed again); implies --steady-flow")
      ->option_text("FILE");
  CLI::Option* flow_state = app.get_option("--flow-state");
  CLI::Option* save_state = app.add_option(
      "--save-state", plan.save_state,
      "when the run succeeds, save its state in FILE for a run to go on from");
  CLI::Option* initial_state = app.add_option(
      "--initial-state", plan.initial_state,
      "go on from the state saved in FILE, at its time (the deck may change its schedule,\n"
      "output times and sites, not its grid, channel, boundary types or transport switch)");
  save_state->option_text("FILE");
  initial_state->option_text("FILE");
  CLI::Option* save_flow = app.add_option("--save-flow", plan.save_flow,
                 "when the run succeeds, record its flow in FILE, outer step by outer step, for\n"
                 "runs of decks with the same flow to replay (--replay-flow)")
      ->option_text("FILE");
  CLI::Option* replay_flow = app.add_option("--replay-flow", plan.replay_flow,
                 "take the flow from the record FILE instead of solving it, when it was recorded\n"
                 "for this deck's flow (otherwise the flow is solved, with a note); the results\n"
                 "are those of a full run to the last digit, whatever the transport parameters")
      ->option_text("FILE");
  app.add_option("--flow-compression", plan.flow_compression,
                 "zstd level of the --save-flow record, 0 to store it uncompressed (default " +
                     std::to_string(RunPlan{}.flow_compression) + ")")
      ->check(whole_number_in_decimal())
      ->check(CLI::Range(0, kMaxFlowCompression))
      ->option_text("LEVEL");
  return {flow_state, save_state, initial_state, save_flow, replay_flow};
}

// The path of the Manning powers: --pow-path, else QUARNO_POW_PATH, else
// the best the processor offers; false after a message when the name is
// unknown or the processor cannot run it.
bool choose_pow_path(const std::string& given, PowPath& path) {
  const char* env = std::getenv("QUARNO_POW_PATH");
  const std::string name = !given.empty() ? given : env != nullptr ? env : "";
  const char* source = !given.empty() ? "--pow-path" : "QUARNO_POW_PATH";
  if (name.empty()) {
    path = best_pow_path();
    return true;
  }
  if (!parse_pow_path(name.c_str(), path)) {
    std::fprintf(stderr, "quarno: %s must be scalar, avx2, avx512 or avx512-gather (found %s)\n", source,
                 quote_input(name).c_str());
    return false;
  }
  if (!pow_path_available(path)) {
    std::fprintf(stderr, "quarno: %s %s: this processor does not have it (best: %s)\n", source,
                 name.c_str(), pow_path_name(best_pow_path()));
    return false;
  }
  return true;
}

// The saved files are named from where the program was started: a relative
// name becomes absolute (unchanged when the working directory is unknown).
void name_from_here(std::string& file) {
  if (file.empty() || file.front() == '/') return;
  char cwd[4096];
  if (::getcwd(cwd, sizeof cwd) != nullptr) file = std::string(cwd) + "/" + file;
}

// Where the flow comes from: a saved steady flow freezes it, and a frozen
// flow neither goes on from a saved state nor is recorded or replayed; false
// after a message. The saved files are then named from here.
bool resolve_flow_source(RunPlan& plan) {
  RunSettings& settings = plan.settings;
  if (!settings.flow_state.empty()) settings.steady_flow = true;
  if (!plan.initial_state.empty() && settings.steady_flow) {
    std::fprintf(stderr, "quarno: --initial-state %s: a run that goes on from a saved state cannot "
                 "freeze its flow (--steady-flow, --flow-state)\n", plan.initial_state.c_str());
    return false;
  }
  if ((!plan.save_flow.empty() || !plan.replay_flow.empty()) && settings.steady_flow) {
    std::fprintf(stderr, "quarno: %s: a run whose flow is frozen (--steady-flow, --flow-state) "
                 "has no flow to record or replay\n",
                 plan.save_flow.empty() ? "--replay-flow" : "--save-flow");
    return false;
  }
  for (std::string* file : {&settings.flow_state, &plan.save_state, &plan.initial_state,
                            &plan.save_flow, &plan.replay_flow})
    name_from_here(*file);
  return true;
}

// Each option of the command line as it is configured, for the contract;
// `flow` are those that choose how the flow is obtained.
std::vector<OptionFacts> option_facts(const CLI::App& app, const std::vector<const CLI::Option*>& flow) {
  std::vector<OptionFacts> facts;
  for (const CLI::Option* opt : app.get_options()) {
    OptionFacts f;
    if (opt->get_positional()) {
      f.names = {opt->get_name(true)};
      f.positional = true;
    }
    for (const std::string& s : opt->get_snames()) f.names.push_back("-" + s);
    for (const std::string& l : opt->get_lnames()) f.names.push_back("--" + l);
    // A flag takes no value; an option names its value as --help does, the
    // type without its check (INT, not "INT in [1 - 16]").
    const std::string type = opt->get_type_name();
    f.argument = opt->get_items_expected_max() == 0       ? "none"
                 : !opt->get_option_text().empty() ? opt->get_option_text()
                                                   : type.substr(0, type.find(':'));
    f.help = opt->get_description();
    for (const CLI::Option* o : flow) f.flow = f.flow || o == opt;
    facts.push_back(std::move(f));
  }
  return facts;
}

// The checks and choices that follow the parse; -1 when the run is to go on,
// else 1 after a message.
int resolve_plan(const std::vector<CLI::Option*>& files, const CLI::Option& interval,
                 const std::string& interval_text, const CLI::Option& start,
                 const std::string& start_text, const std::string& pow_text, RunPlan& plan) {
  for (const CLI::Option* file : files) {
    if (file->count() > 0 && file->as<std::string>().empty()) {
      std::fprintf(stderr, "quarno: %s: an empty file name\nRun 'quarno --help' for the options.\n",
                   file->get_name().c_str());
      return 1;
    }
  }
  RunSettings& settings = plan.settings;
  if (!check_record_options(interval.count() > 0, interval_text, start.count() > 0, start_text,
                            plan))
    return 1;
  if (!resolve_flow_source(plan)) return 1;
  if (!choose_pow_path(pow_text, settings.pow_path)) return 1;
  if (settings.threads == 0 && (settings.threads = threads_from_environment()) < 0) return 1;
  return -1;
}

}  // namespace

int parse_options(int argc, const char* const* argv, Options& options) {
  RunPlan& plan = options.plan;
  RunSettings& settings = plan.settings;
  CLI::App app{
      "Quarno: unsteady one-dimensional stream flow (Saint-Venant) and the transport of a\n"
      "microorganism or solute in the stream, a transient-storage zone and the bed.\n"
      "Reads crparam.txt and crbicond.txt from FOLDER (default: the current folder) and\n"
      "writes crOutput.txt and crObsNode.txt there. An optional crforcing.toml beside\n"
      "them adds sources along the reach and die-off that follows the weather. Every run\n"
      "writes crManifest.json, the files it wrote and whether it finished.",
      "quarno"};
  app.set_version_flag("--version", "quarno " QUARNO_VERSION);
  app.add_option("FOLDER", options.folder, "the folder to run in (default: the current one)")
      ->check(CLI::ExistingDirectory);
  app.add_flag("--csv", plan.csv,
               "also write full-precision results: crObsNode.csv, crProfiles.csv, crBalance.csv");
  app.add_flag("--quiet", plan.quiet,
               "no progress lines on standard output (warnings and errors still show)");
  app.add_flag("--progress", plan.progress,
               "a progress line on standard error every few seconds");
  app.add_flag("--no-pause", plan.no_pause, "never wait for Enter, even at a terminal");
  app.add_option("--threads", settings.threads,
                 "threads that evaluate the flow right-hand side (default 1)")
      ->check(whole_number_in_decimal())
      ->check(CLI::Range(1, kMaxThreads));
  bool describe = false;
  app.add_flag("--describe", describe,
               "print the program's contract as JSON (files, tables and columns, CSV heads,\n"
               "options, exit statuses) and exit");
  CLI::Option* steady_flow = app.add_flag("--steady-flow", settings.steady_flow,
               "bring the flow to its steady state before time 0 and keep it frozen: only the\n"
               "transport is computed; the state is saved in crSteadyFlow.csv (the schedule must\n"
               "hold one discharge and one inlet depth throughout)");
  std::vector<CLI::Option*> files = add_state_options(app, plan);
  app.add_flag("--lift-capacities", settings.lift_capacities,
               "accept decks past the standard capacities (1001 nodes, 100 rows per table of\n"
               "crparam.txt, 1000 initial and schedule rows, 100 output times, 10 sites): arrays\n"
               "are sized from the deck, up to 1000001 nodes");
  std::string interval_text;
  CLI::Option* interval = app.add_option("--record-interval", interval_text,
                 "model time between observation records (default " +
                     show_number(RunSettings{}.record_interval) +
                     "); a record is taken at the\n"
                 "end of the first outer step that reaches it")
      ->option_text("S");
  std::string pow_text;
  app.add_option("--pow-path", pow_text,
                 "how the Manning powers are computed: scalar (the platform's pow), avx2 or\n"
                 "avx512 (vector kernels with the same bits), avx512-gather (the same with\n"
                 "hardware gathers); default the best this processor offers, or\n"
                 "QUARNO_POW_PATH")
      ->option_text("PATH");
  std::string start_text;
  CLI::Option* start_date = app.add_option("--start-date", start_text,
                 "the date and time of model time 0, e.g. 2024-06-01T00:00:00Z: the CSV results\n"
                 "gain a datetime column (UTC); without a zone the time is read as UTC; wins\n"
                 "over start_date in the forcing file's [deck]")
      ->option_text("ISO-8601");
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
  if (describe) {
    const std::string json = contract_json(
        QUARNO_VERSION, option_facts(app, {steady_flow, files[0], files[3], files[4]}));
    std::fputs(json.c_str(), stdout);
    return 0;
  }
  plan.version = QUARNO_VERSION;
  plan.arguments.assign(argv + 1, argv + argc);
  return resolve_plan(files, *interval, interval_text, *start_date, start_text, pow_text, plan);
}

}  // namespace quarno
