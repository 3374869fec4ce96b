"""Term lookups against a walk over the concepts, and state documents whose
members come in any order against the same documents in the writers' order."""

import json
import random
import uuid

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import kelvora
from test_documents import FULL_STEPS, STEPS, apply_step, run_steps

K = kelvora.PyKnowledgeState

ABSENT = ["", "no such term", "A", "a "]


def walked(document, term, any_status):
    """The straightforward lookup: the first concept in identifier order."""
    for key in sorted(document["concepts"], key=lambda k: uuid.UUID(k).bytes):
        c = document["concepts"][key]
        if c["term"] == term and (any_status or c["status"] == "Active"):
            return key, c["definition"]
    return None, None


def assert_lookups_walk(s):
    document = json.loads(s.state_to_json())
    terms = [c["term"] for c in document["concepts"].values()] + ABSENT
    for term in terms:
        key, _ = walked(document, term, any_status=False)
        assert s.get_concept_id(term) == key, term
        _, definition = walked(document, term, any_status=True)
        assert s.get_concept_definition(term) == definition, term


def history_states(steps):
    """Every state along a random history (each is looked up after the later
    ones were made from it)."""
    states = [K()]
    for step in steps:
        try:
            states.append(apply_step(states[-1], *step))
        except ValueError:
            pass  # a step the state refuses
    return states


@settings(max_examples=40)
@given(STEPS)
def test_lookups_agree_with_the_walk_along_histories(steps):
    states = history_states(steps)
    for s in states:
        assert_lookups_walk(s)
    last = states[-1]
    assert_lookups_walk(K.from_json(last.state_to_json()))
    assert_lookups_walk(K.from_records_json(last.records_to_json()))


def _renamed(document, key, new_key, **changes):
    concept = dict(document["concepts"][key], id=new_key, **changes)
    document["concepts"][new_key] = concept


@pytest.mark.parametrize("status", ["Superseded", "Coexisting"])
@pytest.mark.parametrize("before", [True, False], ids=["lower id", "higher id"])
def test_lookups_over_loaded_duplicates(status, before):
    """A loaded document may hold a term many times among statuses; the
    Active one answers get_concept_id, the first of any status answers
    get_concept_definition, before and after further operations."""
    s = FULL_STEPS[2](FULL_STEPS[1](FULL_STEPS[0](K())))
    document = json.loads(s.state_to_json())
    for key, c in list(document["concepts"].items()):
        high = int(key.replace("-", ""), 16)
        other = (high - 1) if before else (high + 1)
        new_key = str(uuid.UUID(int=other % (1 << 128)))
        _renamed(document, key, new_key, status=status, definition="copy of " + c["term"])
    loaded = K.from_json(json.dumps(document))
    assert_lookups_walk(loaded)
    later = loaded.apply_refine("a", "refined").apply_merge(["a", "b"], "c2", "m")
    assert_lookups_walk(later)
    assert_lookups_walk(later.apply_retract("c2"))


# ------------------------------------------------------------ key order


def reordered(value, rng):
    """The same JSON value with the members of every object shuffled."""
    if isinstance(value, list):
        return [reordered(v, rng) for v in value]
    if not isinstance(value, dict):
        return value
    keys = list(value)
    rng.shuffle(keys)
    return {k: reordered(value[k], rng) for k in keys}


def load(text):
    """The loaded state's document, or the refusal's message."""
    try:
        return "ok", K.from_json(text).state_to_json()
    except ValueError as e:
        return "refused", str(e)


def first_of(document, part):
    return next(iter(document[part].values()), None)


# Edits of a document that the reader refuses or reads differently; each is
# made on one object, found the same way in both orders.
CORRUPTIONS = {
    "none": lambda d: None,
    "missing term": lambda d: first_of(d, "concepts") and first_of(d, "concepts").pop("term"),
    "bad status": lambda d: first_of(d, "concepts") and first_of(d, "concepts").update(status="Gone"),
    "unknown member": lambda d: first_of(d, "concepts") and first_of(d, "concepts").update(zz=1),
    "dangling relation": lambda d: first_of(d, "relations")
    and first_of(d, "relations").update(to_concept=str(uuid.UUID(int=7))),
    "bad position": lambda d: first_of(d, "structure") and first_of(d, "structure").update(position=-1),
    "no relations": lambda d: d.pop("relations"),
    "upper-case key": lambda d: d["concepts"]
    and d["concepts"].update({k.upper(): v for k, v in [d["concepts"].popitem()]}),
    "hash not a string": lambda d: d.update(state_hash=5),
}


@settings(max_examples=60)
@given(STEPS, st.integers(0, 2**32), st.sampled_from(sorted(CORRUPTIONS)), st.sampled_from([None, 2]))
def test_documents_in_any_member_order_load_alike(steps, seed, corruption, indent):
    s = run_steps(steps)
    document = json.loads(s.state_to_json())
    CORRUPTIONS[corruption](document)
    in_order = json.dumps(document, indent=indent, sort_keys=True)
    shuffled = json.dumps(reordered(document, random.Random(seed)), indent=indent)
    assert load(shuffled) == load(in_order)
    if corruption == "none":
        assert load(shuffled) == ("ok", s.state_to_json())
        assert K.from_json(shuffled).state_hash() == s.state_hash()
