#include "run/ChainState.hpp"

#include <memory>

#include "input/Deck.hpp"
#include "model/Errors.hpp"
#include "output/OutputStreams.hpp"
#include "run/Setup.hpp"

namespace quarno {

std::unique_ptr<Model> read_deck_aside(const Reader& param, const Reader& bicond,
                                       const RunSettings& settings, bool mapped) {
  auto scratch = std::make_unique<Model>();
  scratch->settings = settings;
  Reader param_copy = param;
  Reader bicond_copy = bicond;
  Outputs discard{TextOut(), TextOut(), TextOut()};
  try {
    read_deck(*scratch, param_copy, bicond_copy, discard);
    if (mapped) {
      build_grid(*scratch);
      map_tables(*scratch);
    }
  } catch (const InputError&) {
    return nullptr;
  }
  return scratch;
}

SavedRunState load_initial_state(const std::string& path, const Reader& param,
                                 const Reader& bicond, const RunSettings& settings) {
  // The deck first: its node count bounds the size of the state file, which
  // is refused from its size before it is read.
  const std::unique_ptr<Model> deck = read_deck_aside(param, bicond, settings, true);
  SavedRunState saved = read_run_state_file(path, deck ? deck->run.Nfdn : 0);
  if (deck) check_run_state_fits(*deck, saved, path);  // else the run reports the deck's error
  return saved;
}

}  // namespace quarno
