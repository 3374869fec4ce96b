#!/usr/bin/env python3
"""Independent golden vectors for core/tests/serialization_test.cpp.

Builds the canonical state text with Python's own tools (repr for
the shortest round-trip digits, hashlib for SHA-256, datetime for calendar
arithmetic) and prints the texts and hashes the C++ tests compare against.
"""
import datetime
import hashlib
import math
import uuid
from decimal import Decimal


def f64(x):
    if not math.isfinite(x):
        return "null"
    if x == 0:
        return "-0.0" if math.copysign(1, x) < 0 else "0.0"
    sign, digits, exp = Decimal(repr(x)).as_tuple()
    ds = "".join(map(str, digits)).rstrip("0") or "0"
    # repr may carry trailing zeros ("100.0"): recompute the exponent of the
    # first digit from the full tuple.
    e = len(digits) + exp - 1
    n = len(ds)
    s = "-" if sign else ""
    if -5 <= e <= 15:
        if e >= n - 1:
            return s + ds + "0" * (e - n + 1) + ".0"
        if e >= 0:
            return s + ds[: e + 1] + "." + ds[e + 1:]
        return s + "0." + "0" * (-e - 1) + ds
    return s + ds[0] + ("." + ds[1:] if n > 1 else "") + "e" + ("-" if e < 0 else "+") + str(abs(e))


def jstr(t):
    out = ['"']
    for ch in t:
        o = ord(ch)
        if ch == '"':
            out.append('\\"')
        elif ch == "\\":
            out.append("\\\\")
        elif ch in "\b\t\n\f\r":
            out.append({"\b": "\\b", "\t": "\\t", "\n": "\\n", "\f": "\\f", "\r": "\\r"}[ch])
        elif o < 0x20:
            out.append("\\u%04x" % o)
        else:
            out.append(ch)
    out.append('"')
    return "".join(out)


EPOCH = datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc)


