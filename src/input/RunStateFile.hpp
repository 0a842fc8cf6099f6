// The saved state of a run (--save-state, --initial-state): everything a run
// carries from one outer step to the next, so that a long record can be run
// as a chain of runs that continue each other exactly.
//
//   quarno saved run state, version 1
//   # comment lines
//   key,<16 hexadecimal digits>
//   t_s,<value>               one line per scalar, in a fixed order
//   ...
//   QSrc,<value>              with sources along the reach only: their sums
//   QCSrcIn,<value>
//   QCSrcOut,<value>
//   cells,<M>
//   cell,h_m,q_m2_per_s,...   one row per cell
//   nodes,<Nfdn>
//   node,C,Cs,Cb,...          one row per node
//   checksum,<16 hexadecimal digits>
//
// Numbers are written with 17 significant digits, so that each reads back
// as the same double. The checksum is the hash of every byte before its
// line, so a changed digit or a cut file is caught.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "model/Model.hpp"

namespace quarno {

inline constexpr const char* kRunStateFirstLine = "quarno saved run state, version 1";

struct SavedRunState {
  std::string key;                   // 16 lower-case hexadecimal digits
  double t = 0.0;                    // model time of the state (s)
  std::vector<double> scalars;       // every scalar line, in the file's order
  // The balance sums of sources along the reach, when the run had any.
  bool sources = false;
  double QSrc = 0.0, QCSrcIn = 0.0, QCSrcOut = 0.0;
  int cells = 0, nodes = 0;
  std::vector<double> cell_values;   // cells rows of the cell columns
  std::vector<double> node_values;   // nodes rows of the node columns
};

// The key of the deck parts a chain must keep: the grid (Nfdn, L, dx), the
// channel (width, slope and roughness at the nodes), the boundary types and
// whether transport is on. The schedule, output times, observation
// positions, groundwater and transport parameters may change.
std::string run_state_key(const Model& m);

// The whole text of the state file of m.
std::string run_state_text(const Model& m);

// Writes the state of m to `path`, whole or not at all; throws OutputError
// naming it.
void save_run_state(const Model& m, const std::string& path);

// Reads and checks a state file: the first line, the checksum and the form
// of every line. Throws InputError naming `path` (and the line).
SavedRunState parse_run_state(std::string_view text, const std::string& path);
// Reads the state file; one larger than any state of a deck of `nodes` nodes
// (0: of any deck) is refused from its size before it is read.
SavedRunState read_run_state_file(const std::string& path, int nodes = 0);

// Throws InputError naming `path` unless the state fits the deck read into
// m (grid built, tables mapped): the same key, and a time before the end of
// the schedule.
void check_run_state_fits(const Model& m, const SavedRunState& s, const std::string& path);

// Takes the state into m after its initial state is set, in place of the
// initial storages: the run goes on from the state's time. Output times at
// or before it are passed over; when the time falls inside the first row
// that runs, that row keeps the saved outer step and inlet depth.
void restore_run_state(Model& m, const SavedRunState& s, const std::string& path);

}  // namespace quarno
