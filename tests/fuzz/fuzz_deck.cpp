// libFuzzer target: reads a deck from memory and sets the model up, without
// running the time loop. The input holds both files, crparam.txt first, split
// at the first line "@@@". Bad input must end in InputError with a message
// that names the file and holds no control bytes; any other exception, a
// sanitizer report or a bounds failure is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "input/Deck.hpp"
#include "input/InputError.hpp"
#include "input/Reader.hpp"
#include "model/Model.hpp"
#include "output/Balance.hpp"
#include "output/Outputs.hpp"
#include "run/Setup.hpp"

namespace {

constexpr std::string_view kSeparator = "@@@\n";

// A message must start with a file name and be one line of printable text.
bool well_formed(std::string_view message) {
  if (message.rfind("crparam.txt", 0) != 0 && message.rfind("crbicond.txt", 0) != 0) return false;
  for (const char ch : message) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7f) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t cut = input.find(kSeparator);
  const std::string_view param = input.substr(0, cut);
  const std::string_view bicond =
      cut == std::string_view::npos ? std::string_view() : input.substr(cut + kSeparator.size());

  auto m = std::make_unique<quarno::Model>();
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
    quarno::record_initial_storages(*m);
  } catch (const quarno::InputError& e) {
    if (!well_formed(e.what())) {
      std::fprintf(stderr, "malformed input error message: %s\n", e.what());
      std::abort();
    }
  }
  return 0;
}
