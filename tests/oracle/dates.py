#!/usr/bin/python3
"""date! arithmetic and fields against Python's datetime on generated dates
of years 1 to 9999: date + days, date - date, difference, the weekday,
yearday, julian, week and isoweek fields, day and month settings across
month ends and leap days, zones (timezone moves the instant, time added to a
zoned date carries the local day), Unix seconds both ways, and the text
forms the lexer reads (d-Mon-y, y-m-d, d/m/y, week dates, ordinal dates,
the basic form with T and Z).

usage: dates.py KEL_BINARY [SEED]"""
import datetime as dt
import math
import random
import sys

from oracle import run

MONTHS = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"]
MIN = dt.date(1, 1, 1)
MAX = dt.date(9999, 12, 31)
EPOCH = dt.datetime(1970, 1, 1, tzinfo=dt.timezone.utc)


def rand_date(rng, lo=MIN, hi=MAX):
    if rng.random() < 0.3:
        # month ends and leap days, where the calendar rules bite
        y = rng.choice([rng.randint(lo.year + 1, hi.year - 1), rng.choice([1900, 2000, 2100, 2400, 1600, 2024])])
        m = rng.choice([2, 2, 1, 12, rng.randint(1, 12)])
        last = (dt.date(y + (m == 12), m % 12 + 1, 1) - dt.timedelta(days=1)).day
        return dt.date(y, m, rng.choice([1, last, last - 1]))
    return lo + dt.timedelta(days=rng.randint(0, (hi - lo).days))


def lit(d):
    """Mold of a date: a year below 100 padded to four digits, others as
    they are."""
    return "%d-%s-%s" % (d.day, MONTHS[d.month - 1], "%04d" % d.year if d.year < 100 else d.year)


def kel_q(text):
    return '"%s"' % text


