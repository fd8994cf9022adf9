#!/usr/bin/env python3
"""Usage: scripts/plot_study.py <study.db> <figure.png> [parameter] [measure]

Draws one measure at the last step of every run of a study against the parameter the study
varied: the mean over the replications as a line, and a band from the lowest to the highest
replication. Defaults: Schelling's fraction happy against min_to_be_happy. Reads the study's
SQLite file with pandas; draws with matplotlib (Debian: python3-pandas, python3-matplotlib).
"""
import sqlite3
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import pandas as pd  # noqa: E402


def main(argv):
    if len(argv) not in (3, 4, 5):
        print(__doc__.strip().splitlines()[0], file=sys.stderr)
        return 1
    db, png = argv[1], argv[2]
    parameter = argv[3] if len(argv) > 3 else "min_to_be_happy"
    measure = argv[4] if len(argv) > 4 else "fraction_happy"
    try:
        with sqlite3.connect(f"file:{db}?mode=ro", uri=True) as con:
            runs = pd.read_sql_query("SELECT * FROM runs WHERE status = 'done'", con)
            last = pd.read_sql_query(
                "SELECT s.* FROM series s JOIN (SELECT run, max(step) AS step FROM series GROUP BY run) l "
                "USING (run, step)", con)
            design = pd.read_sql_query("SELECT model, design FROM study", con)
    except Exception as error:  # a missing file, or one that is no study
        print(f"{argv[0]}: cannot read the study {db}: {error}", file=sys.stderr)
        return 1
    for name, table in ((parameter, runs), (measure, last)):
        if name not in table.columns:
            print(f"{argv[0]}: the study has no column '{name}'", file=sys.stderr)
            return 1
    ends = runs[["run", parameter]].merge(last[["run", measure]], on="run")
    by = ends.groupby(parameter)[measure].agg(["mean", "min", "max", "count"]).reset_index()

    fig, ax = plt.subplots(figsize=(8, 5))
    ax.fill_between(by[parameter], by["min"], by["max"], alpha=0.3, label="lowest to highest replication")
    ax.plot(by[parameter], by["mean"], marker="o", label="mean")
    ax.set_xlabel(parameter)
    ax.set_ylabel(f"{measure} at the last step")
    model = design["model"].iloc[0] if len(design) else "study"
    ax.set_title(f"{model}: {measure} against {parameter}, {int(by['count'].max())} replications each")
    ax.grid(alpha=0.3)
    ax.legend()
    fig.tight_layout()
    fig.savefig(png, dpi=100)
    print(f"{png}: {len(ends)} runs, {len(by)} values of {parameter}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
