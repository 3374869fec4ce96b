"""The state and records documents: their text, round trips, and what loading refuses."""

import copy
import json
import re
import uuid
from datetime import datetime, timedelta

import pytest
from hypothesis import assume, given, settings
from hypothesis import strategies as st

import kelvora

K = kelvora.PyKnowledgeState

RELATIONS = [
    "derives_from", "contradicts", "exemplifies", "tension", "subsumes", "enables", "supports",
    "explains", "extends", "qualifies", "contrasts", "motivates", "necessitates",
    "operationalizes", "reframes", "completes", "independent",
]  # fmt: skip

NODES = [
    {"title": "Top", "node_type": "section", "position": 0, "concept_terms": ["a"]},
    {"title": "Sub", "node_type": "para", "position": 1, "parent_index": 0, "concept_terms": ["b", "c"]},
]

# Every operation kind once, each on the result of the one before.
FULL_STEPS = [
    lambda s: s.apply_assert("a", "alpha"),
    lambda s: s.apply_assert("b", "beta"),
    lambda s: s.apply_assert("c", "gamma"),
    lambda s: s.apply_relate("a", "b", "supports"),
    lambda s: s.apply_revise("a", "alpha two", ["b"]),
    lambda s: s.apply_refine("b", "beta, finer"),
    lambda s: s.apply_reinforce("c"),
    lambda s: s.apply_restructure(NODES, "tidy"),
    lambda s: s.apply_merge(["b", "c"], "bc", "both"),
    lambda s: s.apply_split("bc", [("b2", "x"), ("c2", "y")]),
    lambda s: s.apply_retract("a"),
]


def full_history():
    objects = [K()]
    for step in FULL_STEPS:
        objects.append(step(objects[-1]))
    return objects


HISTORY = full_history()
FULL = HISTORY[-1]
OP_NAMES = [r["operation_type"] for r in FULL.all_records()]

# Texts that the writer must escape, or pass through unchanged.
ODD_TEXTS = ['quote " back \\ slash', "line\nbreak\ttab\r", "nul\x00 and \x1f", "caf\u00e9 \u00df",
             "\U0001f600 \u05e9\u05dc\u05d5\u05dd", "del\x7f \u2028 \ufeff"]  # fmt: skip


def odd_history():
    s = K()
    for i, text in enumerate(ODD_TEXTS):
        s = s.apply_assert(f"{text} {i}", text)
    return s.apply_relate(f"{ODD_TEXTS[0]} 0", f"{ODD_TEXTS[1]} 1", "tension")


def python_pretty(text):
    return json.dumps(json.loads(text), indent=2, sort_keys=True, ensure_ascii=False)


def same_float_style(text):
    """Python writes 1e-07 and 1e+16 where the documents write 1e-7 and 1e16."""
    return re.sub(r"(\d)e\+?(-?)0*(\d)", r"\1e\2\3", text)


def assert_document_text(text):
    assert not text.endswith("\n")
    assert same_float_style(text) == same_float_style(python_pretty(text))


def assert_round_trips(s):
    """Both documents of `s` read back to the same state, records and texts."""
    state_text = s.state_to_json()
    loaded = K.from_json(state_text)
    assert loaded.record_count() == 0
    assert loaded.state_hash() == s.state_hash() == json.loads(state_text)["state_hash"]
    assert loaded.state_to_json() == state_text
    assert loaded.concept_statuses() == s.concept_statuses()

    records_text = s.records_to_json()
    rebuilt = K.from_records_json(records_text)
    assert rebuilt.all_records() == s.all_records()
    assert rebuilt.state_hash() == s.state_hash()
    assert rebuilt.records_to_json() == records_text
    assert rebuilt.state_to_json() == state_text
    assert rebuilt.merkle_root() == s.merkle_root()
    assert rebuilt.reconstruct() is True
    if s.record_count():
        assert rebuilt.verify_chain_and_continuity() is True


# ----------------------------------------------------------------- text


def test_empty_documents():
    s = K()
    assert s.state_to_json() == (
        "{\n"
        '  "concepts": {},\n'
        '  "relations": {},\n'
        f'  "state_hash": "{s.state_hash()}",\n'
        '  "structure": {}\n'
        "}"
    )
    assert s.records_to_json() == "[]"
    assert K.from_records_json("[]").record_count() == 0


@pytest.mark.parametrize("s", [FULL, odd_history()], ids=["every operation", "odd texts"])
def test_document_text_is_indented_sorted_json(s):
    for text in (s.state_to_json(), s.records_to_json()):
        assert_document_text(text)
    document = json.loads(s.state_to_json())
    assert document["state_hash"] == s.state_hash()
    assert sorted(c["term"] for c in document["concepts"].values()) == sorted(s.concept_terms())
    records = json.loads(s.records_to_json())
    assert [r["chain_hash"] for r in records] == [r["chain_hash"] for r in s.all_records()]
    assert [r["operation"]["type"].lower() for r in records] == [
        r["operation_type"] for r in s.all_records()
    ]


