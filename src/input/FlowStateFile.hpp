// The saved steady flow state file (crSteadyFlow.csv and the files that
// --flow-state names): its text format, read back without trusting it.
//
//   # comment lines
//   key,<16 hexadecimal digits>
//   cells,<M>
//   pseudo_time_s,<s>
//   steps,<outer steps>
//   largest_relative_change,<change>
//   cell,x_m,h_m,q_m2_per_s
//   1,<Xc(1)>,<h(1)>,<q(1)>
//   ... one row per cell, M rows
//
// Reading checks the form only: what the file promises for a given deck
// (its key, its cell count, that its flow is steady there) is checked by the
// run that uses it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "model/FileNames.hpp"
#include "model/Model.hpp"
#include "model/Sizing.hpp"

namespace quarno {

// The file in the run's folder that holds the steady flow state.
inline constexpr const char* kSteadyFlowFile = files::kSteadyFlow;
inline constexpr const char* kFlowStateHeader = "cell,x_m,h_m,q_m2_per_s";
// Far more than the state of the largest grid a deck may have: a row is
// under 100 bytes (an index and three numbers of at most 24 characters), the
// lines before the rows well under 4 kB.
constexpr std::size_t kMaxFlowStateBytes = 4096 + 100 * static_cast<std::size_t>(kNodeLimit);

struct SavedFlowState {
  std::string key;           // 16 lower-case hexadecimal digits
  long cells = 0;            // as the file states it; equals h.size() and q.size()
  double pseudo_time = 0.0;  // s
  long steps = 0;
  double change = 0.0;       // largest relative change over the last step
  std::vector<double> h;     // depth of cell i at [i - 1], finite and positive
  std::vector<double> q;     // discharge per unit width of cell i at [i - 1], finite
};

// Reads and checks a saved state. The file must be a regular file; it is
// opened without blocking, so a FIFO or a device is refused, never waited
// on. Every fault of form (a missing or malformed line, a value that is not
// a finite number, a depth that is not positive, a row out of order, a key
// that is not 16 hexadecimal digits) throws InputError naming `path` (and
// the line), quoting the text found with control bytes as \xNN, at most 40
// characters.
SavedFlowState read_flow_state_file(const std::string& path);

// The same checks on text held in memory, as if read from `path`.
SavedFlowState parse_flow_state(std::string_view text, const std::string& path);

// The key of everything the steady flow depends on, as 16 hexadecimal
// digits: a 64-bit hash of the grid, the widths, slopes, roughness and
// groundwater inflow at the nodes, the initial flow state, the boundary
// types and the inlet discharge and depth (of the first row that runs,
// m.steady.row).
std::string steady_flow_key(const Model& m);

// Writes the flow state of m with its key and how it was reached (m.steady)
// to kSteadyFlowFile, whole or not at all; throws OutputError naming it.
void save_flow_state(const Model& m, const std::string& key);

}  // namespace quarno
