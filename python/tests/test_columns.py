"""The package's tables of crparam.txt and its interpolated columns, and the
results reader's CSV columns, against the program's column registry, printed
by quarno_print_columns ($QUARNO_PRINT_COLUMNS, or beside the program)."""

from quarno import deck as quarno_deck
from quarno import results as quarno_results


def test_deck_tables_and_result_columns_are_the_registrys(registry):
    rows = registry
    param = [r[1] for r in rows if r[0] == "table" and r[3] == "crparam.txt"]
    cols = [r for r in rows if r[0] == "column" and r[1] in param]
    assert param and cols
    tables = tuple((t, tuple(c[2] for c in cols if c[1] == t)) for t in param)
    linear = tuple(c[2] for c in cols if c[5] == "linear")
    assert quarno_deck.TABLES == tables
    assert quarno_deck.LINEAR == linear
    csv_columns = {r[1]: tuple(r[2:]) for r in rows if r[0] == "csv"}
    assert quarno_results.OBS_COLUMNS == csv_columns["crObsNode.csv"]
    missing = [name for name in quarno_results.PROFILE_CELL_COLUMNS
               + quarno_results.PROFILE_NODE_COLUMNS if name not in csv_columns["crProfiles.csv"]]
    assert missing == [], "quarno.results reads columns that crProfiles.csv does not have"
