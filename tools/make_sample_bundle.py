#!/usr/bin/env python3
"""Writes the sample data bundle shipped in data/sample_bundle.

The instrument list, listing dates, GICS sectors and ShenWan industries are those of
the real instruments; every price is SYNTHETIC. Closes follow a one-factor-per-sector
model: a market factor, a sector factor and an idiosyncratic term with plausible daily
volatilities, drawn from a fixed seed, so that running this script again writes the
same files byte for byte.

A few extra instruments exist only to exercise each way an instrument is dropped from
an optimisation: delisted, suspended too often, listed too recently, a close of 0.

Usage: make_sample_bundle.py [OUTPUT_DIR]   (default: data/sample_bundle beside tools/)
"""
import datetime as dt
import os
import sys

import numpy as np

SEED = 20140104
FIRST_DAY = dt.date(2012, 1, 4)
LAST_DAY = dt.date(2014, 1, 3)

# Exchange holidays of the period (weekdays on which the exchange was closed).
HOLIDAYS = [
    ("2012-01-01", "2012-01-03"), ("2012-01-22", "2012-01-28"), ("2012-04-02", "2012-04-04"),
    ("2012-04-29", "2012-05-01"), ("2012-06-22", "2012-06-22"), ("2012-09-30", "2012-10-07"),
    ("2013-01-01", "2013-01-03"), ("2013-02-09", "2013-02-17"), ("2013-04-04", "2013-04-06"),
    ("2013-04-29", "2013-05-01"), ("2013-06-10", "2013-06-12"), ("2013-09-19", "2013-09-21"),
    ("2013-10-01", "2013-10-07"), ("2014-01-01", "2014-01-01"),
]

# order_book_id, symbol, type, listed_date, de_listed_date, GICS sector, ShenWan (code, name),
# start price, daily idiosyncratic volatility, model sector
INSTRUMENTS = [
    ("601857.XSHG", "中国石油", "CS", "2007-11-05", "", "Energy", ("801020", "采掘"), 9.0, 0.010, "energy"),
    ("601398.XSHG", "工商银行", "CS", "2006-10-27", "", "Financials", ("801780", "银行"), 4.2, 0.008, "bank"),
    ("601939.XSHG", "建设银行", "CS", "2007-09-25", "", "Financials", ("801780", "银行"), 4.6, 0.009, "bank"),
    ("601288.XSHG", "农业银行", "CS", "2010-07-15", "", "Financials", ("801780", "银行"), 2.7, 0.008, "bank"),
    ("601988.XSHG", "中国银行", "CS", "2006-07-05", "", "Financials", ("801780", "银行"), 2.9, 0.008, "bank"),
    ("600028.XSHG", "中国石化", "CS", "2001-08-08", "", "Energy", ("801030", "化工"), 6.8, 0.011, "energy"),
    ("600519.XSHG", "贵州茅台", "CS", "2001-08-27", "", "Consumer Staples", ("801120", "食品饮料"), 190.0, 0.018, "staples"),
    ("601633.XSHG", "长城汽车", "CS", "2011-09-28", "", "Consumer Discretionary", ("801880", "汽车"), 13.0, 0.022, "auto"),
    ("601818.XSHG", "光大银行", "CS", "2010-08-18", "", "Financials", ("801780", "银行"), 3.0, 0.011, "bank"),
    ("600018.XSHG", "上港集团", "CS", "2006-10-26", "", "Industrials", ("801170", "交通运输"), 3.3, 0.012, "transport"),
    ("601006.XSHG", "大秦铁路", "CS", "2006-08-01", "", "Industrials", ("801170", "交通运输"), 6.5, 0.011, "transport"),
    ("600036.XSHG", "招商银行", "CS", "2002-04-09", "", "Financials", ("801780", "银行"), 11.0, 0.012, "bank"),
    ("601318.XSHG", "中国平安", "CS", "2007-03-01", "", "Financials", ("801790", "非银金融"), 36.0, 0.017, "insurance"),
    ("601628.XSHG", "中国人寿", "CS", "2007-01-09", "", "Financials", ("801790", "非银金融"), 19.0, 0.016, "insurance"),
]

# Instruments that exist to be dropped; their records and histories are synthetic.
DROP_CASES = [
    # delisted before the demonstration date
    ("600001.XSHG", "退市样本", "CS", "1998-01-22", "2013-06-28", "Materials", None, 5.0, 0.015, "materials"),
    # suspended on most of the last 132 trading days
    ("600087.XSHG", "停牌样本", "CS", "1997-06-23", "", "Energy", None, 2.5, 0.02, "energy"),
    # listed 40 trading days before the demonstration date
    ("601999.XSHG", "次新样本", "CS", "2013-11-05", "", "Consumer Discretionary", None, 8.0, 0.025, "auto"),
    # one close of 0 in the last window
    ("600003.XSHG", "坏价样本", "CS", "1999-07-01", "", "Industrials", None, 4.0, 0.015, "transport"),
]

