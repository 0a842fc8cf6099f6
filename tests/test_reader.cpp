#include <gtest/gtest.h>

#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

#include "input/Reader.hpp"

namespace quarno {
namespace {

// Runs one value step of `n` integer targets named N(1)..N(n), all preset to
// `preset`, and returns what they hold afterwards.
std::vector<int> ints(Reader& r, int n, int preset = -1) {
  std::vector<int> v(static_cast<std::size_t>(n), preset);
  std::vector<Slot> slots;
  for (int i = 0; i < n; ++i) slots.push_back(Slot::integer(v[static_cast<std::size_t>(i)], "N", i + 1));
  r.value_step(slots);
  return v;
}

std::vector<double> reals(Reader& r, int n, double preset = -1.0) {
  std::vector<double> v(static_cast<std::size_t>(n), preset);
  std::vector<Slot> slots;
  for (int i = 0; i < n; ++i) slots.push_back(Slot::real(v[static_cast<std::size_t>(i)], "X", i + 1));
  r.value_step(slots);
  return v;
}

// The message of the InputError thrown by `step`; the test fails if none is.
template <class Step>
std::string error_of(Step&& step) {
  try {
    step();
  } catch (const InputError& e) {
    return e.what();
  }
  ADD_FAILURE() << "no InputError was thrown";
  return {};
}

void expect_mentions(const std::string& message, std::initializer_list<std::string> parts) {
  for (const std::string& p : parts)
    EXPECT_NE(message.find(p), std::string::npos) << "'" << p << "' missing from: " << message;
}

using Ints = std::vector<int>;
using Reals = std::vector<double>;

TEST(ReaderSteps, TextStepIsEightyColumns) {
  const std::string long_line = std::string(79, 'a') + "bc" + std::string(20, 'z');
  Reader r = Reader::from_text("crparam.txt", "River test\n" + long_line + "\n\n");
  EXPECT_EQ(r.text_step("the title"), "River test" + std::string(70, ' '));
  EXPECT_EQ(r.text_step("the title"), std::string(79, 'a') + "b");
  EXPECT_EQ(r.text_step("the title"), std::string(80, ' '));
  EXPECT_EQ(r.last_line(), 3);
}

TEST(ReaderSteps, SkipAndZeroTargetStepsConsumeExactlyOneLine) {
  Reader r = Reader::from_text("f", "1 2 3\n\nabc , / 2*\n9 8\n\n7\n5\n");
  r.skip_step();  // a line of values
  r.skip_step();  // a blank line
  r.skip_step();  // a line that would not read as values
  EXPECT_EQ(r.last_line(), 3);
  r.value_step({});  // takes no values from "9 8"
  EXPECT_EQ(r.last_line(), 4);
  r.value_step({});  // a blank line is consumed, not passed over
  EXPECT_EQ(r.last_line(), 5);
  EXPECT_EQ(ints(r, 1), Ints{7});
  EXPECT_EQ(ints(r, 1), Ints{5});
}

TEST(ReaderSeparators, BlanksTabsCommasAndLineEnds) {
  Reader r = Reader::from_text("f", "1 2\t3,4 , 5 ,6\t,\t7\n  8\n");
  EXPECT_EQ(ints(r, 8), (Ints{1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(r.line_of(6), 1);
  EXPECT_EQ(r.line_of(7), 2);
  EXPECT_EQ(r.last_line(), 2);
}

TEST(ReaderSeparators, StepSpreadsOverLinesAndPassesBlankLines) {
  // A table of three rows written two ways: one row a line, then all on one line.
  Reader r = Reader::from_text("f", "\n0. 2.5\n \t\n100. 3\n\n200 4.\n0 1 2 3 4 5\n");
  EXPECT_EQ(reals(r, 6), (Reals{0.0, 2.5, 100.0, 3.0, 200.0, 4.0}));
  EXPECT_EQ(r.line_of(0), 2);
  EXPECT_EQ(r.line_of(2), 4);
  EXPECT_EQ(r.line_of(5), 6);
  EXPECT_EQ(r.last_line(), 6);
  EXPECT_EQ(reals(r, 6), (Reals{0, 1, 2, 3, 4, 5}));
  EXPECT_EQ(r.line_of(5), 7);
}

TEST(ReaderSeparators, RestOfLineAfterLastValueIsDiscarded) {
  Reader r = Reader::from_text("f", "0 1 3 ! NTr Ninv Nfdn\n3   initial flow rows\n5 6 7\n8\n");
  EXPECT_EQ(ints(r, 3), (Ints{0, 1, 3}));
  EXPECT_EQ(ints(r, 1), Ints{3});
  EXPECT_EQ(ints(r, 1), Ints{5});  // 6 and 7 are discarded with the line
  EXPECT_EQ(ints(r, 1), Ints{8});
}

TEST(ReaderNumbers, IntegerAndRealSyntax) {
  Reader r = Reader::from_text(
      "f", "5 5. 0.25 .5 1e-3 2.5D+02 3.228971d+03 +7 -0.0001953 1E2 -3.e-1\n+7 -12 0 "
           "2147483647 -2147483648\n");
  EXPECT_EQ(reals(r, 11),
            (Reals{5.0, 5.0, 0.25, 0.5, 1e-3, 250.0, 3228.971, 7.0, -0.0001953, 100.0, -0.3}));
  EXPECT_EQ(ints(r, 5), (Ints{7, -12, 0, 2147483647, -2147483647 - 1}));
}

TEST(ReaderRepeat, RepeatFactorAndEmptyRepeat) {
  Reader r = Reader::from_text(
      "f", "2*1 10\n3*0.,1356.675\n2* 5\n4*2 99\n6\n1,2*,4\n");
  EXPECT_EQ(ints(r, 3), (Ints{1, 1, 10}));
  EXPECT_EQ(reals(r, 4), (Reals{0.0, 0.0, 0.0, 1356.675}));
  EXPECT_EQ(ints(r, 3, 9), (Ints{9, 9, 5}));  // r* gives r empty values
  EXPECT_EQ(ints(r, 3), (Ints{2, 2, 2}));     // a repeat longer than the step stops at its end
  EXPECT_EQ(ints(r, 1), Ints{6});
  EXPECT_EQ(ints(r, 4, 9), (Ints{1, 9, 9, 4}));
}

TEST(ReaderEmptyValues, EmptyValuesKeepTheirTargets) {
  Reader r = Reader::from_text("f", "1,,3\n,5\n1 , , 3\n1\n,3\n1,\n,3\n");
  EXPECT_EQ(ints(r, 3, 9), (Ints{1, 9, 3}));
  EXPECT_EQ(ints(r, 2, 9), (Ints{9, 5}));  // a leading comma
  EXPECT_EQ(ints(r, 3, 9), (Ints{1, 9, 3}));
  // A line end acts as a blank: next to one comma it is a single separator,
  // between two commas there is an empty value.
  EXPECT_EQ(ints(r, 2, 9), (Ints{1, 3}));
  EXPECT_EQ(r.line_of(1), 5);
  EXPECT_EQ(ints(r, 2, 9), (Ints{1, 9}));
  EXPECT_EQ(r.line_of(1), 7);
}

TEST(ReaderEmptyValues, SlashEndsTheStep) {
  Reader r = Reader::from_text("f", "1 2 / 99 98\n4\n\n5\n6/\n/\n7\n");
  EXPECT_EQ(ints(r, 4, 9), (Ints{1, 2, 9, 9}));
  EXPECT_EQ(r.line_of(2), 1);  // an unchanged target reports the line the step ended on
  EXPECT_EQ(r.last_line(), 1);
  EXPECT_EQ(ints(r, 1), Ints{4});  // the next step starts on the next line
  EXPECT_EQ(ints(r, 3, 9), (Ints{5, 6, 9}));
  EXPECT_EQ(r.line_of(0), 4);
  EXPECT_EQ(r.line_of(1), 5);
  EXPECT_EQ(r.line_of(2), 5);
  EXPECT_EQ(ints(r, 2, 9), (Ints{9, 9}));  // a slash alone leaves everything unchanged
  EXPECT_EQ(ints(r, 1), Ints{7});
}

TEST(ReaderLines, CrlfLineEnds) {
  Reader r = Reader::from_text("f", "Title\r\nheading\r\n1,2\r\n3.5\r\n\r\n4\r\n");
  EXPECT_EQ(r.text_step("the title"), "Title" + std::string(75, ' '));
  r.skip_step();
  EXPECT_EQ(ints(r, 2), (Ints{1, 2}));
  EXPECT_EQ(reals(r, 1), Reals{3.5});
  EXPECT_EQ(ints(r, 1), Ints{4});
  EXPECT_EQ(r.line_of(0), 6);
}

TEST(ReaderLines, ReadsAFileFromDisk) {
  const std::string path = ::testing::TempDir() + "reader_test_file.txt";
  std::FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fputs("Title\r\nheading\r\n3 ! rows\r\n2*1.5 2.5\r\n", f);
  std::fclose(f);
  Reader r("crparam.txt", path);
  EXPECT_EQ(r.name(), "crparam.txt");
  EXPECT_EQ(r.text_step("the title").substr(0, 6), "Title ");
  r.skip_step();
  EXPECT_EQ(ints(r, 1), Ints{3});
  EXPECT_EQ(reals(r, 3), (Reals{1.5, 1.5, 2.5}));
  std::remove(path.c_str());
}

TEST(ReaderErrors, EndOfFile) {
  {  // in the middle of a value step: one line past the last
    Reader r = Reader::from_text("crparam.txt", "2\n0. 10.\n\n100.\n\n");
    ints(r, 1);
    double x[2]{}, w[2]{};
    const std::string m = error_of([&] {
      r.value_step({Slot::real(x[0], "XWidth", 1), Slot::real(w[0], "Width", 1),
                    Slot::real(x[1], "XWidth", 2), Slot::real(w[1], "Width", 2)});
    });
    EXPECT_EQ(m.rfind("crparam.txt, line 6: ", 0), 0u) << m;
    expect_mentions(m, {"Width(2)", "end of the file"});
  }
  {  // at the start of a value step, a skip step and a text step
    Reader r = Reader::from_text("crbicond.txt", "1\n");
    ints(r, 1);
    int n = 0;
    expect_mentions(error_of([&] { r.value_step({Slot::integer(n, "NTInt")}); }),
                    {"crbicond.txt, line 2:", "NTInt", "end of the file"});
    expect_mentions(error_of([&] { r.value_step({}); }), {"crbicond.txt, line 2:", "end of the file"});
    expect_mentions(error_of([&] { r.skip_step("a heading line"); }),
                    {"crbicond.txt, line 2:", "a heading line", "end of the file"});
    expect_mentions(error_of([&] { r.text_step("the title"); }),
                    {"crbicond.txt, line 2:", "the title", "end of the file"});
  }
  {  // an empty file
    Reader r = Reader::from_text("crparam.txt", "");
    expect_mentions(error_of([&] { r.text_step("the title"); }), {"crparam.txt, line 1:"});
  }
}

// Reads `text` after one heading line into a single target of the given kind.
std::string bad_value(const std::string& text, bool integer, const char* name = "Nfdn",
                      int index = 0) {
  Reader r = Reader::from_text("crparam.txt", "heading\n" + text + "\n");
  r.skip_step();
  int i = 0;
  double d = 0;
  return error_of([&] {
    r.value_step({integer ? Slot::integer(i, name, index) : Slot::real(d, name, index)});
  });
}

TEST(ReaderErrors, MalformedValues) {
  for (const char* t : {"abc", "1.2.3", "12abc", "1e", "-", ".", "1e+", "0x10", "inf"}) {
    SCOPED_TRACE(t);
    expect_mentions(bad_value(t, false, "Width", 2),
                    {"crparam.txt, line 2:", "Width(2)", "\"" + std::string(t) + "\""});
  }
  // A real where an integer is expected.
  for (const char* t : {"5.", "2.5", "1e3", "3D0"}) {
    SCOPED_TRACE(t);
    expect_mentions(bad_value(t, true), {"crparam.txt, line 2:", "integer", "Nfdn", "\"" + std::string(t) + "\""});
  }
  // Out of range.
  for (const char* t : {"2147483648", "-2147483649", "99999999999999999999"}) {
    SCOPED_TRACE(t);
    expect_mentions(bad_value(t, true), {"line 2:", "Nfdn", t, "out of range"});
  }
  expect_mentions(bad_value("1e999", false, "L"), {"line 2:", "L", "1e999", "out of range"});
  expect_mentions(bad_value("-1D400", false, "L"), {"line 2:", "-1D400", "out of range"});
}

TEST(ReaderErrors, BadRepeatsAndLineOfTheFault) {
  for (const char* t : {"0*5", "x*5", "-2*5", "*5", "1.5*2"}) {
    SCOPED_TRACE(t);
    expect_mentions(bad_value(t, true), {"crparam.txt, line 2:", "Nfdn", "\"" + std::string(t) + "\""});
  }
  expect_mentions(bad_value("2*abc", false, "Slope", 1), {"line 2:", "Slope(1)", "\"abc\""});
  // A fault deep in a step spread over lines names its own line and target.
  Reader r = Reader::from_text("crparam.txt", "1 2\n\n3 4\ninitial flow rows\n");
  int v[6]{};
  std::vector<Slot> slots;
  for (int i = 0; i < 6; ++i) slots.push_back(Slot::integer(v[i], "NObs", i + 1));
  expect_mentions(error_of([&] { r.value_step(slots); }),
                  {"crparam.txt, line 4:", "NObs(5)", "\"initial\""});
}

TEST(ReaderErrors, FileThatCannotBeOpened) {
  Reader r("nonexistent-name", "/nonexistent/path");
  const std::string m = error_of([&] { r.text_step("the title"); });
  EXPECT_EQ(m.rfind("nonexistent-name", 0), 0u) << m;
  expect_mentions(m, {"cannot open"});  // not mistaken for an empty file
  EXPECT_EQ(m.find("end of the file"), std::string::npos) << m;
  expect_mentions(error_of([&] { r.skip_step(); }), {"nonexistent-name"});
  expect_mentions(error_of([&] { ints(r, 1); }), {"nonexistent-name"});
}

}  // namespace
}  // namespace quarno
