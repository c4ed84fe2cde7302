#!/usr/bin/python3
"""decode-url and encode-url of generated urls against Python's
urllib.parse.urlsplit and unquote: user and password, host, port, a path
with escaped spaces, query and fragment, and rootless urls without "//".
Each url is written as a url! literal (the lexer decodes its escapes, and
mold writes them again for the parser). For each url kel prints the parts
of decode-url, and whether encode-url gives the url back (only asked of urls
where nothing needed escaping).

usage: urls_oracle.py KEL_BINARY"""
import random
import sys
from urllib.parse import unquote, urlsplit

from kel_script import run

SEED = 20261210
COUNT = 300
ALPHA = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
DIGITS = "0123456789"
# What a url! literal carries as it is and the parser takes in each part
# (the lexer ends a url at a paren, a bracket, a quote or ";").
PLAIN = ALPHA + DIGITS + "-._~!$&*+,="


def word(rng, chars, n_min=1, n_max=6, space=False):
    out = "".join(rng.choice(chars) for _ in range(rng.randint(n_min, n_max)))
    if space and rng.random() < 0.3:
        k = rng.randint(0, len(out))
        out = out[:k] + "%20" + out[k:]
    return out


def make_url(rng):
    scheme = rng.choice("abcdefghijklmnopqrstuvwxyz") + word(rng, "abcdefghijklmnopqrstuvwxyz0123456789+-.", 0, 5)
    escaped = rng.random() < 0.5
    if rng.random() < 0.75:
        u = scheme + "://"
        if rng.random() < 0.4:
            u += word(rng, PLAIN, space=escaped)
            if rng.random() < 0.5:
                u += ":" + word(rng, PLAIN + ":", space=escaped)
            u += "@"
        u += word(rng, ALPHA + DIGITS + "-.", space=escaped)
        if rng.random() < 0.4:
            u += ":" + str(rng.randint(0, 65535))
        if rng.random() < 0.8:
            u += "".join("/" + word(rng, PLAIN + ":@", 0, 6, escaped) for _ in range(rng.randint(1, 4)))
    else:
        # rootless: a first segment that is not empty, no authority
        u = scheme + ":" + word(rng, PLAIN + "@", space=escaped)
        u += "".join("/" + word(rng, PLAIN + ":@", 0, 5, escaped) for _ in range(rng.randint(0, 3)))
    if rng.random() < 0.4:
        u += "?" + word(rng, PLAIN + ":@/?", space=escaped)
    if rng.random() < 0.4:
        u += "#" + word(rng, PLAIN + ":@/?", space=escaped)
    return u


def split_path(path):
    # the path functions' rule: the folder up to the last "/" that is not the
    # final character (%./ when none), the rest as the target; "/", "." and
    # ".." alone are folders with no target
    if path.rstrip("/") in ("", ".", "..") and len(path) - len(path.rstrip("/")) <= 1:
        return path.rstrip("/") + "/", None
    cut = path[:-1].rfind("/") + 1
    return path[:cut] or "./", path[cut:]


def expected(u):
    s = urlsplit(u)
    user = host = port = None
    if u.startswith(s.scheme + "://"):
        netloc = s.netloc
        if "@" in netloc:
            user, _, netloc = netloc.rpartition("@")
            user = unquote(user)
        if ":" in netloc:
            netloc, _, p = netloc.partition(":")
            port = str(int(p))
        host = unquote(netloc)
    path = target = None
    if s.path:
        path, target = split_path(unquote(s.path))
    query = unquote(s.query) if "?" in u.split("#")[0] else None
    fragment = unquote(s.fragment) if "#" in u else None
    show = lambda v: "~" if v is None else v
    return "|".join(show(v) for v in [s.scheme, user, host, port, path, target, query, fragment])


def main():
    kel = sys.argv[1]
    rng = random.Random(SEED)
    urls = [make_url(rng) for _ in range(COUNT)]
    lines = [
        "Kel []",
        "show: func [v] [either none? :v [\"~\"] [form :v]]",
        "check: func [u /local o t] [",
        "    o: decode-url u",
        "    t: copy \"\"",
        "    foreach f reduce [o/scheme o/user-info o/host o/port o/path o/target o/query o/fragment] [",
        "        append append t show :f \"|\"",
        "    ]",
        "    print head remove back tail t",
        "    print either find mold u \"%\" [\"-\"] [u == encode-url o]",
        "]",
    ]
    lines += ["check %s" % u for u in urls]
    p = run(kel, lines)
    got = p.stdout.splitlines()
    failed = 0
    if len(got) != 2 * len(urls):
        print("kel printed %d lines for %d urls (exit %d): %s" % (len(got), len(urls), p.returncode,
                                                                  p.stderr.strip()[:500]))
        failed += 1
    for i, u in enumerate(urls):
        want = [expected(u), "-" if "%" in u else "true"]
        have = got[2 * i:2 * i + 2]
        if have != want:
            failed += 1
            if failed <= 30:
                print("FAIL %s | got: %s | expected: %s" % (u, have, want))
    print("%d passed, %d failed" % (len(urls) - failed, failed))
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
