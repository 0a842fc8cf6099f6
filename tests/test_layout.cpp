// The text-layout writer: number fields, layout control (blanks, literals,
// line ends, groups, reversion, running out of values) and the program's own
// layouts. Every expected string below was worked out by hand from the layout
// rules; rounding cases were checked against the exact binary value.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "Results.hpp"
#include "output/TextLayout.hpp"
#include "output/FileLayouts.hpp"

namespace quarno {
namespace {

std::string render(const Layout& layout, Args values = {}) {
  std::string text;
  TextOut out;
  out.capture_to(&text);
  out.write(layout, values);
  return text;
}

std::string render(const char* layout, Args values = {}) { return render(Layout(layout), values); }

// The lines of a rendered text, which must end with a line end.
std::vector<std::string> lines_of(const std::string& text) {
  EXPECT_TRUE(text.empty() || text.back() == '\n') << "text does not end with a line end";
  return test::lines_of(text);
}

std::string I(long long v, int w) { std::string s; put_I(s, v, w); return s; }
std::string F(double v, int w, int d) { std::string s; put_F(s, v, w, d); return s; }
std::string E(double v, int w, int d) { std::string s; put_E(s, v, w, d); return s; }

const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(LayoutFields, Integer) {
  EXPECT_EQ(I(42, 4), "  42");
  EXPECT_EQ(I(0, 3), "  0");
  EXPECT_EQ(I(-42, 4), " -42");
  EXPECT_EQ(I(-999, 4), "-999");
  EXPECT_EQ(I(12345, 4), "****");
  EXPECT_EQ(I(-1000, 4), "****");  // the sign needs a column too
}

TEST(LayoutFields, Fixed) {
  EXPECT_EQ(F(0.5, 6, 3), " 0.500");
  EXPECT_EQ(F(0.5, 5, 3), "0.500");
  EXPECT_EQ(F(0.5, 4, 3), ".500");  // no room for the leading zero
  EXPECT_EQ(F(-0.5, 7, 3), " -0.500");
  EXPECT_EQ(F(-0.5, 5, 3), "-.500");
  EXPECT_EQ(F(-0.5, 4, 3), "****");
  EXPECT_EQ(F(123.456, 20, 2), std::string(14, ' ') + "123.46");
  EXPECT_EQ(F(-123.456, 8, 1), "  -123.5");
  EXPECT_EQ(F(3.0, 4, 0), "  3.");
  // Overflow, also when rounding carries into a new digit.
  EXPECT_EQ(F(1000.0, 7, 3), "*******");
  EXPECT_EQ(F(999.9994, 7, 3), "999.999");
  EXPECT_EQ(F(999.9996, 7, 3), "*******");
  EXPECT_EQ(F(1e300, 20, 2), std::string(20, '*'));
  // A negative value that rounds to zero keeps its sign.
  EXPECT_EQ(F(-0.0004, 7, 3), " -0.000");
  EXPECT_EQ(F(-0.0, 6, 3), "-0.000");
  // Rounding is that of the exact binary value: 0.125 and 0.375 are exact
  // ties (to even), 2.675 is stored as 2.67499999999999982...
  EXPECT_EQ(F(0.125, 5, 2), " 0.12");
  EXPECT_EQ(F(0.375, 5, 2), " 0.38");
  EXPECT_EQ(F(2.675, 5, 2), " 2.67");
}

TEST(LayoutFields, Exponent) {
  EXPECT_EQ(E(2.5, 12, 3), "   0.250E+01");
  EXPECT_EQ(E(0.0, 12, 3), "   0.000E+00");
  EXPECT_EQ(E(-12.34, 12, 4), " -0.1234E+02");
  EXPECT_EQ(E(0.00049, 10, 3), " 0.490E-03");
  EXPECT_EQ(E(3600.0, 14, 7), " 0.3600000E+04");
  EXPECT_EQ(E(1e-100, 12, 4), "  0.1000E-99");
  // No room for the leading zero, then no room at all.
  EXPECT_EQ(E(-3.801, 11, 4), "-0.3801E+01");
  EXPECT_EQ(E(-3.801, 10, 4), "-.3801E+01");
  EXPECT_EQ(E(2.5, 8, 3), ".250E+01");
  EXPECT_EQ(E(2.5, 7, 3), "*******");
  // A three-digit exponent takes the place of the letter E.
  EXPECT_EQ(E(1.5e100, 12, 4), "  0.1500+101");
  EXPECT_EQ(E(1e-120, 12, 4), "  0.1000-119");
  EXPECT_EQ(E(-1.5e100, 10, 4), "-.1500+101");
  // Rounding carries into the exponent: 0.99995 is stored a little above the
  // tie, 0.999995 a little below; 9.99995e99 is above and so reaches e101.
  EXPECT_EQ(E(0.99995, 12, 4), "  0.1000E+01");
  EXPECT_EQ(E(0.999995, 12, 5), " 0.99999E+00");
  EXPECT_EQ(E(9.99995e99, 12, 5), " 0.10000+101");
  EXPECT_EQ(E(-0.0, 12, 3), "  -0.000E+00");
}

TEST(LayoutFields, NonFinite) {
  EXPECT_EQ(E(kNaN, 12, 4), "         NaN");
  EXPECT_EQ(F(kNaN, 3, 1), "NaN");
  EXPECT_EQ(F(kNaN, 2, 0), "**");
  EXPECT_EQ(E(kInf, 12, 4), "    Infinity");
  EXPECT_EQ(E(-kInf, 12, 4), "   -Infinity");
  EXPECT_EQ(F(kInf, 8, 1), "Infinity");
  EXPECT_EQ(F(-kInf, 9, 1), "-Infinity");
  EXPECT_EQ(F(-kInf, 8, 1), "    -Inf");
  EXPECT_EQ(F(kInf, 7, 3), "    Inf");
  EXPECT_EQ(F(kInf, 3, 1), "Inf");
  EXPECT_EQ(F(-kInf, 4, 1), "-Inf");
  EXPECT_EQ(F(-kInf, 3, 1), "***");
  EXPECT_EQ(F(kInf, 2, 1), "**");
}

// What the writer prints, the reader of printed output reads back: to half a
// unit in the last digit, through the three-digit exponent form.
TEST(LayoutReadBack, PrintedNumbersReadBack) {
  for (double v : {2.5, -12.34, 0.00049, 3600.0, 1.5e100, -1.5e100, 1e-120, 2.8996e-186}) {
    for (int d : {3, 4, 7}) {
      const std::string field = E(v, 14, d);
      EXPECT_NEAR(test::read_number(field), v, test::half_unit(v, d)) << field;
    }
  }
  // The exponent without its letter reads as the same number written with it.
  EXPECT_EQ(test::read_number("0.28996-185"), 0.28996e-185);
  EXPECT_EQ(test::read_number(" -.1500+101"), -0.15e101);
  // A number is read up to its end, not into a field that follows directly.
  EXPECT_EQ(test::read_number(" 0.1234E+01-0.5678E+00"), 1.234);
  EXPECT_EQ(test::read_number("  12 m3"), 12.0);
}

TEST(LayoutReadBack, FieldsWithoutANumberReadAsNaN) {
  for (const std::string& field :
       {E(kNaN, 12, 4), E(kInf, 12, 4), E(-kInf, 12, 4), F(-kInf, 8, 1), E(2.5, 7, 3),
        std::string(), std::string("    "), std::string("ER_A=")})
    EXPECT_TRUE(std::isnan(test::read_number(field))) << '"' << field << '"';
}

TEST(LayoutReadBack, ValuesAfterALabelStayOnItsLine) {
  const std::vector<double> v = test::values_after(
      " ER_A=   0.100E+01\n ER_A=\n   0.500E+00\n ER_A=  -0.150+101 m3\n", "ER_A=");
  ASSERT_EQ(v.size(), 3u);
  EXPECT_EQ(v[0], 1.0);
  EXPECT_TRUE(std::isnan(v[1]));
  EXPECT_EQ(v[2], -1.5e100);
}

TEST(LayoutWrite, BlanksLiteralsAndLineEnds) {
  EXPECT_EQ(render(R"(3X,"ab  ")"), "   ab  \n");
  EXPECT_EQ(render(R"(/,"a")"), "\na\n");
  EXPECT_EQ(render(R"("a",/)"), "a\n\n");
  EXPECT_EQ(render("/"), "\n\n");
  EXPECT_EQ(render(""), "\n");
  EXPECT_EQ(render(R"(1X,/,"b")"), " \nb\n");  // blanks before a line end are kept
  EXPECT_EQ(render(R"("a",2X,"b",I3,"c",F5.1,A)", {7, 2.25, "xy"}), "a  b  7c  2.2xy\n");
  // A rows layout given no values still writes its one line.
  EXPECT_EQ(render("2(2X,E12.3)"), "\n");
  EXPECT_EQ(render(layouts::kProfileRows, {}), "\n");
  // Integers may go to real fields.
  EXPECT_EQ(render("E12.3", {25}), "   0.250E+02\n");
}

TEST(LayoutWrite, GroupsAndReversion) {
  EXPECT_EQ(render(R"(3("<",I1,">"))", {1, 2, 3}), "<1><2><3>\n");
  EXPECT_EQ(render(R"(2("[",2(I2),"]"))", {1, 2, 3, 4}), "[ 1 2][ 3 4]\n");
  // More values than fields: the rest goes on with the last top-level group,
  // which keeps its repeat count.
  EXPECT_EQ(render("I1,2(1X,I1)", {1, 2, 3, 4, 5, 6, 7}), "1 2 3\n 4 5\n 6 7\n");
  EXPECT_EQ(render(R"(I1,2(1X,I1),"|")", {1, 2, 3, 4, 5, 6, 7}), "1 2 3|\n 4 5|\n 6 7|\n");
  EXPECT_EQ(render(R"(I1,2(2("x"),I1),"|",2("y",I1))", {1, 2, 3, 4, 5, 6, 7}),
            "1xx2xx3|y4y5\ny6y7\n");
  // Without a group the layout starts over.
  EXPECT_EQ(render("2X,E12.5", {1.0, 2.0, -3.0}),
            "   0.10000E+01\n   0.20000E+01\n  -0.30000E+01\n");
}

TEST(LayoutWrite, RunningOutOfValues) {
  // Literals and line ends up to the next field are written, blanks that only
  // lead up to it are not.
  EXPECT_EQ(render("I1,2(1X,I1)", {1, 2, 3, 4, 5, 6}), "1 2 3\n 4 5\n 6\n");
  EXPECT_EQ(render(R"(I2,2X,"a",1X,I2)", {1}), " 1  a\n");
  EXPECT_EQ(render("I2,/,I2", {1}), " 1\n\n");
  EXPECT_EQ(render(R"(2("<",I1,">"))", {1}), "<1><\n");
  EXPECT_EQ(render("3(2X,E12.5)", {1.0}), "   0.10000E+01\n");
}

TEST(LayoutWrite, Errors) {
  EXPECT_THROW(Layout("Q5"), std::logic_error);
  EXPECT_THROW(Layout("2(I3"), std::logic_error);
  EXPECT_THROW(Layout("I3)"), std::logic_error);
  EXPECT_THROW(Layout("F8"), std::logic_error);
  EXPECT_THROW(Layout(R"("abc)"), std::logic_error);
  EXPECT_THROW(Layout("I3,"), std::logic_error);
  EXPECT_THROW(Layout("I3 I4"), std::logic_error);
  EXPECT_THROW(render(R"("no field",/)", {1}), std::logic_error);
  EXPECT_THROW(render("A", {1}), std::logic_error);
  EXPECT_THROW(render("I4", {1.5}), std::logic_error);
  EXPECT_THROW(render("E12.4", {"text"}), std::logic_error);
  // Values left over for a last group without a field cannot be written.
  EXPECT_THROW(render(R"(I2,2("x"))", {1, 2}), std::logic_error);
}

TEST(LayoutProgram, ProfileBlock) {
  const auto head = lines_of(render(layouts::kProfileHead, {3600.0}));
  ASSERT_EQ(head.size(), 5u);
  EXPECT_EQ(head[0], " ");
  EXPECT_EQ(head[1], "Time= 0.3600000E+04");
  EXPECT_EQ(head[2], "");
  EXPECT_EQ(head[3],
            "       X(m)           h(m)          u(m/s)"
            "       q(m2/s)       Q(m3/s)         C           Cs           Cst");
  EXPECT_EQ(head[4], "");

  // Eight values a cell, one cell a line of 8 x 14 = 112 characters.
  std::string cell;
  for (int k = 0; k < 8; ++k) cell += "    0.0000E+00";
  EXPECT_EQ(cell.size(), 112u);
  EXPECT_EQ(render(layouts::kProfileRows, {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0}), cell + "\n");
  const std::vector<double> two_cells(16, 0.0);
  EXPECT_EQ(render(layouts::kProfileRows, Args(16, [&](int k) { return Arg(two_cells[k]); })),
            cell + "\n" + cell + "\n");
}

TEST(LayoutProgram, ObservationRecords) {
  EXPECT_EQ(render(layouts::kProgressLine, {120.0}), "Time (sec)=" + std::string(14, ' ') + "120.00\n");
  EXPECT_EQ(render(layouts::kProgressLine, {123.456}),
            "Time (sec)=" + std::string(14, ' ') + "123.46\n");

  // One position: the time and five values, 12 + 5 x 14 = 82 characters.
  const auto one =
      lines_of(render(layouts::kObsRecord, {120.0, 0.45312, 0.0, 0.0, 0.0, 0.0}));
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].size(), 82u);
  EXPECT_EQ(one[0].substr(0, 26), " 0.12000E+03   0.45312E+00");