FUNDS = [
    ("510050.XSHG", "50ETF", "ETF", "2005-02-23", "Stock", 1.8, 0.002),
    ("510300.XSHG", "300ETF", "ETF", "2012-05-28", "Stock", 2.3, 0.002),
    ("511010.XSHG", "国债ETF", "ETF", "2013-03-25", "Bond", 100.0, 0.0008),
    ("160706.XSHE", "嘉实300", "LOF", "2005-09-21", "Stock", 0.9, 0.003),
]

BENCHMARK = ("000300.XSHG", "沪深300", "INDX", "2005-04-08", 2300.0)

MARKET_VOL = 0.012
SECTOR_VOL = 0.007
SECTORS = ["energy", "bank", "staples", "auto", "transport", "insurance", "materials"]
SECTOR_BETA = {"energy": 0.9, "bank": 0.8, "staples": 0.7, "auto": 1.3, "transport": 0.9,
               "insurance": 1.2, "materials": 1.1}


def trading_days():
    closed = set()
    for a, b in HOLIDAYS:
        d, end = dt.date.fromisoformat(a), dt.date.fromisoformat(b)
        while d <= end:
            closed.add(d)
            d += dt.timedelta(days=1)
    days, d = [], FIRST_DAY
    while d <= LAST_DAY:
        if d.weekday() < 5 and d not in closed:
            days.append(d)
        d += dt.timedelta(days=1)
    return days


def write_csv(path, header, rows):
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        f.write(",".join(header) + "\n")
        for row in rows:
            f.write(",".join(str(v) for v in row) + "\n")


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "data", "sample_bundle")
    os.makedirs(os.path.join(out, "day_bars"), exist_ok=True)

    rng = np.random.default_rng(SEED)
    days = trading_days()
    t = len(days)
    market = rng.normal(0.0002, MARKET_VOL, t)
    sector = {s: rng.normal(0.0, SECTOR_VOL, t) for s in SECTORS}

    def path(start, beta, sector_name, idio_vol):
        r = beta * market + sector[sector_name] + rng.normal(0.0, idio_vol, t)
        return start * np.cumprod(1.0 + r)

    def bars(prices, decimals, keep):
        return [(days[i].isoformat(), f"{prices[i]:.{decimals}f}", int(rng.integers(10**5, 10**7)) * 100)
                for i in range(t) if keep[i]]

    everyone = np.ones(t, dtype=bool)
    instrument_rows, shenwan_rows, fund_rows = [], [], []
    for (oid, symbol, typ, listed, delisted, gics, sw, start, vol, model) in INSTRUMENTS + DROP_CASES:
        instrument_rows.append((oid, symbol, typ, listed, delisted, gics))
        if sw is not None:
            shenwan_rows.append((oid, "2011-10-10", "", sw[0], sw[1]))
        prices = path(start, SECTOR_BETA[model], model, vol)
        keep = everyone.copy()
        if oid == "601633.XSHG":  # a short suspension inside the window
            keep[t - 30:t - 27] = False
        if oid == "600001.XSHG":
            keep &= np.array([d <= dt.date.fromisoformat(delisted) for d in days])
        if oid == "600087.XSHG":
            keep[t - 100:t - 10] = False
        if oid == "601999.XSHG":
            keep &= np.array([d >= dt.date.fromisoformat(listed) for d in days])
        rows = bars(prices, 2, keep)
        if oid == "600003.XSHG":
            date, _, volume = rows[t - 20]
            rows[t - 20] = (date, "0.00", volume)
        write_csv(os.path.join(out, "day_bars", oid + ".csv"), ["date", "close", "volume"], rows)

    for (oid, symbol, typ, listed, fund_type, start, vol) in FUNDS:
        instrument_rows.append((oid, symbol, typ, listed, "", ""))
        fund_rows.append((oid, fund_type))
        if fund_type == "Bond":
            prices = start * np.cumprod(1.0 + rng.normal(0.00012, vol, t))
        else:
            prices = path(start, 1.0, "bank", vol)
        listed_since = np.array([d >= dt.date.fromisoformat(listed) for d in days])
        write_csv(os.path.join(out, "day_bars", oid + ".csv"), ["date", "close", "volume"],
                  bars(prices, 3, listed_since))

    oid, symbol, typ, listed, start = BENCHMARK
    instrument_rows.append((oid, symbol, typ, listed, "", ""))
    index = start * np.cumprod(1.0 + market + 0.3 * sector["bank"] + rng.normal(0.0, 0.002, t))
    write_csv(os.path.join(out, "day_bars", oid + ".csv"), ["date", "close", "volume"],
              bars(index, 3, everyone))

    write_csv(os.path.join(out, "instruments.csv"),
              ["order_book_id", "symbol", "type", "listed_date", "de_listed_date", "sector_name"],
              instrument_rows)
    write_csv(os.path.join(out, "trading_dates.csv"), ["date"], [(d.isoformat(),) for d in days])
    write_csv(os.path.join(out, "shenwan.csv"),
              ["order_book_id", "start_date", "end_date", "industry_code", "industry_name"], shenwan_rows)
    write_csv(os.path.join(out, "funds.csv"), ["order_book_id", "fund_type"], fund_rows)


if __name__ == "__main__":
    main()
