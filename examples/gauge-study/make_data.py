"""The study's data (python3 make_data.py [RUN_FOLDER]): a dated 15-minute gauge record (discharge and the inlet's
E. coli) and the lab's E. coli at six sites, in CFU/100 mL, made from a run
of the reach with known parameters and log-normal noise."""

import math
import sys
import tempfile
from pathlib import Path

import numpy as np
import pandas as pd

import quarno

HERE = Path(__file__).resolve().parent
TRUTH = {"Kdw": 2.3e-5, "Re": 4.0e-4}    # 2 per day; entrainment kg/(m2 s)
SITES = {"S1": 500.0, "S2": 1500.0, "S3": 2500.0, "S4": 3500.0, "S5": 4500.0, "S6": 5500.0}


def gauge():
    """Two days of 15-minute readings in local summer time (+02:00): base
    flow 0.6 m3/s, a storm in the evening of the first day peaking at
    4.5 m3/s, E. coli at the upstream sampler rising with it."""
    t = pd.date_range("2024-06-03T00:00+02:00", "2024-06-05T00:00+02:00", freq="15min")
    hours = (t - t[0]) / pd.Timedelta(hours=1)
    storm = np.where(hours < 18.0, 0.0,
                     ((hours - 18.0) / 3.0) ** 2 * np.exp(2.0 * (1.0 - (hours - 18.0) / 3.0)))
    q = 0.6 + 3.9 * storm
    ecoli = 150.0 + 2850.0 * storm
    return pd.DataFrame({"datetime": t.strftime("%Y-%m-%dT%H:%M%z").str.replace(
        r"(\d\d)(\d\d)$", r"\1:\2", regex=True),
        "discharge_m3s": np.round(q, 3), "ecoli_cfu_100ml": np.round(ecoli, 0)})


def study_deck(record, **transport):
    deck = quarno.Deck.new(length_m=6000.0, nodes=61, width_m=6.0, slope=0.0015,
                           manning_n=0.035, concentration_unit="CFU/100 mL",
                           transport={"aL": 5.0, "TauCR": 1.2, "Vs": 1.0e-5, "Hb": 0.02,
                                      "Rb": 1500.0, **transport},
                           concentration=150.0, bed_concentration=1000.0)
    times = pd.to_datetime(record["datetime"])
    deck.set_schedule(times, record["discharge_m3s"], concentration=record["ecoli_cfu_100ml"])
    deck.set_sites(list(SITES.values()))
    return deck


if __name__ == "__main__":
    record = gauge()
    record.to_csv(HERE / "gauge.csv", index=False)
    scratch = tempfile.TemporaryDirectory()
    run = quarno.run(study_deck(record, **TRUTH), ["--record-interval", "300"],
                     folder=sys.argv[1] if len(sys.argv) > 1 else scratch.name, progress=False)
    obs = run.observations
    rng = np.random.default_rng(2024)
    when = pd.date_range("2024-06-03T08:00+02:00", "2024-06-04T20:00+02:00", freq="3h")
    rows = []
    for name, x in SITES.items():
        at = obs[obs["x_m"] == x]
        for t in when:
            s = (t - run.start_date).total_seconds()
            c = float(np.interp(s, at["time_s"], at["C"]))
            rows.append({"site": name, "distance_m": x,
                         "sampled": t.strftime("%Y-%m-%d %H:%M+02:00"),
                         "ecoli_cfu_100ml": round(c * math.exp(0.25 * rng.standard_normal()))})
    pd.DataFrame(rows).to_csv(HERE / "lab.csv", index=False)
