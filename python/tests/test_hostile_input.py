"""Regressions found by attacking the module: a NUL in a document, time stamps
whose UTC instant leaves the years 0000-9999, Split and Merge of many
concepts, memory limits around the documents. (Running out of memory inside
ICU: core/tests/operations_test.cpp.)"""

import hashlib
import json
import os
import pathlib
import subprocess
import sys
import uuid

import pytest

import kelvora

K = kelvora.PyKnowledgeState
TWO = K().apply_assert("a", "x").apply_assert("b", "y")
RECORDS = TWO.records_to_json()


def derive(label, *parts):
    digest = hashlib.sha256(b"".join(len(p).to_bytes(4, "big") + p for p in [label.encode(), *parts]))
    b = bytearray(digest.digest()[:16])
    b[6], b[8] = (b[6] & 0x0F) | 0x80, (b[8] & 0x3F) | 0x80
    return str(uuid.UUID(bytes=bytes(b)))


@pytest.mark.parametrize(
    "load, text",
    [(K.from_records_json, RECORDS[: RECORDS.index("\n  },\n  {") + 4] + "\n]\0 not json ]]]"),
     (K.from_json, TWO.state_to_json() + "\0{{{")],
)  # fmt: skip
def test_nul_outside_a_string_is_invalid_json(load, text):
    with pytest.raises(ValueError, match=r"^invalid JSON: parse error at line \d+, column \d+: .*<U\+0000>"):
        load(text)


def test_time_stamp_that_would_be_written_with_a_signed_year_is_refused():
    stamp = "9999-12-31T23:59:59-23:59"
    doc, records = json.loads(TWO.state_to_json()), json.loads(RECORDS)
    next(iter(doc["concepts"].values()))["created_at"] = records[0]["timestamp"] = stamp
    for load, text in [(K.from_json, doc), (K.from_records_json, records)]:
        with pytest.raises(ValueError, match="invalid timestamp: input is out of range$"):
            load(json.dumps(text))
    with pytest.raises(ValueError, match="^input is out of range$"):
        kelvora.PyProvenanceGraph.from_state(K()).add_activity("act", "classification", stamp, {})


def test_split_and_merge_of_many_concepts_keep_their_identifiers():
    s = K().apply_assert("src", "d").apply_assert("x", "d")
    s = s.apply_restructure([{"title": "T", "node_type": "n", "position": 0, "concept_terms": ["src", "x"]}], "j")
    prior, src = bytes.fromhex(s.state_hash()), uuid.UUID(s.get_concept_id("src")).bytes
    pairs = [(f"t{k}", "d") for k in range(2000)]
    ids = [derive("kelvora.op.split.concept.v1", prior, src, k.to_bytes(4, "big"), t.encode(), b"d")
           for k, (t, _) in enumerate(pairs)]  # fmt: skip
    split = s.apply_split("src", pairs)
    node = next(iter(json.loads(split.state_to_json())["structure"].values()))
    assert node["concept_refs"] == [s.get_concept_id("x"), *ids]
    with pytest.raises(ValueError, match="^duplicate term: concept with term 'T1999' already exists$"):
        s.apply_split("src", pairs + [("T1999", "again")])
    # Past the first few terms a Merge resolves them by an index: same ids, same order.
    terms = ["t1999", "t3", "t17", "t5", *(f"t{k}" for k in range(40, 52))]
    parts = (uuid.UUID(split.get_concept_id(t)).bytes for t in terms)
    merged = derive("kelvora.op.merge.concept.v1", bytes.fromhex(split.state_hash()), b"m", b"d", *parts)
    assert split.apply_merge(terms, "m", "d").get_concept_id("m") == merged
    with pytest.raises(ValueError, match="^concept not found: src$"):
        split.apply_merge(terms + ["src"], "m", "d")
    with pytest.raises(ValueError, match=f"^conflict detected: cannot Merge concept {split.get_concept_id('t3')} more than once$"):
        split.apply_merge(terms + ["t3"], "m", "d")