@pytest.mark.parametrize("word", ["plain", "caf\u00e9 \U0001f600 \u05e9"])
def test_long_documents(word):
    """Texts longer than the writer's first block of storage, ASCII or not."""
    s = K()
    for i in range(300):
        s = s.apply_assert(f"{word} {i}", f"{word} definition {i} " * 8)
    for text in (s.state_to_json(), s.records_to_json()):
        assert len(text.encode()) > 1 << 16
        assert_document_text(text)
    assert_round_trips(s)


# ----------------------------------------------------------- round trips


@pytest.mark.parametrize(
    "s",
    [*HISTORY, odd_history()],
    ids=["empty", *(f"after {i + 1} ({n})" for i, n in enumerate(OP_NAMES)), "odd texts"],
)
def test_round_trip(s):
    assert_round_trips(s)


def _braced_ids(doc):
    return re.sub(r'"([0-9a-f]{8}(-[0-9a-f]{4}){3}-[0-9a-f]{12})"', lambda m: f'"{{{m.group(1).upper()}}}"', doc)


def _other_offset(doc):
    """Every time stamp written two hours ahead at +02:00: the same instant."""

    def shift(m):
        local = datetime.fromisoformat(m.group(1)) + timedelta(hours=2)
        return f'"{local:%Y-%m-%dT%H:%M:%S}{m.group(2) or ""}+02:00"'

    return re.sub(r'"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d)(\.\d+)?\+00:00"', shift, doc)


@pytest.mark.parametrize(
    "rewrite",
    [_braced_ids, _other_offset],
    ids=["braced upper-case ids", "+02:00 offsets"],
)
def test_equivalent_records_documents_load_alike(rewrite):
    text = FULL.records_to_json()
    rewritten = rewrite(text)
    assert rewritten != text
    loaded = K.from_records_json(rewritten)
    assert loaded.records_to_json() == text
    assert loaded.state_hash() == FULL.state_hash()


def test_state_hash_member_is_not_compared():
    document = json.loads(FULL.state_to_json())
    for value in ("0" * 64, "not a hash", 5, None):
        document["state_hash"] = value
        assert K.from_json(json.dumps(document)).state_hash() == FULL.state_hash()
    del document["state_hash"]
    assert K.from_json(json.dumps(document)).state_hash() == FULL.state_hash()


# ---------------------------------------------- random histories (hypothesis)

TEXT = st.text(st.characters(blacklist_categories=("Cs",)), min_size=1, max_size=6)
STEPS = st.lists(
    st.tuples(
        st.sampled_from(
            ["assert", "assert", "retract", "relate", "revise", "refine", "restructure", "merge",
             "reinforce", "split"]  # fmt: skip
        ),
        st.integers(0, 1000),
        st.integers(0, 1000),
        TEXT,
        TEXT,
    ),
    min_size=1,
    max_size=10,
)


def apply_step(s, kind, i, j, t1, t2):
    if kind == "assert":
        return s.apply_assert(t1, t2)
    active = [t for t in dict.fromkeys(s.concept_terms()) if s.get_concept_id(t) is not None]
    if not active:
        return s.apply_assert(t1, t2)
    a, b = active[i % len(active)], active[j % len(active)]
    if kind == "retract":
        return s.apply_retract(a)
    if kind == "relate":
        return s.apply_relate(a, b, RELATIONS[j % len(RELATIONS)])
    if kind == "revise":
        return s.apply_revise(a, t2, [b] if i % 2 else [])
    if kind == "refine":
        return s.apply_refine(a, t2)
    if kind == "restructure":
        nodes = [
            {"title": t1, "node_type": "section", "position": i % 3, "concept_terms": [a]},
            {"title": t2, "node_type": "p", "position": 0, "parent_index": 0, "concept_terms": [b, a]},
        ]
        return s.apply_restructure(nodes[: 1 + j % 2], t1)
    if kind == "merge":
        return s.apply_merge([a, b], t1, t2)
    if kind == "reinforce":
        return s.apply_reinforce(a)
    return s.apply_split(a, [(t1, "first"), (t2, "second")])


def run_steps(steps):
    s = K()
    for step in steps:
        try:
            s = apply_step(s, *step)
        except ValueError:
            pass  # a step the state refuses (a taken term, a self-relation, ...)
    return s