def hms(secs):
    """Text of a whole number of seconds as time! writes it."""
    sign = "-" if secs < 0 else ""
    secs = abs(secs)
    return "%s%d:%02d:%02d" % (sign, secs // 3600, secs // 60 % 60, secs % 60)


def zone_text(minutes):
    sign = "-" if minutes < 0 else "+"
    minutes = abs(minutes)
    return "%s%02d:%02d" % (sign, minutes // 60, minutes % 60)


def mold_dt(t, zone_minutes):
    """Mold of a date with time in the zone of `zone_minutes`."""
    out = lit(t.date()) + "/" + hms(t.hour * 3600 + t.minute * 60 + t.second)
    return out + (zone_text(zone_minutes) if zone_minutes else "")


def rand_zone(rng):
    return rng.choice([0, rng.randint(-15 * 4, 15 * 4) * 15, rng.choice([-45, 45, -15 * 60, 15 * 60 + 45])])


def rand_time(rng):
    return rng.choice([0, 86399, rng.randint(0, 86399)])


def week_sunday(d):
    jan1 = dt.date(d.year, 1, 1)
    e = jan1.isoweekday() % 7
    return (d.timetuple().tm_yday - 1 + e) // 7 + 1


def cases(rng, n):
    out = []
    for _ in range(n):
        a = rand_date(rng)
        b = rand_date(rng)
        k = rng.randint(-40000, 40000)
        if MIN <= a + dt.timedelta(days=0) and 1 <= (a.toordinal() + k) <= MAX.toordinal():
            out.append(("%s + %d" % (lit(a), k), lit(dt.date.fromordinal(a.toordinal() + k))))
            out.append(("%s - %d" % (lit(dt.date.fromordinal(a.toordinal() + k)), k), lit(a)))
        out.append(("%s - %s" % (lit(a), lit(b)), str((a - b).days)))
        out.append(("d: %s d/weekday" % lit(a), str(a.isoweekday())))
        out.append(("d: %s d/yearday" % lit(a), str(a.timetuple().tm_yday)))
        out.append(("d: %s d/julian" % lit(a), str(a.timetuple().tm_yday)))
        out.append(("d: %s d/isoweek" % lit(a), str(a.isocalendar()[1])))
        out.append(("d: %s d/week" % lit(a), str(week_sunday(a))))
        out.append(("pick %s 10" % lit(a), str(a.isoweekday())))

        # day 0 is the last day of the month before; 29 in February is 1 March
        # of a common year
        if a.replace(day=1) > MIN:
            out.append(("d: %s d/day: 0 d" % lit(a), lit(a.replace(day=1) - dt.timedelta(days=1))))
        f = a.replace(month=2, day=1)
        out.append(("d: %s d/day: 29 d" % lit(f), lit(f + dt.timedelta(days=28))))
        m = rng.randint(-30, 40)
        y2 = a.year + (m - 1) // 12
        m2 = (m - 1) % 12 + 1
        if 1 <= y2 <= 9999:
            first = dt.date(y2, m2, 1)
            want = first + dt.timedelta(days=a.day - 1)
            if want <= MAX:
                out.append(("d: %s d/month: %d d" % (lit(a), m), lit(want)))
        # the week and day-of-year setters, from 1 January or the Monday
        # of ISO week 1 of the date's year
        if dt.date(3, 1, 1) <= a <= dt.date(9997, 12, 31):
            jan1 = dt.date(a.year, 1, 1)
            week_one = jan1 - dt.timedelta(days=jan1.weekday()) + dt.timedelta(days=7 if jan1.weekday() >= 4 else 0)
            wn = rng.randint(-3, 60)
            out.append(("d: %s d/isoweek: %d d" % (lit(a), wn), lit(week_one + dt.timedelta(weeks=wn - 1))))
            wd = rng.randint(1, 7)
            out.append(("d: %s d/weekday: %d d" % (lit(a), wd), lit(a + dt.timedelta(days=wd - a.isoweekday()))))
            yd = rng.randint(-400, 800)
            out.append(("d: %s d/yearday: %d d" % (lit(a), yd), lit(jan1 + dt.timedelta(days=yd - 1))))
            e = jan1.isoweekday() % 7
            out.append(("d: %s d/week: %d d" % (lit(a), wn),
                        lit(jan1 + dt.timedelta(days=7 * wn - e - 7) if wn > 1 else jan1)))
        # hour, minute and second set on a date without zone: the time
        # carries over into the days
        if dt.date(3, 1, 1) <= a <= dt.date(9997, 12, 31):
            t0 = rand_time(rng)
            base = dt.datetime.combine(a, dt.time()) + dt.timedelta(seconds=t0)
            h, mi, sc = rng.randint(0, 100), rng.randint(0, 200), rng.randint(0, 200)
            midnight = dt.datetime.combine(a, dt.time())
            out.append(("d: %s d/hour: %d d" % (mold_dt(base, 0), h),
                        mold_dt(midnight + dt.timedelta(hours=h, minutes=base.minute, seconds=base.second), 0)))
            out.append(("d: %s d/minute: %d d" % (mold_dt(base, 0), mi),
                        mold_dt(midnight + dt.timedelta(hours=base.hour, minutes=mi, seconds=base.second), 0)))
            out.append(("d: %s d/second: %d d" % (mold_dt(base, 0), sc),
                        mold_dt(midnight + dt.timedelta(hours=base.hour, minutes=base.minute, seconds=sc), 0)))
            out.append(("d: %s d/hour" % mold_dt(base, 0), str(base.hour)))
            out.append(("d: %s d/minute" % mold_dt(base, 0), str(base.minute)))
            out.append(("d: %s d/second" % mold_dt(base, 0), "%d.0" % base.second))
        y3 = rng.randint(1, 9999)
        want = dt.date(y3, a.month, 1) + dt.timedelta(days=a.day - 1)
        out.append(("d: %s d/year: %d d" % (lit(a), y3), lit(want)))

        # difference of two dates with times: zones are not applied
        ta, tb = rand_time(rng), rand_time(rng)
        la = dt.datetime.combine(a, dt.time()) + dt.timedelta(seconds=ta)
        lb = dt.datetime.combine(b, dt.time()) + dt.timedelta(seconds=tb)
        out.append(("difference %s %s" % (mold_dt(la, 0), mold_dt(lb, 0)),
                    hms(int((la - lb).total_seconds()))))

        # zones: timezone keeps the instant, time added keeps the zone
        if dt.date(2, 1, 1) <= a <= dt.date(9998, 12, 31):
            z1, z2 = rand_zone(rng), rand_zone(rng)
            t = rand_time(rng)
            local = dt.datetime.combine(a, dt.time()) + dt.timedelta(seconds=t)
            aware = local.replace(tzinfo=dt.timezone(dt.timedelta(minutes=z1)))
            moved = aware.astimezone(dt.timezone(dt.timedelta(minutes=z2)))
            out.append(("d: %s d/timezone: %s d" % (mold_dt(local, z1), hms(z2 * 60)),
                        mold_dt(moved.replace(tzinfo=None), z2)))
            add = rng.randint(-200000, 200000)
            later = local + dt.timedelta(seconds=add)
            if dt.date(2, 1, 1) <= later.date() <= dt.date(9998, 12, 31):
                out.append(("%s + %s" % (mold_dt(local, z1), hms(add)), mold_dt(later, z1)))
            out.append(("d: %s d/zone: %s d" % (mold_dt(local, z1), hms(z2 * 60)), mold_dt(local, z2)))
            out.append(("d: %s d/zone" % mold_dt(local, z1), hms(z1 * 60)))
            out.append(("d: %s (load mold d) == d" % mold_dt(local, z1), "true"))
            out.append(("d: %s d/time" % mold_dt(local, z1), hms(t)))
            if dt.date(1902, 1, 1) <= a <= dt.date(2037, 12, 31):
                secs = int((aware - EPOCH).total_seconds())
                # the stored time (local minus zone) is rounded to the nearest
                # second, also below zero (a zone east of UTC)
                stored = t - z1 * 60
                unix = (a - EPOCH.date()).days * 86400 + math.floor(stored + 0.5)
                out.append(("to integer! %s" % mold_dt(local, z1), str(unix)))
                utc = EPOCH + dt.timedelta(seconds=secs)
                out.append(("to date! %d" % secs, mold_dt(utc.replace(tzinfo=None), 0)))

        # years below 1: the calendar repeats every 400 years (146097 days)
        k = rng.randint(1, 25)
        ny = a.year - 400 * k
        if -9999 <= ny <= 0:
            neg = "%d/%s/%d" % (a.day, MONTHS[a.month - 1], ny) if ny else "%d-%s-0000" % (a.day, MONTHS[a.month - 1])
            out.append(("%s - %d" % (lit(a), 146097 * k), neg))
            out.append(("mold load %s" % kel_q(neg), kel_q(neg)))
            out.append(("d: load %s d + %d" % (kel_q(neg), 146097 * k), lit(a)))
            out.append(("d: load %s d/weekday" % kel_q(neg), str(a.isoweekday())))
            out.append(("d: load %s d/yearday" % kel_q(neg), str(a.timetuple().tm_yday)))
            out.append(("d: load %s d/isoweek" % kel_q(neg), str(a.isocalendar()[1])))
            out.append(("(load %s) - %s" % (kel_q(neg), lit(b)), str((a - b).days - 146097 * k)))

        # the text forms the lexer reads
        iso = a.isocalendar()
        y = a.year
        if y >= 100:
            # below 100 the first number reads as a day (and a two-digit
            # last one as a year of this century)
            out.append(('load "%04d-%02d-%02d"' % (y, a.month, a.day), lit(a)))
        out.append(('load "%d/%d/%04d"' % (a.day, a.month, y), lit(a)))
        out.append(('load "%02d-%s-%04d"' % (a.day, dt.date(2000, a.month, 1).strftime("%B"), y), lit(a)))
        if 1 <= iso[0] <= 9999:
            out.append(('load "%04d-W%02d-%d"' % (iso[0], iso[1], iso[2]), lit(a)))
            monday = dt.date.fromisocalendar(iso[0], iso[1], 1)
            if monday >= MIN:
                out.append(('load "%04d-W%02d"' % (iso[0], iso[1]), lit(monday)))
        out.append(('load "%04d-%03d"' % (y, a.timetuple().tm_yday), lit(a)))
        t = rand_time(rng)
        local = dt.datetime.combine(a, dt.time()) + dt.timedelta(seconds=t)
        out.append(('load "%04d%02d%02dT%02d%02d%02dZ"' % (y, a.month, a.day, local.hour, local.minute,
                                                              local.second), mold_dt(local, 0)))
        z = rand_zone(rng)
        out.append(('load "%s/%d:%02d:%02d%s"' % (lit(a), local.hour, local.minute, local.second,
                                                     zone_text(z) if z else ""), mold_dt(local, z)))
        # difference and ordering of zoned dates: the instant for the
        # difference; the local calendar date, then the stored time (local
        # minus zone) for the order
        if dt.date(2, 1, 1) <= a <= dt.date(9998, 12, 31) and dt.date(2, 1, 1) <= b <= dt.date(9998, 12, 31):
            za, zb = rand_zone(rng), rand_zone(rng)
            ta, tb = rand_time(rng), rand_time(rng)
            if rng.random() < 0.3:
                b, tb = a, ta
            la = dt.datetime.combine(a, dt.time()) + dt.timedelta(seconds=ta)
            lb = dt.datetime.combine(b, dt.time()) + dt.timedelta(seconds=tb)
            ia = la.replace(tzinfo=dt.timezone(dt.timedelta(minutes=za)))
            ib = lb.replace(tzinfo=dt.timezone(dt.timedelta(minutes=zb)))
            out.append(("difference %s %s" % (mold_dt(la, za), mold_dt(lb, zb)),
                        hms(int((ia - ib).total_seconds()))))
            ka = (a, ta - za * 60)
            kb = (b, tb - zb * 60)
            out.append(("%s < %s" % (mold_dt(la, za), mold_dt(lb, zb)), "true" if ka < kb else "false"))
            out.append(("%s = %s" % (mold_dt(la, za), mold_dt(lb, zb)), "true" if ka == kb else "false"))
            out.append(("%s >= %s" % (lit(a), lit(b)), "true" if a >= b else "false"))

        # blocks: make wants the fields in range, to carries them over
        day, mon = rng.randint(-5, 40), rng.randint(-14, 26)
        yr = rng.randint(200, 9000)
        ym = yr + (mon - 1) // 12
        mm = (mon - 1) % 12 + 1
        carried = dt.date(ym, mm, 1) + dt.timedelta(days=day - 1)
        exact = 1 <= mon <= 12 and carried.day == day and carried.month == mon
        out.append(("to date! [%d %d %d]" % (day, mon, yr), lit(carried)))
        out.append(("make date! [%d %d %d]" % (day, mon, yr), lit(carried) if exact else "!bad-to-arg"))
        out.append(("make date! [%d %d %d]" % (yr, mon, day) if day > 0 else "make date! [%d %d %d]" % (day, mon, yr),
                    lit(carried) if exact else "!bad-to-arg"))
        h, mi, sec = rng.randint(0, 60), rng.randint(0, 59), rng.randint(0, 59)
        if 1 <= mon <= 12 and day >= 1:
            stamp = dt.datetime.combine(carried, dt.time()) + dt.timedelta(hours=h, minutes=mi, seconds=sec)
            out.append(("to date! [%d %d %d %d %d %d]" % (day, mon, yr, h, mi, sec), mold_dt(stamp, 0)))
    for y in range(1, 9999, 37):
        leap = y % 4 == 0 and (y % 100 != 0 or y % 400 == 0)
        out.append(('load "29-Feb-%04d"' % y, lit(dt.date(y, 2, 29)) if leap else "!invalid"))
    return out


def main():
    return run(cases, 2000)


if __name__ == "__main__":
    sys.exit(main())
