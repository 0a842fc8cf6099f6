#include "output/FileLayouts.hpp"

#include <string>

namespace quarno::layouts {

namespace {
// The first ten lines of both output files: banner, descriptive title, run title.
const std::string kFileHead =
    R"~(/,59("*"),/,"              PROGRAM   Quarno",/,)~"
    R"~("  ONE-DIMENSIONAL STREAM FLOW AND MICROBIAL TRANSPORT  ",/,)~"
    R"~(59("*"),/,/,2X,80("-"),/,1X,"<",A,">",/,2X,80("-"),/,/,)~";
}  // namespace

const Layout kResultsHead{kFileHead +
    R"~(1X,"Microbial Transport flag.(0-no, 1-yes)......NTr=",I4,/,)~"
    R"~(1X,"Inverse problem flag .................. ...Ninv=",I4,/,/,)~"
    R"~(1X,"Nodes number in finite difference grid.....Nfdn=",I4,/,)~"
    R"~(1X,"Stream length (m)............................ L=",E12.3,/,)~"
    R"~(1X,"Bottom elevation at X=0 (m)................Btm0=",E12.3,/)~"};

const Layout kWidthHead{R"~(/,"Stream width segments: NWidth=",I3,/,/,"       X(m)      Width(m)",/)~"};
const Layout kWidthRows{R"~(2(2X,E12.3))~"};
const Layout kSlopeHead{R"~(/,"Stream slope  segments: NSlope=",I3,/,/,"       X(m)         Slope",/)~"};
const Layout kSlopeRows{R"~(2(2X,E12.4))~"};
const Layout kRoughHead{R"~(/,"Stream rougness segments: NRough=",I3,/,/,"       X(m)         Roughness",/)~"};
const Layout kRoughRows{R"~(2(2X,E12.3))~"};
const Layout kGWHead{R"~(/,"Stream GW upwelling segments: NGW=",I3,/,/,"       X(m)     GWUpw(m2/sec)     CGW",/)~"};
const Layout kGWRows{R"~(3(2X,E12.5))~"};

const Layout kTrParHead{
    R"~(/,"Stream transport parameters segments: NTrPar=",I3,/,"TRANSPORT PARAMETERS",/,)~"
    R"~(1X,"Dispersivity  (m)                       aL",/,)~"
    R"~(1X,"Microbial entrainment rate (kg/(m2 sec) Re ",/,)~"
    R"~(1X,"Critical shear stress (N/m2)            TauCR",/,)~"
    R"~(1X,"Fraction of surface transient storage(-)f",/,)~"
    R"~(1X,"Settling velocity (m/s)                 Vs",/,)~"
    R"~(1X,"Stream storage exchange coefficient(1/s)Alfa",/,)~"
    R"~(1X,"1st order decay rate (1/s)              Kdw",/,)~"
    R"~(1X,"Die-off rate in sediments (1/s)         Kds",/,)~"
    R"~(1X,"Total suspended solids (kg/m3)          TSS",/,)~"
    R"~(1X,"Mixing layer thickness  (m)             Hb",/,)~"
    R"~(1X,"Bulk density of sediments (kg/m3)       Rb",/,/,)~"
    R"~("       X(m)    aL        Res        TauCr         f         Vs",)~"
    R"~("      Alfa        Kdw        Kds         TSS         Hb",)~"
    R"~("        Rb",/)~"};
const Layout kTrParRows{R"~(12(1X,E10.4))~"};

const Layout kInitFlowHead{
    R"~(/,"Stream initial conditions (flow): NInCW=",I4,/,/,"       X, m         h, m         Q, m3/sec",/)~"};
const Layout kInitTranspHead{
    R"~(/,"Stream initial conditions (transport): NInCT=",I4,/,/,"       X, m         C           Cb ",/)~"};
const Layout kInitRows{R"~(3(2X,E12.5))~"};

const Layout kScheduleHead{
    R"~(/,"Stream boundary conditions:  NTInt=",I4,/,/,)~"
    R"~(1X,"BC type for SV equation at X=0 (0-wall,1-flux)... NB0=",I3,/,)~"
    R"~(1X,"BC type for SV equation at X=L (0-Wall,1-Transm)..NBL=",I3,/,/,)~"
    R"~("     T, sec       h(X=0,m)      Q(X=L,m3/s)      Conc-X=0",/)~"};
const Layout kScheduleRows{R"~(4(2X,E12.5))~"};

const Layout kOutTimesHead{
    R"~(/,1X,"Number of output time intervals.......... NTout=",I4,/,"     Time, sec")~"};
const Layout kOutTimesRows{R"~(2X,E12.5)~"};

const Layout kObsHead{
    R"~(/,1X,"Number of obsrevation nodes ........... ...Nobs=",I4,/,"  NXobs ",/,1X,"Coordinates X(m):")~"};
const Layout kObsRows{R"~(2X,E12.4)~"};

const Layout kForcingHead{R"~(/,"Sources along the reach (",A,"): NSource=",I4,/)~"};
const Layout kForcingColumns{
    R"~("  Name",38X,"Kind   ","        X(m)","      Xto(m)"," Points","  Qmin(m3/s)",)~"
    R"~("  Qmax(m3/s)","  Of  ","     Minimum","     Maximum","    Strength","  Series file",/)~"};
const Layout kForcingRow{R"~(2X,A,2X,A,E12.4,A,I7,2(E12.4),2X,A,3(E12.4),A)~"};
const Layout kEnvironmentLine{
    R"~("Environment: NTimes=",I6,"  T(C) min, max:",A,"  I0(W/m2) min, max:",A,A)~"};
const Layout kRatesHead{
    R"~(/,"Die-off rate segments: NRates=",I4,/,/,)~"
    R"~("        X(m)     theta_w     theta_b light_alpha  extinction",/)~"};
const Layout kRatesRow{R"~(5(E12.4))~"};

const Layout kResultsBanner{R"~(80("*"),/,/,10X,"RESULTS",/,10X,7("*"),/)~"};

const Layout kObsFileHead{kFileHead +
    R"~(3X,"Time          h(m)          u(m/s)        Q(m3/s)","         C             Cs",)~"
    R"~("         h(m)          u(m/s)        Q(m3/s)","         C             Cs")~"};

const Layout kProfileHead{
    R"~(1X,/,"Time=",E14.7,/,/,"       X(m)           h(m)          u(m/s)",)~"
    R"~("       q(m2/s)       Q(m3/s)         C           Cs           ","Cst",/)~"};
const Layout kProfileRows{R"~(8(2X,E12.4))~"};

const Layout kProgressLine{R"~("Time (sec)=",F20.2)~"};
const Layout kObsRecord{R"~(E12.5,25(1X,E13.5))~"};

const Layout kFroude{R"~(/,5X,"Froude number at X=0:",F7.3,/)~"};
const Layout kWaterHead{R"~(/,5X,"WATER BALANCE")~"};
const Layout kWaterLine{R"~(1X,A,E12.3)~"};
const Layout kStreamSoluteHead{R"~(/,5X,"SOLUTE BALANCE: STREAM WATER")~"};
const Layout kBedSoluteHead{R"~(/,5X,"SOLUTE BALANCE: BED SEDIMENT")~"};
const Layout kSoluteLine{R"~(1X,A,E12.3)~"};
const Layout kBlankLine{""};

const Layout kMessage{R"~(A)~"};

}  // namespace quarno::layouts