@settings(max_examples=40)
@given(STEPS)
def test_random_histories_round_trip(steps):
    s = run_steps(steps)
    assert_round_trips(s)
    assert_document_text(s.records_to_json())
    for i in range(s.record_count()):
        assert s.verify_merkle_proof(s.merkle_proof(i)) is True


# -------------------------------------------------------------- tampering

HEX = r"[0-9a-f]{64}"


def _other_hash(h):
    return ("1" if h[0] != "1" else "2") + h[1:]


def _later_fraction(ts):
    """The time stamp a little later, changed in its fraction only."""
    head, rest = ts.split(".") if "." in ts else (ts[:-6], "0" + ts[-6:])
    digits, offset = rest[:-6], rest[-6:]
    return f"{head}.{digits[:-1]}{(int(digits[-1]) + 1) % 10}{offset}"


def _score(v):
    return 0.5 if v is None else (v + 0.25 if v < 0.5 else v - 0.25)


def replay_chain(i, stored):
    return rf"chain verification failed at record index {i}: replay produced chain_hash {HEX}, expected {stored}"


def stored_payload(i, stored):
    return rf"chain verification failed at record index {i}: chain_hash mismatch: expected {HEX}, got {stored}"


def state_changed(expected):
    return rf"hash mismatch: expected {expected}, got {HEX}"


def tamper_case(record, i, field):
    """Changes `field` of `record` in place; returns the expected message as a regex."""
    chain, resulting = record["chain_hash"], record["resulting_state_hash"]
    operation = record["operation"]
    if field == "prior_state_hash":
        new = record[field] = _other_hash(record[field])
        return f"state continuity failed at record index {i}: expected prior_state_hash {new}, got {HEX}"
    if field == "resulting_state_hash":
        new = record[field] = _other_hash(resulting)
        return f"hash mismatch: expected {new}, got {resulting}"
    if field == "chain_hash":
        new = record[field] = _other_hash(chain)
        return f"chain verification failed at record index {i}: replay produced chain_hash {chain}, expected {new}"
    if field == "source":
        record["source"] = "SystemEnrichment" if record["source"] != "SystemEnrichment" else "UserImplicit"
        return replay_chain(i, chain)
    if field == "timestamp":
        record["timestamp"] = _later_fraction(record["timestamp"])
        # Merge and Split date the concepts they make with the record's time.
        return state_changed(resulting) if operation["type"] in ("Merge", "Split") else replay_chain(i, chain)
    # The replay makes a justification of its own; the stored one is checked
    # against the stored chain hash.
    if field in ("minimality_score", "content_shift_score", "structure_delta_score"):
        record["justification"][field] = _score(record["justification"][field])
        return stored_payload(i, chain)
    if field == "agm_type":
        record["justification"]["agm_type"] = "Revision" if record["justification"]["agm_type"] != "Revision" else "Expansion"
        return stored_payload(i, chain)
    if field == "justification evidence":
        record["justification"]["evidence_refs"] = [{"turn_number": 3, "text_excerpt": "seen"}]
        return stored_payload(i, chain)
    raise AssertionError(field)


RECORD_FIELDS = [
    "prior_state_hash", "resulting_state_hash", "chain_hash", "source", "timestamp",
    "minimality_score", "content_shift_score", "structure_delta_score", "agm_type",
    "justification evidence",
]  # fmt: skip


def expect_refused(doc, pattern):
    with pytest.raises(ValueError) as e:
        K.from_records_json(json.dumps(doc))
    assert re.fullmatch(pattern, str(e.value)), str(e.value)


@pytest.mark.parametrize("field", RECORD_FIELDS)
@pytest.mark.parametrize("i", range(len(FULL_STEPS)), ids=OP_NAMES)
def test_tampered_record_member(i, field):
    doc = json.loads(FULL.records_to_json())
    expect_refused(doc, tamper_case(doc[i], i, field))


def _set(path, value):
    def change(operation):
        target = operation
        for key in path[:-1]:
            target = target[key]
        target[path[-1]] = value(target[path[-1]]) if callable(value) else value

    return change


EVIDENCE = [{"turn_number": 1, "text_excerpt": "said so"}]
NEW_ID = str(uuid.UUID(int=7))

# (record index, change to its operation, whether the resulting state changes)
OPERATION_TAMPERING = {
    "assert definition": (0, _set(["concept", "definition"], "other"), True),
    "assert created_at fraction": (2, _set(["concept", "created_at"], _later_fraction), True),
    "relate type": (3, _set(["relation", "relation_type"], "Explains"), True),
    "revise conflict set": (4, _set(["conflict_set"], lambda ids: ids + ids), False),
    "refine definition": (5, _set(["new_definition"], "beta, finest"), True),
    "reinforce evidence": (6, _set(["evidence"], EVIDENCE), True),
    "restructure justification": (7, _set(["justification"], "messy"), False),
    "restructure position": (7, _set(["new_nodes", 1, "position"], 4), True),
    "merge term": (8, _set(["merged_term"], "cb"), True),
    "split pair definition": (9, _set(["new_concepts", 1, "definition"], "z"), True),
    "retract reason": (10, _set(["reason"], "Contradiction"), False),
}


