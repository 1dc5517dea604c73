"""Reply messages generated from the reply syntax the client accepts.

A message is   prefix item (separator item)*   where an item is
  an element:  <NAME ATTRS>  (open)  <NAME ATTRS/>  (self-closed)
               <NAME ATTRS />  (self-closed after a space)  </NAME>  (end tag)
  or:          a comment, an <?xml ...?> declaration, or a bare text.
NAMES holds the message heads in several letter cases (RPT, ACK), the entry
elements (file, dir, DIR) and plain names; ATTRS is one of PROFILES, which
carry the status, identifier, error, count, size and entry attributes with
plain values and with the awkward ones: an odd or even number of '"', '<',
'>' and '/' inside quotes, single quotes, spaces around '=', attributes run
together, valueless attributes, non-ASCII text.

messages(seed) yields, in order:
  1. every form (NAME x shape, and each other item) with every profile,
     alone, after each prefix;
  2. every ordered pair of forms, with profiles and separators rotated so
     that each profile and separator meets each form;
  3. seeded samples of three and four items;
  4. seeded random messages of many items, up to MAX_MESSAGE bytes.
"""
import itertools
import random

MAX_MESSAGE = 4096

NAMES = [b"RPT", b"ACK", b"rpt", b"ack", b"Rpt", b"file", b"dir", b"DIR", b"x", b"Session"]
SHAPES = ["open", "self-closed", "self-closed-spaced", "end"]
OTHER_ITEMS = [b"<!-- note -->", b'<?xml version="1.0"?>', b"some text"]
SEPARATORS = [b"", b" ", b"\n", b"\r\n", b"\t"]
PREFIXES = [b"", b"  ", b"junk\n"]

PROFILES = [
    b"",
    b'Result="success"',
    b'Result="SUCCESS" ClientID="id-7"',
    b'Result="failed" errcode="12x" errtext="bad thing"',
    b'Result="success" TotalBytes="1000" CompleteBytes="250"',
    b'TotalBytes="-1" CompleteBytes="12abc"',
    b'ParentDir="\\a\\" Name="b.txt"',
    b'ParentDir="\\a/b\\" Name="c/d" Result="success"',
    b'Name="x" Name="y" ParentDir="\\p\\" parentdir="\\q\\"',
    b'ParentDir="\\only\\"',
    b'Result="success" Size="5368709120" CreateTime="-1" LastModifyTime=" 42"'
    b' BackupType="3" Reversion="-2x"',
    b'Result="failed" errcode="5" errtext="a"b"',
    b'Name="a""b" ParentDir="\\e\\" Result="success"',
    b'Name="<b>" ParentDir="x>y" Result="success" ClientID="c<1>"',
    b'flag Result="success" ClientID=""',
    b'k= "v" Result = "success" errcode ="3"',
    b'Result="success"errcode="1"TotalBytes="7"CompleteBytes="+3"',
    b'errtext="\xc3\x9cn\xc3\xaf \xe6\x96\x87" errcode=" -7" Result="fail"'
    b' ClientID="\xc3\xa9" Name="\xc3\xa9.txt" ParentDir="\\\xe6\x96\x87\\"',
    b'Result="suc/cess" CompleteBytes="9/9" ParentDir="\\s/" Name="n" ClientID="a/b"',
    b"Result='success' Name='q' ParentDir=\"\\r\\\"",
    b'ParentDir="\\t\\" Name="" Result="success" Size="9223372036854775807"',
    b'RESULT="Success" ERRCODE="2" ERRTEXT="upper" CLIENTID="up"',
]


def element(name, shape, profile):
    attrs = b" " + profile if profile else b""
    if shape == "open":
        return b"<" + name + attrs + b">"
    if shape == "self-closed":
        return b"<" + name + attrs + b"/>"
    if shape == "self-closed-spaced":
        return b"<" + name + attrs + b" />"
    return b"</" + name + b">"


FORMS = [(n, s) for n in NAMES for s in SHAPES] + [(o, None) for o in OTHER_ITEMS]


def item(form, profile):
    name, shape = form
    return name if shape is None else element(name, shape, profile)


def singles():
    for (form, profile), prefix in itertools.product(
            itertools.product(FORMS, PROFILES), PREFIXES):
        if form[1] in (None, "end") and profile:
            continue  # these items carry no attributes
        yield prefix + item(form, profile)
    for text in (b"no tag here", b" ", b"\r\n", b"\xc3\xa9"):
        yield text


def pairs():
    n = 0
    for a, b in itertools.product(FORMS, FORMS):
        p, q = PROFILES[n % len(PROFILES)], PROFILES[(n * 7 + 3) % len(PROFILES)]
        sep = SEPARATORS[(n // len(PROFILES)) % len(SEPARATORS)]
        yield item(a, p) + sep + item(b, q)
        n += 1


def random_message(rng, items, limit=MAX_MESSAGE):
    out = rng.choice(PREFIXES)
    for i in range(items):
        part = item(rng.choice(FORMS), rng.choice(PROFILES))
        sep = rng.choice(SEPARATORS) if i else b""
        if len(out) + len(sep) + len(part) > limit:
            break
        out += sep + part
    return out


def messages(seed, samples=600, large=150):
    rng = random.Random(seed)
    yield from singles()
    yield from pairs()
    for _ in range(samples):
        yield random_message(rng, rng.choice((3, 4)))
    for _ in range(large):
        yield random_message(rng, rng.randint(20, 400))


if __name__ == "__main__":
    all_messages = list(messages(1))
    print(len(all_messages), "messages, longest", max(map(len, all_messages)), "bytes")
