#include "run/ChainState.hpp"

#include <memory>

#include "input/Deck.hpp"
#include "model/Errors.hpp"
#include "output/OutputStreams.hpp"
#include "run/Setup.hpp"

namespace quarno {

SavedRunState load_initial_state(const std::string& path, const Reader& param,
                                 const Reader& bicond, const RunSettings& settings) {
  SavedRunState saved = read_run_state_file(path);
  auto scratch = std::make_unique<Model>();
  scratch->settings = settings;
  Reader param_copy = param;
  Reader bicond_copy = bicond;
  Outputs discard{TextOut(), TextOut(), TextOut()};
  try {
    read_deck(*scratch, param_copy, bicond_copy, discard);
    build_grid(*scratch);
    map_tables(*scratch);
  } catch (const InputError&) {
    return saved;  // the run reports the deck's own error
  }
  check_run_state_fits(*scratch, saved, path);
  return saved;
}

}  // namespace quarno
