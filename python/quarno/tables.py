"""The tables of crparam.txt and the rules that map them onto the grid, as
the program states them in its contract (quarno.contract, generated from
``quarno --describe``): which columns each segment table holds (`TABLES`),
which are interpolated (`LINEAR`), which the flow reads (`FLOW_COLUMNS`),
which a fit may change (`FITTABLE`), the options that choose how the flow is
obtained (`FLOW_OPTIONS`) and the mapping tolerance in metres
(`X_TOLERANCE`)."""

from .contract import FITTABLE, FLOW_COLUMNS, FLOW_OPTIONS, LINEAR, TABLES, X_TOLERANCE

__all__ = ["FITTABLE", "FLOW_COLUMNS", "FLOW_OPTIONS", "LINEAR", "TABLES", "X_TOLERANCE"]
