#include "run/Quarno.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#if defined(__SSE__) || defined(__x86_64__)
#include <xmmintrin.h>
#endif

#include "input/Deck.hpp"
#include "input/ForcingFile.hpp"
#include "input/Reader.hpp"
#include "model/FileNames.hpp"
#include "model/Model.hpp"
#include "model/ShowNumber.hpp"
#include "output/DateTime.hpp"
#include "output/Csv.hpp"
#include "output/OutputStreams.hpp"
#include "output/ResultFiles.hpp"
#include "output/RunManifest.hpp"
#include "run/ChainState.hpp"
#include "run/Console.hpp"
#include "run/FlowReplay.hpp"
#include "run/FlowSource.hpp"
#include "run/KernelViews.hpp"
#include "run/Setup.hpp"
#include "run/Sources.hpp"
#include "run/SteadyFlow.hpp"
#include "run/TimeLoop.hpp"
#include "run/Weather.hpp"
#include "model/Errors.hpp"

namespace quarno {

namespace {

// Denormal results are flushed to zero, as the model's arithmetic assumes.
void flush_denormals_to_zero() {
#if defined(__SSE__) || defined(__x86_64__)
  _MM_SET_FLUSH_ZERO_MODE(_MM_FLUSH_ZERO_ON);
#endif
}

// An exclusive advisory lock on the working directory for the whole run, so
// that two runs in one folder never write the same files.
class FolderLock {
 public:
  FolderLock() : fd_(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {}
  ~FolderLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

  // False only when another process holds the lock. A folder that cannot be
  // locked at all (a file system without locks) is used unlocked.
  bool acquire() {
    return fd_ < 0 || ::flock(fd_, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK;
  }

 private:
  int fd_;
};

// A record interval longer than what is left of the run: the record clock,
// which starts where the run starts (at 0, or where a saved state left
// it), adds up the outer steps and cannot reach it, so no observation
// record is taken. Said once, for an interval the command line gave; the
// margin keeps the sums' rounding from making it untrue.
void warn_of_no_records(const Model& m, Outputs& out) {
  const double left = m.bic.TBC(m.run.NTInt) - m.clock.t + m.clock.record_clock;
  const double S = m.settings.record_interval;
  if (!(S > left * (1.0 + 1e-9) + 1e-9)) return;
  out.warnings.write_line("warning: --record-interval " + show_number(S) +
                          " s is longer than the model time the run has left to record (" +
                          show_number(left) + " s): a record is taken at the end of the first outer step "
                          "that reaches it, so no observation record is taken");
}

}  // namespace

void run_model(Model& m, Reader& param, Reader& bicond, Outputs& out, const RunPlan& plan,
               SavedInputs& saved) {
  m.settings = plan.settings;
  m.forcing = std::move(saved.forcing);  // echoed by read_deck
  FlowRecording flow;
  flow.replay_from = saved.record.get();
  flow.save_path = plan.save_flow;
  flow.level = plan.flow_compression;
  read_deck(m, param, bicond, out);
  out.progress.start(static_cast<float>(m.bic.TBC(m.run.NTInt)));
  build_grid(m);
  locate_observations(m);
  map_tables(m);
  check_mapped_tables(m);
  initial_state(m);
  locate_sources(m);
  locate_weather(m);
  if (m.settings.steady_flow) {
    establish_steady_flow(m, out, saved.flow.get());
    out.progress.start(static_cast<float>(m.bic.TBC(m.run.NTInt)));
  }
  if (saved.resume) {
    restore_run_state(m, *saved.resume, plan.initial_state);
  } else {
    m.bal.QX0 = m.bal.QXL = m.bal.QGwU = m.bal.QCGWU = 0.0;
    record_initial_storages(balance_view(m), m.bal);
  }
  if (plan.record_interval_given) warn_of_no_records(m, out);
  FlowSource source(m, out, flow);
  run_schedule(m, out, source, !plan.save_state.empty());
  out.flush_all();
  source.commit();
}

namespace {

// Runs the model and returns the exit status, after writing the message of
// a failed run to standard error (and into `message`). The files are flushed
// before the message, so everything written so far is kept; a results file
// that cannot be written ends the run at once with status 3.
int run_and_report(Reader& param, Reader& bicond, Outputs& out, const RunPlan& plan,
                   SavedInputs& saved, std::string& message) {
  auto model = std::make_unique<Model>();
  int status = 0;
  try {
    out.sources = saved.forcing.any();
    out.weather = saved.forcing.weather();
    if (out.csv)
      write_csv_heads(out.obs_csv, out.profiles_csv, out.balance_csv, out.start_date, out.sources,
                      out.weather);
    try {
      run_model(*model, param, bicond, out, plan, saved);
      if (!plan.save_state.empty()) save_run_state(*model, plan.save_state);
    } catch (const InputError& e) {
      status = 1;
      message = e.what();
    } catch (const NumericalFailure& e) {
      status = 2;
      message = e.what();
    } catch (const Interrupted& i) {
      status = i.status;
    }
    out.flush_all();
  } catch (const OutputError& e) {
    status = 3;
    message = e.what();
  }
  out.progress.clear_line();  // a message starts on a line of its own
  if (!message.empty()) std::fprintf(stderr, "%s\n", message.c_str());
  return status;
}

// The results of a run with a start date write the date of every time from
// 0 to the end of the schedule: the end's must have a four-digit year too.
// Checked on the deck read aside; a deck that cannot be read is left to the
// run, which reports its error.
// `given` names where the start date comes from, as the message begins.
void check_end_date(const Model& deck, const StartDate& start, const std::string& given) {
  const double end = deck.bic.TBC(deck.run.NTInt);
  if (!start.set || date_within_calendar(start, end)) return;
  char date[kDateTimeCapacity];
  const int n = format_datetime(start, end, date);
  throw InputError(given + ": the end of the schedule (" + show_number(end) +
                   " s) falls " + (n > 0 ? "on " + std::string(date, n) + ", " : "") +
                   (end < 0.0 ? std::string("before ") + kFirstDate + ", the first"
                              : std::string("after ") + kLastDate + ", the last") +
                   " date the results can hold");
}

// Reads the saved inputs the plan names and the forcing file when there is
// one; the message of the first that cannot be used, or empty.
std::string read_saved_inputs(const RunPlan& plan, Reader& param, Reader& bicond,
                              SavedInputs& in) {
  try {
    if (!plan.settings.flow_state.empty())
      in.flow = std::make_unique<SavedFlowState>(read_flow_state_file(plan.settings.flow_state));
    if (!plan.initial_state.empty())
      in.resume = std::make_unique<SavedRunState>(
          load_initial_state(plan.initial_state, param, bicond, plan.settings));
    if (!plan.replay_flow.empty())
      in.record = std::make_unique<FlowRecordReader>(plan.replay_flow);
    const bool forcing = forcing_file_exists(kForcingFile);
    if (!forcing && !plan.start_date.set) return {};
    const std::unique_ptr<Model> deck = read_deck_aside(param, bicond, plan.settings, false);
    if (!deck) return {};  // the run reports the deck's error
    check_end_date(*deck, plan.start_date, "quarno: --start-date");
    TextOut warnings(stderr);  // the run's warnings stream, before the run's outputs exist
    if (forcing)
      in.forcing = read_forcing_file(kForcingFile, deck->run.L, plan.start_date, warnings);
    if (!plan.start_date.set)
      check_end_date(*deck, deck_start_date(in.forcing),
                     std::string(kForcingFile) + ", line " + std::to_string(in.forcing.deck.line) +
                         ": start_date of [deck]");
  } catch (const InputError& e) {
    return e.what();
  }
  return {};
}

// A file a saved state or record must not replace: what names it, whether
// the run reads or writes it, and the one save option that may replace it
// (none: nullptr).
struct OtherFile {
  std::string path;
  std::string shown;
  const char* use;
  const char* replaced_by = nullptr;
};

// Empty when each save path of the plan is a file of its own; otherwise the
// message naming the first that is the same file as an input of the run, a
// result it writes or the other save path, found before anything is written.
// A state gone on from may be replaced by the state saved at the end, and a
// replayed record by the record of the run: the one is read whole before the
// run, the other held open, and the rename leaves what is read untouched.
std::string check_save_paths(const RunPlan& plan, const SavedInputs& saved) {
  std::vector<OtherFile> others;
  for (const char* name : {files::kParam, files::kBicond, files::kForcing})
    others.push_back({name, name, "reads"});
  for (const SourceSeries& s : saved.forcing.sources)
    if (!s.series_file.empty()) others.push_back({s.series_file, s.series_file, "reads"});
  if (!saved.forcing.environment.series_file.empty())
    others.push_back({saved.forcing.environment.series_file,
                      saved.forcing.environment.series_file, "reads"});
  if (!plan.initial_state.empty())
    others.push_back({plan.initial_state, "--initial-state", "reads", "--save-state"});
  if (!plan.settings.flow_state.empty())
    others.push_back({plan.settings.flow_state, "--flow-state", "reads"});
  if (!plan.replay_flow.empty())
    others.push_back({plan.replay_flow, "--replay-flow", "reads", "--save-flow"});
  const int results = plan.csv ? 5 : files::kTextResultCount;
  for (int k = 0; k < results; ++k)
    others.push_back({files::kResults[k], files::kResults[k], "writes"});
  others.push_back({files::kManifest, files::kManifest, "writes"});
  if (plan.settings.steady_flow) others.push_back({kSteadyFlowFile, kSteadyFlowFile, "writes"});
  // The first other file that `path`, named by `option`, must not replace.
  auto clash = [&](const std::string& path, const char* option) -> std::string {
    for (const OtherFile& other : others) {
      const bool may_replace =
          other.replaced_by != nullptr && std::strcmp(other.replaced_by, option) == 0;
      if (!may_replace && same_file(path, other.path))
        return std::string("quarno: ") + option + " " + path + ": the same file as " +
               other.shown + ", which this run " + other.use;
    }
    return {};
  };
  if (!plan.save_state.empty()) {
    if (std::string error = clash(plan.save_state, "--save-state"); !error.empty()) return error;
    others.push_back({plan.save_state, "--save-state", "writes"});
  }
  if (!plan.save_flow.empty()) return clash(plan.save_flow, "--save-flow");
  return {};
}

// Prints a message of a run that failed on standard error and returns the
// status.
int fail(int status, const std::string& text, std::string& message) {
  message = text;
  std::fprintf(stderr, "%s\n", text.c_str());
  return status;
}

// The run in the working directory, locked, after the manifest's start: the
// inputs read and checked, the result files opened, the model run and the
// files closed. Returns the exit status with the message printed on failure
// in `message`; `finished` tells that the closing pause is due.
int run_in_folder(const RunPlan& plan, RunManifest& manifest, std::string& message,
                  Outputs*& pausing, std::unique_ptr<Outputs>& kept) {
  // The input files and a saved flow state, then the output files; an
  // existing output file is replaced. A signal that ended a wait for an
  // input file (a FIFO) ends the run before anything is written.
  Reader param(files::kParam);
  Reader bicond(files::kBicond);
  if (const int status = interrupt_status(); status != 0) return status;
  SavedInputs saved;
  if (const std::string error = read_saved_inputs(plan, param, bicond, saved); !error.empty())
    return fail(1, error, message);
  // The option's start date, else the one the forcing file's [deck] gives.
  const StartDate start = plan.start_date.set ? plan.start_date : deck_start_date(saved.forcing);
  manifest.set_deck(start, saved.forcing.deck.unit.text);
  if (const std::string error = check_save_paths(plan, saved); !error.empty())
    return fail(1, error, message);
  const char* const* kNames = files::kResults;
  const char* created[3] = {};
  int created_count = 0;
  if (plan.settings.steady_flow) created[created_count++] = kSteadyFlowFile;
  if (!plan.save_state.empty()) created[created_count++] = plan.save_state.c_str();
  if (!plan.save_flow.empty()) created[created_count++] = plan.save_flow.c_str();
  std::FILE* opened[5] = {};
  const std::string open_error = open_results(
      opened, kNames, plan.csv ? 5 : files::kTextResultCount, created, created_count);
  if (!open_error.empty()) return fail(1, open_error, message);
  kept.reset(new Outputs{TextOut(opened[0], kNames[0]), TextOut(opened[1], kNames[1]),
                         TextOut(stdout)});
  Outputs& out = *kept;
  if (plan.csv) {
    out.csv = true;
    out.obs_csv.attach(opened[2]);
    out.profiles_csv.attach(opened[3]);
    out.balance_csv.attach(opened[4]);
  }
  out.start_date = start;
  out.warnings.attach(stderr);
  out.quiet = plan.quiet;
  out.pause_reads = !plan.no_pause && ::isatty(STDIN_FILENO) == 1;
  if (plan.progress)
    out.progress.set_mode(Progress::Mode::Lines);
  else if (!plan.quiet && ::isatty(STDERR_FILENO) == 1)
    out.progress.set_mode(Progress::Mode::Redraw);

  const int status = run_and_report(param, bicond, out, plan, saved, message);
  try {
    out.progress.clear_line();
    out.console.flush();
    for (TextOut* file : {&out.results, &out.obs, &out.obs_csv, &out.profiles_csv,
                          &out.balance_csv})
      file->close();
  } catch (const OutputError& e) {
    return fail(3, e.what(), message);
  }
  if (status == 0) pausing = &out;
  return status;
}

}  // namespace

int Quarno(const RunPlan& plan) {
  flush_denormals_to_zero();
  try {
    FolderLock lock;
    if (!lock.acquire()) {
      std::fprintf(stderr, "another run is using this folder\n");
      return 1;
    }
    // The manifest says "running" before any result file is opened, and as
    // the last act which files the run wrote and how it ended; then the
    // closing pause of a run that succeeded.
    forget_written_files();
    RunManifest manifest(plan.version, plan.arguments);
    manifest.set_deck(plan.start_date, "");
    manifest.start();
    std::string message;
    Outputs* pausing = nullptr;
    std::unique_ptr<Outputs> out;
    int status = run_in_folder(plan, manifest, message, pausing, out);
    manifest.finish(status, message, written_files());
    if (pausing != nullptr) {
      try {
        pause(*pausing, "press ENTER to exit code");
      } catch (const Interrupted& i) {
        status = i.status;
        manifest.finish(status, message, written_files());
      }
    }
    return status;
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "quarno: not enough memory for this run\n");
    return 1;
  }
}

}  // namespace quarno
