"""The tables of crparam.txt and the rules that map them onto the grid:
which columns each segment table holds, which are interpolated, which the
flow reads, which a fit may change, the program's options that choose how
the flow is obtained, and the tolerance of the mapping."""

# Segment tables of crparam.txt in file order: count name, value columns after
# the position column. The program's column registry lists the same tables
# (a test holds the two equal).
TABLES = (
    ("NWidth", ("Width",)),
    ("NSlope", ("Slope",)),
    ("NRough", ("Rough",)),
    ("NGW", ("GWUpw", "CGW")),
    ("NTrPar", ("aL", "Re", "TauCR", "f", "Vs", "Alfa", "Kdw", "Kds", "TSS", "Hb", "Rb")),
)

# Columns interpolated between rows rather than held over a segment.
LINEAR = ("Width",)

# Columns the flow reads (width, slope, roughness, groundwater inflow); every
# other column enters only the transport, so a flow solved once serves every
# value of them.
FLOW_COLUMNS = ("Width", "Slope", "Rough", "GWUpw")

# Options of the program that choose how the flow is obtained: a configuration
# that passes one itself keeps it, and the fit records no flow of its own.
FLOW_OPTIONS = ("--steady-flow", "--flow-state", "--save-flow", "--replay-flow")

# Columns a fit may change: a reach value of an interpolated column would not
# mean what it says.
FITTABLE = {col: table for table, cols in TABLES for col in cols if col not in LINEAR}

# Nodes within this distance (m) beyond a row's position still belong to the
# segment that ends there; the program maps tables with the same tolerance.
X_TOLERANCE = 1e-4