@pytest.mark.parametrize("i,change,state_changes", OPERATION_TAMPERING.values(), ids=OPERATION_TAMPERING)
def test_tampered_operation_field(i, change, state_changes):
    doc = json.loads(FULL.records_to_json())
    record = doc[i]
    change(record["operation"])
    if state_changes:
        expect_refused(doc, state_changed(record["resulting_state_hash"]))
    else:
        expect_refused(doc, replay_chain(i, record["chain_hash"]))


def build_two():
    return K().apply_assert("a", "alpha").apply_assert("b", "beta")


@pytest.mark.parametrize("i", range(len(FULL_STEPS)), ids=OP_NAMES)
def test_record_id_is_not_hashed(i):
    doc = json.loads(FULL.records_to_json())
    doc[i]["id"] = NEW_ID
    loaded = K.from_records_json(json.dumps(doc))
    assert loaded.all_records()[i]["id"] == NEW_ID
    assert loaded.state_hash() == FULL.state_hash()
    assert loaded.verify_chain_and_continuity() is True


@settings(max_examples=30)
@given(STEPS, st.integers(0, 10**6), st.sampled_from(RECORD_FIELDS))
def test_random_tampering_is_refused(steps, pick, field):
    s = run_steps(steps)
    doc = json.loads(s.records_to_json())
    assume(doc)
    i = pick % len(doc)
    expect_refused(doc, tamper_case(doc[i], i, field))


def test_operation_that_no_longer_applies():
    doc = json.loads(build_two().records_to_json())
    doc[1]["operation"]["concept"]["term"] = "a"
    with pytest.raises(ValueError) as e:
        K.from_records_json(json.dumps(doc))
    with pytest.raises(ValueError) as direct:
        build_two().apply_assert("a", "again")
    assert str(e.value) == str(direct.value)


# --------------------------------------------------------------- refusals

NOT_JSON = {
    "empty": "",
    "trailing data": "{} x",
    "lone surrogate escape": '["\\ud800"]',
    "deep nesting": "[" * 100_000,
}


@pytest.mark.parametrize("method", ["from_json", "from_records_json"])
@pytest.mark.parametrize("text", NOT_JSON.values(), ids=NOT_JSON)
def test_not_json(method, text):
    with pytest.raises(ValueError) as e:
        getattr(K, method)(text)
    assert str(e.value).startswith("invalid JSON: ") and len(str(e.value)) > len("invalid JSON: ")


READER_FAILURES = [
    ("from_json", "[]", "serialization error: missing or invalid concepts"),
    ("from_json", '{"concepts": {"x": {}}, "relations": {}, "structure": {}}', None),
    ("from_records_json", "{}", "serialization error: expected JSON array for records"),
]


@pytest.mark.parametrize("method,text,message", READER_FAILURES)
def test_reader_failures_are_value_errors(method, text, message):
    with pytest.raises(ValueError) as e:
        getattr(K, method)(text)
    assert str(e.value).startswith("serialization error: ")
    if message is not None:
        assert str(e.value) == message


def test_dangling_relation_is_refused():
    document = json.loads(build_two().apply_relate("a", "b", "supports").state_to_json())
    (relation,) = document["relations"].values()
    relation["to_concept"] = NEW_ID
    with pytest.raises(ValueError, match="^serialization error: "):
        K.from_json(json.dumps(document))


def test_failed_record_document_returns_nothing():
    """A document broken in its last record loads nothing at all."""
    doc = json.loads(FULL.records_to_json())
    del doc[-1]["operation"]
    with pytest.raises(ValueError, match="^serialization error: missing operation$"):
        K.from_records_json(json.dumps(doc))


class Text(str):
    pass


@pytest.mark.parametrize("method", ["from_json", "from_records_json"])
def test_json_str_argument(method):
    load = getattr(K, method)
    text = FULL.state_to_json() if method == "from_json" else FULL.records_to_json()
    assert load(json_str=text).state_hash() == FULL.state_hash()
    assert load(Text(text)).state_hash() == FULL.state_hash()
    for bad in (5, None, text.encode()):
        with pytest.raises(TypeError, match="json_str"):
            load(bad)
    with pytest.raises(UnicodeEncodeError):
        load('{"\ud800": 1}')
