// Every layout the program writes, each defined once (FileLayouts.cpp).
#pragma once

#include "output/TextLayout.hpp"

namespace quarno::layouts {

// Head of both output files and the parameter echo (crparam.txt).
extern const Layout kResultsHead;      // block A, values Title, NTr, Ninv, Nfdn, L, Btm0
extern const Layout kWidthHead;        // block B heading, value NWidth
extern const Layout kWidthRows;        //   rows X, Width
extern const Layout kSlopeHead;        // block C
extern const Layout kSlopeRows;
extern const Layout kRoughHead;        // block D
extern const Layout kRoughRows;
extern const Layout kGWHead;           // block E
extern const Layout kGWRows;
extern const Layout kTrParHead;        // block F
extern const Layout kTrParRows;

// Echo of crbicond.txt.
extern const Layout kInitFlowHead;     // block G
extern const Layout kInitTranspHead;   // block H
extern const Layout kInitRows;         //   rows of G and H
extern const Layout kScheduleHead;     // block I, values NTInt, NB0, NBL
extern const Layout kScheduleRows;
extern const Layout kOutTimesHead;     // block J
extern const Layout kOutTimesRows;
extern const Layout kObsHead;          // block K
extern const Layout kObsRows;
// Echo of the forcing file, before the RESULTS banner.
extern const Layout kForcingHead;      // values: file, number of sources
extern const Layout kForcingColumns;   // column headings
extern const Layout kForcingRow;       // name, kind, x, x_to, points, Q range, of, C range,
                                       // strength, series file
extern const Layout kEnvironmentLine;  // number of times, T range, I0 range, series file
extern const Layout kRatesHead;        // number of rows
extern const Layout kRatesRow;         // x, theta_w, theta_b, light_alpha, extinction
extern const Layout kResultsBanner;    // block L
extern const Layout kObsFileHead;      // block M, the head of crObsNode.txt; value Title

// Profile blocks.
extern const Layout kProfileHead;      // value t
extern const Layout kProfileRows;      // 8 values per cell

// Observation records.
extern const Layout kProgressLine;     // console, value t
extern const Layout kObsRecord;        // t, then 5 values per position

// Balance report.
extern const Layout kFroude;
extern const Layout kWaterHead;
extern const Layout kWaterLine;        // label (30 characters), value
extern const Layout kStreamSoluteHead;
extern const Layout kBedSoluteHead;
extern const Layout kSoluteLine;       // label (38 characters), value
extern const Layout kBlankLine;

// Console messages.
extern const Layout kMessage;          // value: the message text

}  // namespace quarno::layouts
