#!/usr/bin/python3
"""Writes a synthetic data bundle of N stocks whose prices follow a factor model, for benchmarks.

Daily returns: beta * market + sector + idiosyncratic, with a market factor and nine sector
factors; each stock's total daily volatility is drawn between 1 % and 4 %. Every stock carries
a GICS sector and a ShenWan industry (ten industries: Financials is split into banks and the
other financials), so that group limits of either kind can be asked for. The bundle also holds
the index 000300.XSHG, an equal-weighted mix of the stocks plus noise, as a benchmark.
Stocks are 600000.XSHG, 600001.XSHG, ... in order; 150 trading days end on 2014-01-03, so the
default window of 132 closes gives T = 131 returns. The seed is fixed: the same N writes the
same files.

With --diversified the market factor is weak (0.2 % a day), there are no sector factors and every
volatility lies between 1.5 % and 2.5 %: returns nearly independent, whose minimum-variance
portfolio (after shrinkage) holds every stock.

Usage: make_factor_bundle.py [--diversified] N OUTPUT_DIR
"""
import datetime as dt
import os
import sys

import numpy as np

SEED = 20261208
LAST_DAY = dt.date(2014, 1, 3)
TRADING_DAYS = 150
LISTED = "2005-01-04"
MARKET_VOL = 0.012
SECTOR_VOL = 0.007
LOWEST_VOL, HIGHEST_VOL = 0.01, 0.04
DIVERSIFIED_MARKET_VOL = 0.002
DIVERSIFIED_LOWEST_VOL, DIVERSIFIED_HIGHEST_VOL = 0.015, 0.025

# GICS sector, ShenWan industries (code, name) of the sector, and the sector's share of stocks.
SECTORS = [
    ("Energy", [("801020", "采掘")], 0.07),
    ("Materials", [("801030", "化工")], 0.10),
    ("Industrials", [("801890", "机械设备")], 0.12),
    ("Consumer Discretionary", [("801880", "汽车")], 0.10),
    ("Consumer Staples", [("801120", "食品饮料")], 0.08),
    ("Health Care", [("801150", "医药生物")], 0.09),
    ("Financials", [("801780", "银行"), ("801790", "非银金融")], 0.20),
    ("Information Technology", [("801080", "电子")], 0.16),
    ("Utilities", [("801160", "公用事业")], 0.08),
]
BENCHMARK = "000300.XSHG"


def trading_days():
    days, d = [], LAST_DAY
    while len(days) < TRADING_DAYS:
        if d.weekday() < 5:
            days.append(d)
        d -= dt.timedelta(days=1)
    return days[::-1]


def write_csv(path, header, rows):
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        f.write(",".join(header) + "\n")
        for row in rows:
            f.write(",".join(str(v) for v in row) + "\n")


def stock_id(i):
    return f"{600000 + i:06d}.XSHG"


def main():
    args = sys.argv[1:]
    diversified = "--diversified" in args
    if diversified:
        args.remove("--diversified")
    if len(args) != 2:
        sys.exit(__doc__)
    n, out = int(args[0]), args[1]
    market_vol, sector_vol = (DIVERSIFIED_MARKET_VOL, 0.0) if diversified else (MARKET_VOL, SECTOR_VOL)
    lowest_vol, highest_vol = ((DIVERSIFIED_LOWEST_VOL, DIVERSIFIED_HIGHEST_VOL) if diversified
                               else (LOWEST_VOL, HIGHEST_VOL))
    os.makedirs(os.path.join(out, "day_bars"), exist_ok=True)
    rng = np.random.default_rng(SEED + n)
    days = trading_days()
    t = len(days)
    market = rng.normal(0.0002, market_vol, t)
    sector_returns = rng.normal(0.0, sector_vol, (len(SECTORS), t))
    shares = np.array([s[2] for s in SECTORS])
    sector_of = rng.choice(len(SECTORS), size=n, p=shares / shares.sum())

    instrument_rows, shenwan_rows, all_returns = [], [], []
    for i in range(n):
        k = sector_of[i]
        gics, industries, _ = SECTORS[k]
        code, name = industries[rng.integers(len(industries))]
        beta = rng.uniform(0.6, 1.4)
        vol = rng.uniform(lowest_vol, highest_vol)
        common = beta**2 * market_vol**2 + sector_vol**2
        idio = np.sqrt(max(vol**2 - common, 0.25 * vol**2))
        r = beta * market + sector_returns[k] + rng.normal(0.0, idio, t)
        all_returns.append(r)
        prices = rng.uniform(3.0, 60.0) * np.cumprod(1.0 + r)
        oid = stock_id(i)
        instrument_rows.append((oid, f"股票{i}", "CS", LISTED, "", gics))
        shenwan_rows.append((oid, "2011-10-10", "", code, name))
        write_csv(os.path.join(out, "day_bars", oid + ".csv"), ["date", "close", "volume"],
                  [(days[j].isoformat(), f"{prices[j]:.4f}", 100000) for j in range(t)])

    index = 2300.0 * np.cumprod(1.0 + np.mean(all_returns, axis=0) + rng.normal(0.0, 0.002, t))
    instrument_rows.append((BENCHMARK, "沪深300", "INDX", LISTED, "", ""))
    write_csv(os.path.join(out, "day_bars", BENCHMARK + ".csv"), ["date", "close", "volume"],
              [(days[j].isoformat(), f"{index[j]:.4f}", 100000) for j in range(t)])
    write_csv(os.path.join(out, "instruments.csv"),
              ["order_book_id", "symbol", "type", "listed_date", "de_listed_date", "sector_name"], instrument_rows)
    write_csv(os.path.join(out, "trading_dates.csv"), ["date"], [(d.isoformat(),) for d in days])
    write_csv(os.path.join(out, "shenwan.csv"),
              ["order_book_id", "start_date", "end_date", "industry_code", "industry_name"], shenwan_rows)
    write_csv(os.path.join(out, "funds.csv"), ["order_book_id", "fund_type"], [])


if __name__ == "__main__":
    main()