def test_records_document_whose_merges_repeat_their_source_is_refused_at_the_first():
    # An Assert of a concept with one evidence ref, then Merges that each name
    # the concept before 100 times: accepted, they would copy 10^2, 10^4, 10^6
    # and 10^8 refs. Every hash up to the fourth Merge is the one an engine
    # that accepted them wrote.
    text = (pathlib.Path(__file__).parent / "data" / "repeated_merge_records.json").read_text()
    records = json.loads(text)
    source = records[0]["operation"]["concept"]["id"]
    assert records[1]["operation"]["concept_ids"] == [source] * 100
    assert K.from_records_json(json.dumps(records[:1])).state_hash() == records[1]["prior_state_hash"]
    with pytest.raises(ValueError, match=f"^conflict detected: cannot Merge concept {source} more than once$"):
        K.from_records_json(text)


# A history of a few thousand records; under an address-space limit of its
# present size plus argv[1] MB, the two writers and the records reader run in
# the importing thread, then in a thread started before the limit whose first
# call of the module this is. Each prints "<thread> <call> <outcome>".
UNDER_LIMIT = r"""
import resource, sys, threading
import kelvora

K = kelvora.PyKnowledgeState
s = K()
for i in range(3000):
    s = s.apply_reinforce(f"c{i - 1}") if i % 4 == 3 else s.apply_assert(f"c{i}", f"definition {i}")
records = s.records_to_json()
calls = {
    "records_to_json": lambda: len(s.records_to_json()),
    "from_records_json": lambda: K.from_records_json(records).state_hash(),
    "state_to_json": lambda: len(s.state_to_json()),
}
expected = {"records_to_json": len(records), "from_records_json": s.state_hash(),
            "state_to_json": len(s.state_to_json())}

def run(thread):
    for name, call in calls.items():
        try:
            outcome = "result" if call() == expected[name] else "wrong"
        except MemoryError:
            outcome = "MemoryError"
        print(thread, name, outcome, flush=True)

with open("/proc/self/status") as f:
    size = int(f.read().split("VmSize:")[1].split()[0]) * 1024
go = threading.Event()
worker = threading.Thread(target=lambda: (go.wait(), run("other")))
worker.start()
resource.setrlimit(resource.RLIMIT_AS, (size + int(sys.argv[1]) * 2**20, resource.RLIM_INFINITY))
run("importing")
go.set()
worker.join()
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="uses /proc and RLIMIT_AS")
@pytest.mark.skipif("san" in os.environ.get("LD_PRELOAD", ""), reason="a sanitizer maps its own memory")
def test_memory_limit_gives_the_result_or_memory_error():
    """Running out of memory in a document writer or reader is MemoryError in
    any thread, never the end of the process. One process per limit, all at
    once; one malloc arena, so that the other thread meets the limit too."""
    extra_mb = [1, 2, 3, 4, 6, 8, 12, 16]
    env = {**os.environ, "MALLOC_ARENA_MAX": "1"}
    children = [
        subprocess.Popen([sys.executable, "-c", UNDER_LIMIT, str(mb)], env=env, text=True,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        for mb in extra_mb
    ]  # fmt: skip
    outcomes = set()
    for mb, child in zip(extra_mb, children):
        out, err = child.communicate(timeout=300)
        assert child.returncode == 0, f"+{mb} MB: exit status {child.returncode}\n{err[-2000:]}"
        lines = [line.split() for line in out.splitlines()]
        assert [line[:2] for line in lines] == [
            [thread, call] for thread in ("importing", "other")
            for call in ("records_to_json", "from_records_json", "state_to_json")
        ], f"+{mb} MB: {out}"  # fmt: skip
        outcomes |= {line[2] for line in lines}
    # The limits reach the calls: some fail, and a wrong result is never given.
    assert outcomes <= {"result", "MemoryError"} and "MemoryError" in outcomes
