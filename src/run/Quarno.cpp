#include "run/Quarno.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#if defined(__SSE__) || defined(__x86_64__)
#include <xmmintrin.h>
#endif

#include "input/Deck.hpp"
#include "input/Reader.hpp"
#include "model/Model.hpp"
#include "output/Outputs.hpp"
#include "run/Console.hpp"
#include "output/Balance.hpp"
#include "run/Setup.hpp"
#include "run/TimeLoop.hpp"
#include "solver/NumericalFailure.hpp"

namespace quarno {

namespace {

// Denormal results are flushed to zero, as the model's arithmetic assumes.
void flush_denormals_to_zero() {
#if defined(__SSE__) || defined(__x86_64__)
  _MM_SET_FLUSH_ZERO_MODE(_MM_FLUSH_ZERO_ON);
#endif
}

struct File {
  std::FILE* f = nullptr;
  ~File() {
    if (f) std::fclose(f);
  }
};

}  // namespace

void run_model(Model& m, Reader& param, Reader& bicond, Outputs& out) {
  read_deck(m, param, bicond, out);
  build_grid(m);
  locate_observations(m);
  map_tables(m);
  initial_state(m);
  m.bal.QX0 = m.bal.QXL = m.bal.QGwU = m.bal.QCGWU = 0.0;
  record_initial_storages(m);
  run_schedule(m, out);
  out.flush_all();
}

int Quarno() {
  flush_denormals_to_zero();

  // The four files, in order; an existing output file is replaced.
  Reader param("crparam.txt");
  Reader bicond("crbicond.txt");
  File results, obs;
  for (auto [file, name] : {std::pair{&results, "crOutput.txt"}, std::pair{&obs, "crObsNode.txt"}}) {
    file->f = std::fopen(name, "w");
    if (!file->f) {
      std::fprintf(stderr, "%s: cannot open the file for writing (%s)\n", name,
                   std::strerror(errno));
      return 1;
    }
  }
  Outputs out{TextOut(results.f), TextOut(obs.f), TextOut(stdout)};

  auto model = std::make_unique<Model>();
  Model& m = *model;
  try {
    run_model(m, param, bicond, out);
    pause(out, "press ENTER to exit code");
  } catch (const InputError& e) {
    out.flush_all();
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  } catch (const NumericalFailure& e) {
    out.flush_all();
    std::fprintf(stderr, "%s\n", e.what());
    return 2;
  } catch (const Interrupted& i) {
    out.flush_all();
    return i.status;
  }
  out.flush_all();
  return 0;
}

}  // namespace quarno
