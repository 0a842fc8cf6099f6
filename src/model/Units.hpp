// Concentration units: an amount per volume ("CFU/100 mL", "mg/L"). The
// model is linear in concentration, so a deck may hold every concentration in
// one such unit; the program records it and scales what depends on the
// volume (a source's load, an amount per second). The one table of the known
// amounts and volumes; the Python package takes it from `quarno --describe`.
#pragma once

#include <string>
#include <string_view>

namespace quarno {

// An amount: its name, what it counts or weighs (amounts of different kinds
// are never converted into each other) and its factor to the kind's base
// amount.
struct UnitAmount {
  const char* name;
  const char* kind;
  double factor;
};

// A volume: its name and its size in m3.
struct UnitVolume {
  const char* name;
  double m3;
};

inline constexpr UnitAmount kUnitAmounts[] = {
    {"CFU", "CFU", 1.0},      {"MPN", "MPN", 1.0},       {"PFU", "PFU", 1.0},
    {"cells", "cells", 1.0},  {"copies", "copies", 1.0}, {"gc", "copies", 1.0},
    {"kg", "mass", 1.0e3},    {"g", "mass", 1.0},        {"mg", "mass", 1.0e-3},
    {"ug", "mass", 1.0e-6},   {"ng", "mass", 1.0e-9},    {"mol", "moles", 1.0},
    {"mmol", "moles", 1.0e-3}, {"umol", "moles", 1.0e-6}, {"nmol", "moles", 1.0e-9},
};

inline constexpr UnitVolume kUnitVolumes[] = {
    {"m3", 1.0}, {"L", 1.0e-3}, {"dL", 1.0e-4}, {"100 mL", 1.0e-4}, {"mL", 1.0e-6},
};

// A concentration unit a deck declares.
struct ConcentrationUnit {
  std::string text;      // canonical: "CFU/100 mL"; empty: none declared
  double volume_m3 = 1.0;  // the size of the unit's volume
  bool declared() const { return !text.empty(); }
};

// Reads `text` as AMOUNT/VOLUME, spaces allowed around the parts and the
// "/", "100mL" read as "100 mL". False when either part is not in the tables.
inline bool parse_concentration_unit(std::string_view text, ConcentrationUnit& unit) {
  auto space = [](char c) { return c == ' ' || c == '\t'; };
  auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
  std::size_t at = 0;
  auto skip = [&] {
    while (at < text.size() && space(text[at])) ++at;
  };
  skip();
  const std::size_t amount_from = at;
  while (at < text.size() && letter(text[at])) ++at;
  const std::string_view amount = text.substr(amount_from, at - amount_from);
  skip();
  if (at >= text.size() || text[at] != '/') return false;
  ++at;
  skip();
  std::string volume;
  if (text.substr(at, 3) == "100") {
    at += 3;
    skip();
    volume = "100 ";
  }
  const std::size_t volume_from = at;
  while (at < text.size() && (letter(text[at]) || (text[at] >= '0' && text[at] <= '9'))) ++at;
  volume += std::string(text.substr(volume_from, at - volume_from));
  skip();
  if (at != text.size() || amount.empty()) return false;
  const UnitAmount* a = nullptr;
  for (const UnitAmount& k : kUnitAmounts)
    if (amount == k.name) a = &k;
  const UnitVolume* v = nullptr;
  for (const UnitVolume& k : kUnitVolumes)
    if (volume == k.name) v = &k;
  if (a == nullptr || v == nullptr) return false;
  unit.text = std::string(a->name) + "/" + v->name;
  unit.volume_m3 = v->m3;
  return true;
}

// "CFU, MPN, ... and nmol" and "m3, L, ... and mL", for messages.
inline std::string known_unit_amounts() {
  std::string s;
  const std::size_t n = sizeof kUnitAmounts / sizeof kUnitAmounts[0];
  for (std::size_t k = 0; k < n; ++k)
    s += (k == 0 ? "" : k + 1 == n ? " and " : ", ") + std::string(kUnitAmounts[k].name);
  return s;
}
inline std::string known_unit_volumes() {
  std::string s;
  const std::size_t n = sizeof kUnitVolumes / sizeof kUnitVolumes[0];
  for (std::size_t k = 0; k < n; ++k)
    s += (k == 0 ? "" : k + 1 == n ? " and " : ", ") + std::string(kUnitVolumes[k].name);
  return s;
}

}  // namespace quarno