def ts(seconds, nanos):
    dt = EPOCH + datetime.timedelta(seconds=seconds)
    s = "%04d-%02d-%02dT%02d:%02d:%02d" % (dt.year, dt.month, dt.day, dt.hour, dt.minute, dt.second)
    if nanos:
        if nanos % 1_000_000 == 0:
            s += ".%03d" % (nanos // 1_000_000)
        elif nanos % 1000 == 0:
            s += ".%06d" % (nanos // 1000)
        else:
            s += ".%09d" % nanos
    return '"' + s + 'Z"'


def ev(lst):
    return "[" + ",".join('{"turn_number":%d,"text_excerpt":%s}' % (n, jstr(t)) for n, t in lst) + "]"


def concept(c):
    conf = c["confidence"]
    if conf == 0:
        conf = 0.0
    return ('{"id":"%s","term":%s,"definition":%s,"confidence":%s,"status":"%s","created_at":%s,'
            '"source_evidence":%s}') % (c["id"], jstr(c["term"]), jstr(c["definition"]), f64(conf),
                                         c["status"], ts(*c["created_at"]), ev(c["evidence"]))


def relation(r):
    conf = r["confidence"]
    if conf == 0:
        conf = 0.0
    s = ('{"id":"%s","from_concept":"%s","to_concept":"%s","relation_type":"%s","evidence":%s,'
         '"confidence":%s') % (r["id"], r["from"], r["to"], r["type"], ev(r["evidence"]), f64(conf))
    if r.get("source_document") is not None:
        s += ',"source_document":' + jstr(r["source_document"])
    if r.get("cc") is not None:
        cc = r["cc"]
        if cc == 0:
            cc = 0.0
        s += ',"classification_confidence":' + f64(cc)
    return s + "}"


def node(n):
    return ('{"id":"%s","title":%s,"node_type":%s,"parent":%s,"position":%d,"content_hash":[%s],'
            '"concept_refs":[%s]}') % (
        n["id"], jstr(n["title"]), jstr(n["node_type"]),
        '"%s"' % n["parent"] if n["parent"] else "null", n["position"],
        ",".join(str(b) for b in n["hash"]), ",".join('"%s"' % c for c in n["refs"]))


def obj(entries, writer):
    return "{" + ",".join('"%s":%s' % (e["id"], writer(e)) for e in sorted(entries, key=lambda e: e["id"])) + "}"


def state(cs, rs, ns):
    return '{"concepts":%s,"relations":%s,"structure":%s}' % (obj(cs, concept), obj(rs, relation), obj(ns, node))


def show(name, text):
    b = text.encode()
    print("%s (%d bytes) sha256=%s" % (name, len(b), hashlib.sha256(b).hexdigest()))
    print("  " + text)


ID1 = "11111111-1111-4111-8111-111111111111"
ID2 = "22222222-2222-4222-8222-222222222222"
R1 = "33333333-3333-4333-8333-333333333333"
R2 = "44444444-4444-4444-8444-444444444444"
N1 = "55555555-5555-4555-8555-555555555555"
N2 = "66666666-6666-4666-8666-666666666666"

cs = [
    dict(id=ID2, term="x", definition="", confidence=float("nan"), status="Superseded",
         created_at=(0, 5), evidence=[]),
    dict(id=ID1, term="Caf\u00e9 \u001f\t\"q\"\\ /\u007f", definition="def\nline\r\b\f\u0000",
         confidence=-0.0, status="Active", created_at=(1714557600, 120_000_000),
         evidence=[(3, "ex"), (4294967295, "\u03a3")]),
]
rs = [
    dict(id=R1, **{"from": ID1, "to": ID2}, type="DerivesFrom", evidence=[], confidence=0.5, cc=-0.0),
    dict(id=R2, **{"from": ID2, "to": ID1}, type="Supports", evidence=[(1, "e")], confidence=1e16,
         source_document="doc.pdf"),
]
ns = [
    dict(id=N1, title="Root", node_type="section", parent=None, position=0, hash=list(range(32)),
         refs=[ID1, ID2]),
    dict(id=N2, title="Child", node_type="", parent=N1, position=4294967295, hash=[0] * 32, refs=[]),
]

show("empty", state([], [], []))
show("full", state(cs, rs, ns))
show("structure", obj(ns, node))

print("floats:")
for x in [0.0, -0.0, 1.0, 0.000001, 0.00001, 1e16, 1e15, 12.5, 0.3, 0.1, 100.0, 1.5e-7, 5e-324,
          1.2345678901234567e19, 123456789012345.67, 0.1 + 0.2, -2.5, 1e-5, 9.999999999999999e15,
          1.7976931348623157e308, 2.2250738585072014e-308, 1e21, 1e22, 0.5, 3.0e-5]:
    print("  %r -> %s" % (x, f64(x)))

print("timestamps:")
for secs, nanos in [(1714557600, 120_000_000), (1714557600, 123_456_000), (1714557600, 5),
                    (1714557600, 0), (0, 0), (-1, 999_999_999), (951782400, 1)]:
    print("  %d %d -> %s" % (secs, nanos, ts(secs, nanos)))
d0 = datetime.date(1970, 1, 1)
print("  seconds of 9999-12-31T23:59:59:", ((datetime.date(9999, 12, 31) - d0).days) * 86400 + 86399)
print("  seconds of 0001-01-01T00:00:00:", (datetime.date(1, 1, 1) - d0).days * 86400)


def derive(label, parts):
    h = hashlib.sha256()
    for p in [label.encode()] + parts:
        h.update(len(p).to_bytes(4, "big"))
        h.update(p)
    b = bytearray(h.digest()[:16])
    b[6] = (b[6] & 0x0F) | 0x80
    b[8] = (b[8] & 0x3F) | 0x80
    return str(uuid.UUID(bytes=bytes(b)))


H = bytes(range(32))
u1 = uuid.UUID(ID1).bytes
u2 = uuid.UUID(ID2).bytes
print("derive:")
print("  empty label no parts:", derive("", []))
print("  x:", derive("x", []))
print("  merge concept:", derive("kelvora.op.merge.concept.v1", [H, "Apple".encode(), "A fruit".encode(), u1, u2]))
print("  merge concept swapped:", derive("kelvora.op.merge.concept.v1", [H, "Apple".encode(), "A fruit".encode(), u2, u1]))
print("  merge derivesfrom:", derive("kelvora.op.merge.derivesfrom.v1", [H, u1, u2]))
print("  split concept k=1:", derive("kelvora.op.split.concept.v1", [H, u1, (1).to_bytes(4, "big"), "Caf\u00e9".encode(), "d".encode()]))
print("  split derivesfrom:", derive("kelvora.op.split.derivesfrom.v1", [H, u2, u1]))
