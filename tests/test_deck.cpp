// Reading and echoing both input files through the real program: the
// end-time rule, optional blocks, and every rejection of bad input (exit
// status 1, one message naming file, line and quantity, the echo written
// before the rejection kept).
#include <gtest/gtest.h>

#include <string>

#include "RunDeck.hpp"

namespace quarno::test {
namespace {

// A valid deck with transport on; the line numbers below refer to it.
const std::string kParam =
    "Test reach\n"                                         // 1
    "NTr Ninv Nfdn\n"                                      // 2
    "1 0 11\n"                                             // 3
    "L Btm0\n"                                             // 4
    "1000. 100.\n"                                         // 5
    "NWidth\n"                                             // 6
    "2\n"                                                  // 7
    "X Width\n"                                            // 8
    "0. 10.\n"                                             // 9
    "1000. 12.\n"                                          // 10
    "NSlope\n"                                             // 11
    "2\n"                                                  // 12
    "X Slope\n"                                            // 13
    "0. 0.001\n"                                           // 14
    "1000. 0.001\n"                                        // 15
    "NRough\n"                                             // 16
    "2\n"                                                  // 17
    "X n\n"                                                // 18
    "0. 0.03\n"                                            // 19
    "1000. 0.03\n"                                         // 20
    "NGW\n"                                                // 21
    "2\n"                                                  // 22
    "X GWUpw CGW\n"                                        // 23
    "0. 0. 0.\n"                                           // 24
    "1000. 0. 0.\n"                                        // 25
    "NTrPar\n"                                             // 26
    "2\n"                                                  // 27
    "X aL Re TauCR f Vs Alfa Kdw Kds TSS Hb Rb\n"          // 28
    "0. 5. 1e-5 2. 0.2 1e-5 1e-4 1e-5 1e-6 10. 0.05 1500.\n"     // 29
    "1000. 5. 1e-5 2. 0.2 1e-5 1e-4 1e-5 1e-6 10. 0.05 1500.\n";  // 30

const std::string kBicond =
    "NInCW\n"             // 1
    "2\n"                 // 2
    "X h Q\n"             // 3
    "0. 0.5 5.\n"         // 4
    "1000. 0.5 5.\n"      // 5
    "NInCT\n"             // 6
    "2\n"                 // 7
    "X C Cb\n"            // 8
    "0. 0. 0.\n"          // 9
    "1000. 0. 0.\n"       // 10
    "NTInt NB0 NBL\n"     // 11
    "2 1 1\n"             // 12
    "T h Q C\n"           // 13
    "600. 0.5 5. 1.\n"    // 14
    "1200. 0.5 5. 0.\n"   // 15
    "NTout\n"             // 16
    "2\n"                 // 17
    "times\n"             // 18
    "300. 600.\n"         // 19
    "Nobs\n"              // 20
    "2\n"                 // 21
    "X\n"                 // 22
    "0. 1000.\n";         // 23

const char* kWidthBlock = "Stream width segments: NWidth=";
const char* kTransportBlock = "Stream transport parameters segments: NTrPar=";
const char* kFlowInitBlock = "Stream initial conditions (flow): NInCW=";
const char* kScheduleBlock = "Stream boundary conditions:  NTInt=";
const char* kTimesBlock = "Number of output time intervals";
const char* kObsBlock = "Number of obsrevation nodes";
const char* kBanner = "          RESULTS\n";

bool has(const std::string& text, const std::string& what) {
  return text.find(what) != std::string::npos;
}

// The lines of the results file from the line holding `from` on.
std::string block_from(const std::string& results, const std::string& from, int nlines) {
  const std::size_t at = results.find(from);
  if (at == std::string::npos) return {};
  const std::size_t start = results.rfind('\n', at) + 1;
  return first_lines(results.substr(start), nlines);
}

TEST(ReadDeck, ValidDeckIsEchoedAndRunsToTheClosingPause) {
  const RunResult r = run_deck(kParam, kBicond);
  ASSERT_EQ(r.status, 0) << r.errors;
  EXPECT_EQ(r.errors, "");
  EXPECT_NE(r.console.find("press ENTER to exit code\n"), std::string::npos);
  EXPECT_EQ(first_lines(r.results, 17),
            "\n"
            "***********************************************************\n"
            "              PROGRAM   Quarno\n"
            "  ONE-DIMENSIONAL STREAM FLOW AND MICROBIAL TRANSPORT  \n"
            "***********************************************************\n"
            "\n"
            "  " + std::string(80, '-') + "\n"
            " <Test reach" + std::string(70, ' ') + ">\n"
            "  " + std::string(80, '-') + "\n"
            "\n"
            " Microbial Transport flag.(0-no, 1-yes)......NTr=   1\n"
            " Inverse problem flag .................. ...Ninv=   0\n"
            "\n"
            " Nodes number in finite difference grid.....Nfdn=  11\n"
            " Stream length (m)............................ L=   0.100E+04\n"
            " Bottom elevation at X=0 (m)................Btm0=   0.100E+03\n"
            "\n");
  EXPECT_EQ(block_from(r.results, kWidthBlock, 6),
            "Stream width segments: NWidth=  2\n"
            "\n"
            "       X(m)      Width(m)\n"
            "\n"
            "     0.000E+00     0.100E+02\n"
            "     0.100E+04     0.120E+02\n");
  EXPECT_EQ(block_from(r.results, "Stream transport", 2),
            "Stream transport parameters segments: NTrPar=  2\n"
            "TRANSPORT PARAMETERS\n");
  EXPECT_EQ(block_from(r.results, " 0.0000E+00 0.5000E+01", 1),
            " 0.0000E+00 0.5000E+01 0.1000E-04 0.2000E+01 0.2000E+00 0.1000E-04 0.1000E-03"
            " 0.1000E-04 0.1000E-05 0.1000E+02 0.5000E-01 0.1500E+04\n");
  EXPECT_EQ(block_from(r.results, kObsBlock, 5),
            " Number of obsrevation nodes ........... ...Nobs=   2\n"
            "  NXobs \n"
            " Coordinates X(m):\n"
            "    0.0000E+00\n"
            "    0.1000E+04\n");
  // The observation file head: eleven lines, the first empty.
  EXPECT_EQ(first_lines(r.obs, 2), "\n***********************************************************\n");
  EXPECT_TRUE(has(first_lines(r.obs, 11),
                  "   Time          h(m)          u(m/s)        Q(m3/s)         C             Cs"
                  "         h(m)          u(m/s)        Q(m3/s)         C             Cs\n"));
}

TEST(ReadDeck, EarlierOutputIsReplaced) {
  const RunResult r = run_deck(kParam.c_str(), kBicond.c_str(), "stale results\n");
  ASSERT_EQ(r.status, 0) << r.errors;
  EXPECT_FALSE(has(r.results, "stale"));
  EXPECT_FALSE(has(r.obs, "stale"));
}

TEST(ReadDeck, TitleIsCutAtColumn80AndNinvOnlyEchoed) {
  const std::string title(79, 'T');
  std::string param = with_line(kParam, 1, title + "XYZ");
  param = with_line(param, 3, "1 1 11");
  const RunResult r = run_deck(param, kBicond);
  ASSERT_EQ(r.status, 0) << r.errors;
  EXPECT_TRUE(has(r.results, " <" + title + "X>\n"));
  EXPECT_TRUE(has(r.results, "...Ninv=   1\n"));
  const RunResult base = run_deck(with_line(kParam, 1, title + "XYZ"), kBicond);
  // Apart from the echoed flag, the files are the same.
  std::string a = r.results, b = base.results;
  a.replace(a.find("...Ninv=   1"), 12, "...Ninv=   0");
  EXPECT_EQ(a, b);
  EXPECT_EQ(r.obs, base.obs);
}

TEST(ReadDeck, EndTimeRule) {
  auto times_echo = [](const std::string& list, int ntout) {
    std::string bicond = with_line(kBicond, 15, "10800. 0.5 5. 0.");
    bicond = with_line(bicond, 17, std::to_string(ntout));
    bicond = with_line(bicond, 19, list);
    const RunResult r = run_deck(kParam, bicond);
    EXPECT_EQ(r.status, 0) << r.errors;
    return block_from(r.results, kTimesBlock, 6);
  };
  // The end of the schedule lies beyond the list: it is appended.
  EXPECT_EQ(times_echo("3600 7200", 2),
            " Number of output time intervals.......... NTout=   3\n"
            "     Time, sec\n"
            "   0.36000E+04\n"
            "   0.72000E+04\n"
            "   0.10800E+05\n"
            "\n");
  // Otherwise only the last listed time is replaced.
  EXPECT_EQ(times_echo("3600 7200 20000", 3), times_echo("3600 7200", 2));
  EXPECT_EQ(times_echo("3600 20000 30000", 3),
            " Number of output time intervals.......... NTout=   3\n"
            "     Time, sec\n"
            "   0.36000E+04\n"
            "   0.20000E+05\n"
            "   0.10800E+05\n"
            "\n");
  // A list that already ends at the end time keeps its length.
  EXPECT_EQ(times_echo("3600 10800", 2),
            " Number of output time intervals.......... NTout=   2\n"
            "     Time, sec\n"
            "   0.36000E+04\n"
            "   0.10800E+05\n"
            "\n"
            " Number of obsrevation nodes ........... ...Nobs=   2\n");
}

TEST(ReadDeck, OptionalBlocks) {
  // No transport: the parameter file may end after the groundwater table, and
  // the initial transport table is neither read nor echoed.
  std::string param = first_lines(with_line(kParam, 3, "0 0 11"), 25);
  std::string bicond = kBicond.substr(kBicond.find("NTInt NB0 NBL"));
  bicond = first_lines(kBicond, 5) + bicond;
  RunResult r = run_deck(param, bicond);
  ASSERT_EQ(r.status, 0) << r.errors;
  EXPECT_FALSE(has(r.results, kTransportBlock));
  EXPECT_FALSE(has(r.results, "(transport)"));
  EXPECT_TRUE(has(r.results, kScheduleBlock));

  // No observation positions: the file may end after the count, block K is
  // left out and the banner follows the output times.
  bicond = first_lines(with_line(kBicond, 21, "0"), 21);
  r = run_deck(kParam, bicond);
  ASSERT_EQ(r.status, 0) << r.errors;
  EXPECT_FALSE(has(r.results, kObsBlock));
  EXPECT_TRUE(has(r.results, "   0.60000E+03\n   0.12000E+04\n" + std::string(80, '*') + "\n\n" +
                                 kBanner));
}

// A deck that must be rejected: exit status 1 and a single message on
// standard error that starts with the file and line and contains `what`.
void expect_rejected(const RunResult& r, const std::string& where, const std::string& what) {
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.errors.rfind(where, 0), 0u) << r.errors;
  EXPECT_TRUE(has(r.errors, what)) << r.errors;
  EXPECT_EQ(r.errors.find('\n'), r.errors.size() - 1) << "one line expected: " << r.errors;
  EXPECT_FALSE(has(r.results, kBanner));
  EXPECT_EQ(r.obs, "");
  EXPECT_FALSE(has(r.console, "press ENTER"));
}

TEST(ReadDeckRejects, CountsOutsideTheirRange) {
  struct Case {
    int line;
    const char* text;
    const char* message;
    const char* options = "";
  };
  const Case param_cases[] = {
      {3, "1 0 2", "Nfdn must be at least 3 (found 2)"},
      {3, "1 0 1002", "Nfdn must be at most 1001 (found 1002)"
       ", the standard capacity; --lift-capacities accepts more"},
      {7, "1", "NWidth must be at least 2 (found 1)"},
      {12, "101", "NSlope must be at most 100 (found 101)"
       ", the standard capacity; --lift-capacities accepts more"},
      {17, "-3", "NRough must be at least 2 (found -3)"},
      {22, "0", "NGW must be at least 2 (found 0)"},
      {27, "101", "NTrPar must be at most 100 (found 101)"
       ", the standard capacity; --lift-capacities accepts more"},
      // With the capacities lifted: the node bound, and no table longer
      // than the rest of its file can hold, so a false count reserves nothing.
      {3, "1 0 1000002", "Nfdn must be at most 1000001 (found 1000002)", "--lift-capacities"},
      {12, "2000000000", "NSlope must be at most 130 (found 2000000000): the rest of the file "
                         "holds 260 characters, and each of the 2 values of a row takes at least "
                         "one", "--lift-capacities"},
      {27, "101", "NTrPar must be at most 12 (found 101)", "--lift-capacities"},
  };
  for (const Case& c : param_cases) {
    SCOPED_TRACE(c.message);
    const RunResult r = run_deck_with(c.options, with_line(kParam, c.line, c.text), kBicond);
    expect_rejected(r, "crparam.txt, line " + std::to_string(c.line) + ": ", c.message);
    EXPECT_EQ(has(r.errors, "--lift-capacities accepts"), has(c.message, "--lift"));
  }
  const Case bicond_cases[] = {
      {2, "1", "NInCW must be at least 2 (found 1)"},
      {7, "1001", "NInCT must be at most 1000 (found 1001)"
       ", the standard capacity; --lift-capacities accepts more"},
      {12, "0 1 1", "NTInt must be at least 1 (found 0)"},
      {12, "1001 1 1", "NTInt must be at most 1000 (found 1001)"
       ", the standard capacity; --lift-capacities accepts more"},
      {12, "2 2 1", "NB0 must be at most 1 (found 2)"},
      {12, "2 1 -1", "NBL must be at least 0 (found -1)"},
      {17, "0", "NTout must be at least 1 (found 0)"},
      {17, "101", "NTout must be at most 100 (found 101)"
       ", the standard capacity; --lift-capacities accepts more"},
      {21, "11", "Nobs must be at most 10 (found 11)"
       ", the standard capacity; --lift-capacities accepts more"},
      {21, "-1", "Nobs must be at least 0 (found -1)"},
      {7, "1001", "NInCT must be at most 43 (found 1001)", "--lift-capacities"},
      {12, "2000000000 1 1", "NTInt must be at most 20 (found 2000000000)", "--lift-capacities"},
      {17, "101", "NTout must be at most 34 (found 101)", "--lift-capacities"},
      {21, "12", "Nobs must be at most 11 (found 12): the rest of the file holds 11 "
                 "characters, and each value takes at least one", "--lift-capacities"},
  };
  for (const Case& c : bicond_cases) {
    SCOPED_TRACE(c.message);
    const RunResult r = run_deck_with(c.options, kParam, with_line(kBicond, c.line, c.text));
    expect_rejected(r, "crbicond.txt, line " + std::to_string(c.line) + ": ", c.message);
    EXPECT_EQ(has(r.errors, "--lift-capacities accepts"), has(c.message, "--lift"));
    // The whole parameter echo was written before the rejection.
    EXPECT_TRUE(has(r.results, "0.1500E+04\n")) << "transport rows missing";
  }
}

TEST(ReadDeck, EmptyValuesCountTowardsTheRowsAFileCanHold) {
  // Six positions in seven characters: the five empty values keep 0.
  const RunResult r = run_deck_with("--lift-capacities", kParam,
                                    with_line(with_line(kBicond, 21, "6"), 23, "0,,,,,,"));
  EXPECT_EQ(r.status, 0) << r.errors;
  EXPECT_TRUE(has(r.results, "Nobs=   6")) << r.results;
}

TEST(ReadDeckRejects, ValuesAndTables) {
  // Rejections in the parameter file keep the echo of the blocks before them.
  RunResult r = run_deck(with_line(kParam, 5, "0. 100."), kBicond);
  expect_rejected(r, "crparam.txt, line 5: ", "L must be positive (found 0)");
  EXPECT_EQ(r.results, "");

  r = run_deck(with_line(kParam, 10, "0. 12."), kBicond);
  expect_rejected(r, "crparam.txt, line 10: ",
                  "XWidth(2) must be greater than XWidth(1) (found 0 after 0)");
  EXPECT_TRUE(has(r.results, "Btm0=   0.100E+03\n\n"));
  EXPECT_FALSE(has(r.results, kWidthBlock));

  r = run_deck(with_line(kParam, 10, "1000. -2.5"), kBicond);
  expect_rejected(r, "crparam.txt, line 10: ", "Width(2) must be positive (found -2.5)");

  r = run_deck(with_line(kParam, 15, "-5. 0.001"), kBicond);
  expect_rejected(r, "crparam.txt, line 15: ", "XSlope(2) must be greater than XSlope(1)");
  EXPECT_TRUE(has(r.results, kWidthBlock));

  const char* transport_cases[][2] = {
      {"1000. 5. 1e-5 0. 0.2 1e-5 1e-4 1e-5 1e-6 10. 0.05 1500.", "TauCR(2) must be positive"},
      {"1000. 5. 1e-5 2. -0.2 1e-5 1e-4 1e-5 1e-6 10. 0.05 1500.", "f(2) must be positive"},
      {"1000. 5. 1e-5 2. 0.2 1e-5 1e-4 1e-5 1e-6 10. 0. 1500.", "Hb(2) must be positive"},
      {"1000. 5. 1e-5 2. 0.2 1e-5 1e-4 1e-5 1e-6 10. 0.05 0.", "Rb(2) must be positive"},
      {"0. 5. 1e-5 2. 0.2 1e-5 1e-4 1e-5 1e-6 10. 0.05 1500.",
       "XTrPar(2) must be greater than XTrPar(1)"},
  };
  for (const auto& c : transport_cases) {
    SCOPED_TRACE(c[1]);
    r = run_deck(with_line(kParam, 30, c[0]), kBicond);
    expect_rejected(r, "crparam.txt, line 30: ", c[1]);
    EXPECT_TRUE(has(r.results, "Stream GW upwelling segments"));
    EXPECT_FALSE(has(r.results, kTransportBlock));
  }

  // Initial-condition tables must increase too; the schedule need not.
  r = run_deck(kParam, with_line(kBicond, 10, "0. 0. 0."));
  expect_rejected(r, "crbicond.txt, line 10: ", "XInCT(2) must be greater than XInCT(1)");
  EXPECT_TRUE(has(r.results, kFlowInitBlock));
  r = run_deck(kParam, with_line(kBicond, 5, "-1. 0.5 5."));
  expect_rejected(r, "crbicond.txt, line 5: ", "XInCW(2) must be greater than XInCW(1)");
  EXPECT_FALSE(has(r.results, kFlowInitBlock));
}

TEST(ReadDeckRejects, ObservationPositionsOutsideTheReach) {
  RunResult r = run_deck(kParam, with_line(kBicond, 23, "0. 1000.5"));
  expect_rejected(r, "crbicond.txt, line 23: ",
                  "XObs(2) must lie between 0 and L = 1000 (found 1000.5)");
  EXPECT_TRUE(has(r.results, kTimesBlock));
  EXPECT_FALSE(has(r.results, kObsBlock));
  r = run_deck(kParam, with_line(kBicond, 23, "-0.001 5."));
  expect_rejected(r, "crbicond.txt, line 23: ", "XObs(1) must lie between 0 and L");
  // Both ends of the reach are accepted.
  r = run_deck(kParam, with_line(kBicond, 23, "1000. 0."));
  EXPECT_EQ(r.status, 0) << r.errors;
}

TEST(ReadDeckRejects, TooManyOutputTimesOnceTheEndIsAppended) {
  std::string list;
  for (int k = 1; k <= 100; ++k) list += std::to_string(k) + " ";
  std::string bicond = with_line(kBicond, 17, "100");
  // The schedule ends at 1200 s, beyond the 100 listed times.
  RunResult r = run_deck(kParam, with_line(bicond, 19, list));
  expect_rejected(r, "crbicond.txt, line 19: ", "NTout must be at most 99");
  EXPECT_TRUE(has(r.errors, "; --lift-capacities accepts more\n")) << r.errors;
  EXPECT_TRUE(has(r.results, kScheduleBlock));
  EXPECT_FALSE(has(r.results, kTimesBlock));
  // With the capacities lifted the end time becomes the 101st.
  r = run_deck_with("--lift-capacities", kParam, with_line(bicond, 19, list));
  EXPECT_EQ(r.status, 0) << r.errors;
  EXPECT_TRUE(has(r.results, "NTout= 101\n")) << r.results;
  // With the end time inside the list, 100 times are fine.
  list.clear();
  for (int k = 1; k <= 99; ++k) list += std::to_string(k) + " ";
  r = run_deck(kParam, with_line(bicond, 19, list + "5000"));
  EXPECT_EQ(r.status, 0) << r.errors;
}

TEST(ReadDeckRejects, MalformedAndMissingInput) {
  RunResult r = run_deck(with_line(kParam, 3, "1 0 11.5"), kBicond);
  expect_rejected(r, "crparam.txt, line 3: ", "expected an integer for Nfdn, found \"11.5\"");

  r = run_deck(with_line(kParam, 14, "0. slope"), kBicond);
  expect_rejected(r, "crparam.txt, line 14: ",
                  "expected a real number for Slope(1), found \"slope\"");

  r = run_deck(first_lines(kParam, 29), kBicond);
  expect_rejected(r, "crparam.txt, line 30: ", "found the end of the file");

  r = run_deck(kParam, first_lines(kBicond, 4));
  expect_rejected(r, "crbicond.txt, line 5: ", "XInCW(2)");
  EXPECT_TRUE(has(r.results, kTransportBlock));

  r = run_deck(kParam.c_str(), nullptr);
  expect_rejected(r, "crbicond.txt: cannot open", "crbicond.txt");
  EXPECT_TRUE(has(r.results, kTransportBlock));

  r = run_deck(nullptr, kBicond.c_str());
  expect_rejected(r, "crparam.txt: cannot open", "crparam.txt");
  EXPECT_EQ(r.results, "");
}

}  // namespace
}  // namespace quarno::test
