#!/usr/bin/env python3
# A script for postgres --single, one statement a line: N transactions of KIND
# (no, pay, dl, sl; _plain as tpcc-run's statements from STATEMENTS, which
# bench/statements prints, or _proc as calls of the kit's functions) on
# warehouse 1, their inputs drawn from SEED, the same for every kind.
#   bench/instructions.py STATEMENTS KIND N SEED
import random, sys
st = {}
for line in open(sys.argv[1]):
    n, t = line.rstrip('\n').split('\t', 1)
    st[n] = t
kind, N, seed = sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
rnd = random.Random(seed)
SYL = ['BAR', 'OUGHT', 'ABLE', 'PRI', 'PRES', 'ESE', 'ANTI', 'CALLY', 'ATION', 'EING']
LAST = [SYL[n // 100] + SYL[n // 10 % 10] + SYL[n % 10] for n in range(1000)]
out = []
def prep(name, types):
    out.append("PREPARE %s(%s) AS %s" % (name, ",".join(types), st[name]))
W = 1
def arr(v): return "'{%s}'" % ",".join(map(str, v))
if kind.startswith("no"):
    if kind == "no_plain":
        prep("no_district", ["int", "int", "int"]); prep("no_stock_lock", ["int[]", "int[]"])
        prep("no_order", ["int", "int", "int", "int[]", "int[]", "int[]", "timestamp"])
    for k in range(N):
        d, c = rnd.randint(1, 10), rnd.randint(1, 3000)
        items = rnd.sample(range(1, 100001), rnd.randint(5, 15))
        sup = [W] * len(items); q = [rnd.randint(1, 10) for _ in items]
        ts = "'2026-12-10 03:00:%02d.%06d'" % (k // 1000000, k % 1000000)
        if kind == "no_plain":
            out += ["BEGIN", "EXECUTE no_district(%d,%d,%d)" % (W, d, c),
                    "EXECUTE no_stock_lock(%s,%s)" % (arr(sup), arr(items)),
                    "EXECUTE no_order(%d,%d,%d,%s,%s,%s,%s)" % (W, d, c, arr(items), arr(sup), arr(q), ts), "COMMIT"]
        else:
            out.append("SELECT * FROM tpcc_new_order(%d,%d,%d,%s,%s,%s,%s)" % (W, d, c, arr(items), arr(sup), arr(q), ts))
elif kind.startswith("pay"):
    if kind == "pay_plain":
        prep("pay_by_id", ["int", "int", "int", "int", "numeric", "int", "timestamp"])
        prep("pay_by_name", ["int", "int", "int", "int", "numeric", "text", "timestamp"])
    for k in range(N):
        d, c, amt = rnd.randint(1, 10), rnd.randint(1, 3000), "%d.%02d" % (rnd.randint(1, 4999), rnd.randint(0, 99))
        ts = "'2026-12-10 04:00:%02d.%06d'" % (k // 1000000, k % 1000000)
        by_name = rnd.random() < 0.6
        if kind == "pay_plain":
            if by_name:
                out.append("EXECUTE pay_by_name(%d,%d,%d,%d,%s,%s,%s)" % (W, d, W, d, amt, "'%s'" % LAST[c % len(LAST)], ts))
            else:
                out.append("EXECUTE pay_by_id(%d,%d,%d,%d,%s,%d,%s)" % (W, d, W, d, amt, c, ts))
        else:
            if by_name:
                out.append("SELECT * FROM tpcc_payment(%d,%d,%d,%d,%s,NULL,%s,%s)" % (W, d, W, d, amt, "'%s'" % LAST[c % len(LAST)], ts))
            else:
                out.append("SELECT * FROM tpcc_payment(%d,%d,%d,%d,%s,%d,NULL,%s)" % (W, d, W, d, amt, c, ts))
elif kind.startswith("dl"):
    if kind == "dl_plain":
        prep("dl_district", ["int", "int", "int", "timestamp"])
    for k in range(N):
        ts = "'2026-12-10 05:00:%02d.%06d'" % (k // 1000000, k % 1000000)
        car = rnd.randint(1, 10)
        if kind == "dl_plain":
            out += ["BEGIN"] + ["EXECUTE dl_district(%d,%d,%d,%s)" % (W, d, car, ts) for d in range(1, 11)] + ["COMMIT"]
        else:
            out.append("SELECT * FROM tpcc_delivery(%d,%d,%s)" % (W, car, ts))
elif kind.startswith("sl"):
    if kind == "sl_plain":
        prep("sl_count", ["int", "int", "int"])
    for k in range(N):
        d, t = rnd.randint(1, 10), rnd.randint(10, 20)
        out.append(("EXECUTE sl_count(%d,%d,%d)" if kind == "sl_plain" else "SELECT tpcc_stock_level(%d,%d,%d)") % (W, d, t))
print("\n".join(out))
