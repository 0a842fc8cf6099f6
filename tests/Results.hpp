// Reading what the program printed: numbers as it writes them, the values
// after a label, profile blocks and balance reports of crOutput.txt and
// observation records of crObsNode.txt.
#pragma once

#include <string>
#include <vector>

namespace quarno::test {

// The number at the start of `field` after blanks, as the program prints it:
// integers, fixed point, E+dd exponents and the three-digit exponent form
// that replaces the letter E (0.28996-185). Asterisks, NaN, Infinity and a
// field without a number read as NaN.
double read_number(const std::string& field);

// The number printed after each occurrence of `label` on its line, in order.
std::vector<double> values_after(const std::string& text, const std::string& label);

// The lines of a text, without their line ends.
std::vector<std::string> lines_of(const std::string& text);

// Half a unit in the last digit of `v` printed with `digits` digits of
// mantissa in [0.1, 1): the largest rounding error of the print.
double half_unit(double v, int digits);

// One profile block: the time and, per cell, Xc, h, u, q, Q and the cell
// means of C, Cb (the column headed "Cs") and Cs (headed "Cst").
struct Profile {
  double t = 0;
  std::vector<double> X, h, u, q, Q, C, Cb, Cs;
};

// The complete profile blocks of `cells` rows whose every value is finite.
std::vector<Profile> read_profiles(const std::string& results, int cells);

// The balance reports, one entry per report and label.
struct Balances {
  std::vector<double> water_ER_A, water_ER_R, QX0, QXL, QGwU;
  std::vector<double> solute_ER_A, solute_ER_R;  // stream water, then bed sediment, per report
  std::vector<double> Ctoti, Ctotf, QCGWU, Cwdoff;
};

Balances read_balances(const std::string& results);

// An observation record: the time and, per position, depth, velocity,
// discharge, C and Cb.
struct ObsRow {
  double t = 0;
  std::vector<double> h, u, Q, C, Cb;
};

// The complete records of an observation file with `positions` positions.
std::vector<ObsRow> read_obs(const std::string& obs, int positions);

}  // namespace quarno::test
