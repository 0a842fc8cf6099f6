// The program's contract, printed by `quarno --describe` as JSON: the files
// it reads and writes, the tables of the deck and their columns, the mapping
// tolerance, the heads of the CSV results, the command-line options and the
// exit statuses, each taken from the registry the program itself runs on.
#pragma once

#include <string>
#include <vector>

namespace quarno {

// One command-line option as the command line is configured.
struct OptionFacts {
  std::vector<std::string> names;  // e.g. {"-h", "--help"}; a positional: {"FOLDER"}
  std::string argument;            // "none" for a flag, else e.g. "FILE", "INT"
  std::string help;                // the help text, line ends kept
  bool positional = false;
  bool flow = false;  // it chooses how the flow is obtained
};

// The contract as a JSON document.
std::string contract_json(const std::string& version, const std::vector<OptionFacts>& options);

}  // namespace quarno