  // Six positions: 26 values on a 362-character line, then 5 on a line that
  // starts directly with the group.
  const auto six = lines_of(
      render(layouts::kObsRecord, Args(31, [](int k) { return Arg(static_cast<double>(k)); })));
  ASSERT_EQ(six.size(), 2u);
  EXPECT_EQ(six[0].size(), 362u);
  EXPECT_EQ(six[0].substr(0, 26), " 0.00000E+00   0.10000E+01");
  EXPECT_EQ(six[0].substr(348), "   0.25000E+02");
  EXPECT_EQ(six[1],
            "   0.26000E+02   0.27000E+02   0.28000E+02   0.29000E+02   0.30000E+02");
}

TEST(LayoutProgram, BalanceAndBanner) {
  EXPECT_EQ(render(layouts::kFroude, {0.5}), "\n     Froude number at X=0:  0.500\n\n");
  EXPECT_EQ(render(layouts::kFroude, {1000.0}), "\n     Froude number at X=0:*******\n\n");
  EXPECT_EQ(render(layouts::kWaterLine, {"label", -2.5}), " label  -0.250E+01\n");
  EXPECT_EQ(render(layouts::kResultsBanner),
            std::string(80, '*') + "\n\n          RESULTS\n          *******\n\n");
}

TEST(LayoutProgram, FileHeads) {
  const std::string title(80, 'T');
  const auto head = lines_of(render(layouts::kResultsHead, {title, 1, 0, 101, 2500.0, -0.5}));
  ASSERT_EQ(head.size(), 17u);
  EXPECT_EQ(head[0], "");
  EXPECT_EQ(head[1], std::string(59, '*'));
  EXPECT_EQ(head[2], "              PROGRAM   Quarno");
  EXPECT_EQ(head[3].substr(0, 2), "  ");
  EXPECT_EQ(head[3].substr(head[3].size() - 2), "  ");
  EXPECT_EQ(head[4], std::string(59, '*'));
  EXPECT_EQ(head[5], "");
  EXPECT_EQ(head[6], "  " + std::string(80, '-'));
  EXPECT_EQ(head[7], " <" + title + ">");
  EXPECT_EQ(head[8], head[6]);
  EXPECT_EQ(head[9], "");
  EXPECT_EQ(head[10], " Microbial Transport flag.(0-no, 1-yes)......NTr=   1");
  EXPECT_EQ(head[11], " Inverse problem flag .................. ...Ninv=   0");
  EXPECT_EQ(head[12], "");
  EXPECT_EQ(head[13], " Nodes number in finite difference grid.....Nfdn= 101");
  EXPECT_EQ(head[14], " Stream length (m)............................ L=   0.250E+04");
  EXPECT_EQ(head[15], " Bottom elevation at X=0 (m)................Btm0=  -0.500E+00");
  EXPECT_EQ(head[16], "");

  const auto obs = lines_of(render(layouts::kObsFileHead, {title}));
  ASSERT_EQ(obs.size(), 11u);
  EXPECT_EQ(std::vector<std::string>(obs.begin(), obs.begin() + 10),
            std::vector<std::string>(head.begin(), head.begin() + 10));
  EXPECT_EQ(obs[10].substr(0, 17), "   Time          ");

  EXPECT_EQ(render(layouts::kWidthHead, {3}),
            "\nStream width segments: NWidth=  3\n\n       X(m)      Width(m)\n\n");
  EXPECT_EQ(render(layouts::kWidthRows, {0.0, 5.0}), "     0.000E+00     0.500E+01\n");
  EXPECT_EQ(lines_of(render(layouts::kTrParHead, {2})).size(), 17u);
  EXPECT_EQ(lines_of(render(layouts::kTrParRows, Args(12, [](int) { return Arg(1.0); })))[0],
            [] { std::string s; for (int k = 0; k < 12; ++k) s += " 0.1000E+01"; return s; }());
  EXPECT_EQ(render(layouts::kOutTimesHead, {1}),
            "\n Number of output time intervals.......... NTout=   1\n     Time, sec\n");
}

}  // namespace
}  // namespace quarno
