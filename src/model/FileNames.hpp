// The names of the files a run reads and writes in its folder: each is
// spelled here once, for the program and for its printed contract.
#pragma once

namespace quarno::files {

inline constexpr char kParam[] = "crparam.txt";    // the parameters and segment tables
inline constexpr char kBicond[] = "crbicond.txt";  // the initial state and the schedule
inline constexpr char kForcing[] = "crforcing.toml";  // optional: sources and weather
inline constexpr char kOutput[] = "crOutput.txt";     // echo, profiles, balances
inline constexpr char kObsNode[] = "crObsNode.txt";   // site records
inline constexpr char kObsNodeCsv[] = "crObsNode.csv";    // --csv
inline constexpr char kProfilesCsv[] = "crProfiles.csv";  // --csv
inline constexpr char kBalanceCsv[] = "crBalance.csv";    // --csv
inline constexpr char kSteadyFlow[] = "crSteadyFlow.csv";  // --steady-flow
inline constexpr char kManifest[] = "crManifest.json";    // every run: what it wrote

// The result files in the order they are opened: the first two always, all
// five with --csv.
inline constexpr const char* kResults[5] = {kOutput, kObsNode, kObsNodeCsv, kProfilesCsv,
                                            kBalanceCsv};
inline constexpr int kTextResultCount = 2;

}  // namespace quarno::files
