// libFuzzer target: reads a deck from memory and sets the model up, without
// running the time loop, then reads a saved steady flow state and offers it
// to the deck as --flow-state would (the key, the cell count and one outer
// step from the state that must keep it steady). The input holds the files
// in that order, crparam.txt, crbicond.txt and crSteadyFlow.csv, split at the
// lines "@@@"; a missing part is empty. The third part is also read as a
// saved run state and, when it is one, checked against the deck and restored
// into the model, as --initial-state does. Bad input must end in InputError with
// a message that names the file and holds no control bytes; any other
// exception, a sanitizer report or a bounds failure is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "input/Deck.hpp"
#include "input/FlowStateFile.hpp"
#include "model/Errors.hpp"
#include "input/Reader.hpp"
#include "input/RunStateFile.hpp"
#include "model/Model.hpp"
#include "run/KernelViews.hpp"
#include "output/OutputStreams.hpp"
#include "run/Setup.hpp"
#include "input/ScheduleChecks.hpp"
#include "run/SteadyFlow.hpp"

namespace {

constexpr std::string_view kSeparator = "@@@\n";

// A message must start with a file name and be one line of printable text.
bool well_formed(std::string_view message) {
  if (message.rfind("crparam.txt", 0) != 0 && message.rfind("crbicond.txt", 0) != 0 &&
      message.rfind("crSteadyFlow.csv", 0) != 0 && message.rfind("run.state", 0) != 0)
    return false;
  for (const char ch : message) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7f) return false;
  }
  return true;
}

void check_message(const quarno::InputError& e) {
  if (!well_formed(e.what())) {
    std::fprintf(stderr, "malformed input error message: %s\n", e.what());
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t cut = input.find(kSeparator);
  const std::string_view param = input.substr(0, cut);
  std::string_view bicond =
      cut == std::string_view::npos ? std::string_view() : input.substr(cut + kSeparator.size());
  const std::size_t cut2 = bicond.find(kSeparator);
  const std::string_view state =
      cut2 == std::string_view::npos ? std::string_view() : bicond.substr(cut2 + kSeparator.size());
  bicond = bicond.substr(0, cut2);

  // The state is read on its own first, as a run reads it before the deck:
  // as a steady flow state and as a saved run state.
  std::unique_ptr<quarno::SavedFlowState> saved;
  std::unique_ptr<quarno::SavedRunState> resume;
  if (cut2 != std::string_view::npos) {
    try {
      saved = std::make_unique<quarno::SavedFlowState>(
          quarno::parse_flow_state(state, "crSteadyFlow.csv"));
    } catch (const quarno::InputError& e) {
      check_message(e);
    }
    try {
      resume = std::make_unique<quarno::SavedRunState>(quarno::parse_run_state(state, "run.state"));
    } catch (const quarno::InputError& e) {
      check_message(e);
    }
  }

  auto m = std::make_unique<quarno::Model>();
  // Half the inputs are read with the capacities lifted, where counts are
  // bounded by their file instead.
  m->settings.lift_capacities = (param.size() & 1) != 0;
  quarno::Reader p = quarno::Reader::from_text("crparam.txt", param);
  quarno::Reader b = quarno::Reader::from_text("crbicond.txt", bicond);
  std::string results, obs, console;
  quarno::Outputs out{quarno::TextOut(nullptr), quarno::TextOut(nullptr),
                      quarno::TextOut(nullptr)};
  out.results.capture_to(&results);
  out.obs.capture_to(&obs);
  out.console.capture_to(&console);
  try {
    quarno::read_deck(*m, p, b, out);
    quarno::build_grid(*m);
    quarno::locate_observations(*m);
    quarno::map_tables(*m);
    quarno::check_mapped_tables(*m);
    quarno::initial_state(*m);
    quarno::record_initial_storages(quarno::balance_view(*m), m->bal);
    if (resume) {
      quarno::check_run_state_fits(*m, *resume, "run.state");
      quarno::restore_run_state(*m, *resume, "run.state");
    }
    if (saved) {
      m->settings.steady_flow = true;
      m->settings.flow_state = "crSteadyFlow.csv";
      quarno::check_steady_schedule(*m);
      quarno::use_saved_state(*m, out, *saved);
    }
  } catch (const quarno::InputError& e) {
    check_message(e);
  }
  return 0;
}
