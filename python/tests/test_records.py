"""Record dicts: last_record, record_count, all_records."""

import re

import pytest

import kelvora

K = kelvora.PyKnowledgeState

RECORD_KEYS = ["id", "timestamp", "prior_state_hash", "resulting_state_hash", "chain_hash", "operation_type",
               "operation_details", "source", "justification"]  # fmt: skip
JUSTIFICATION_KEYS = ["agm_type", "minimality_score", "content_shift_score", "structure_delta_score"]
NODE_KEYS = ["id", "title", "node_type", "position", "parent", "content_hash", "concept_refs"]
HEX64 = re.compile(r"[0-9a-f]{64}")
UUID = re.compile(r"[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}")
RFC3339 = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{3}|\.\d{6}|\.\d{9})?\+00:00")

NODE = {"title": "Top", "node_type": "section", "position": 2, "concept_terms": ["a"]}

# operation, call, detail keys, agm type
OPERATIONS = [
    ("assert", lambda s: s.apply_assert("z", "zed"), ["concept_id", "term", "definition"], "Expansion"),
    ("revise", lambda s: s.apply_revise("a", "new", ["b"]),
     ["concept_id", "new_definition", "conflict_set", "evidence_count"], "Revision"),
    ("retract", lambda s: s.apply_retract("a"), ["concept_id", "reason"], "Contraction"),
    ("relate", lambda s: s.apply_relate("a", "b", "tension"),
     ["relation_id", "from_concept", "to_concept", "relation_type"], "Expansion"),
    ("restructure", lambda s: s.apply_restructure([NODE], "tidy"),
     ["justification", "old_structure_hash", "new_nodes"], "Revision"),
    ("refine", lambda s: s.apply_refine("a", "finer"), ["concept_id", "new_definition", "evidence_count"], "Expansion"),
    ("merge", lambda s: s.apply_merge(["a", "b"], "ab", "both"),
     ["concept_ids", "merged_term", "merged_definition", "evidence_count"], "Revision"),
    ("reinforce", lambda s: s.apply_reinforce("a"), ["concept_id", "evidence_count"], "Expansion"),
    ("split", lambda s: s.apply_split("a", [("a1", "one"), ("a2", "two")]),
     ["concept_id", "new_concepts", "evidence_count"], "Revision"),
]  # fmt: skip


@pytest.fixture
def base():
    return K().apply_assert("a", "alpha").apply_assert("b", "beta")


def test_fresh_object_has_no_records():
    s = K()
    assert s.last_record() is None
    assert s.all_records() == []
    assert s.record_count() == 0


@pytest.mark.parametrize("kind,call,detail_keys,agm", OPERATIONS, ids=[o[0] for o in OPERATIONS])
def test_record_dict_shape(base, kind, call, detail_keys, agm):
    after = call(base)
    record = after.last_record()
    assert list(record) == RECORD_KEYS
    assert record["operation_type"] == kind
    assert list(record["operation_details"]) == detail_keys
    assert record["source"] == "UserExplicit"
    assert UUID.fullmatch(record["id"])
    assert RFC3339.fullmatch(record["timestamp"])
    for key in ("prior_state_hash", "resulting_state_hash", "chain_hash"):
        assert HEX64.fullmatch(record[key])
    assert record["prior_state_hash"] == base.state_hash()
    assert record["resulting_state_hash"] == after.state_hash()
    justification = record["justification"]
    assert list(justification) == JUSTIFICATION_KEYS
    assert justification["agm_type"] == agm
    assert isinstance(justification["minimality_score"], float)
    for key in ("content_shift_score", "structure_delta_score"):
        assert justification[key] is None or isinstance(justification[key], float)
    assert record["operation_details"].get("evidence_count", 0) == 0
    assert after.all_records()[-1] == record
    assert after.record_count() == base.record_count() + 1


def test_first_assert_record(base):
    empty = K()
    one = empty.apply_assert("apple", "a fruit")
    record = one.last_record()
    assert record["prior_state_hash"] == empty.state_hash()
    assert record["resulting_state_hash"] == one.state_hash()
    assert record["justification"] == {
        "agm_type": "Expansion",
        "minimality_score": 1.0,
        "content_shift_score": 1.0,
        "structure_delta_score": None,
    }
    assert record["operation_details"] == {
        "concept_id": one.get_concept_id("apple"),
        "term": "apple",
        "definition": "a fruit",
    }


def test_details_values(base):
    a, b = base.get_concept_id("a"), base.get_concept_id("b")
    retract = base.apply_retract("a").last_record()["operation_details"]
    assert retract == {"concept_id": a, "reason": "UserExplicit"}
    relate = base.apply_relate("b", "a", "derives_from").last_record()["operation_details"]
    assert (relate["from_concept"], relate["to_concept"], relate["relation_type"]) == (b, a, "DerivesFrom")
    merge = base.apply_merge(["b", "a"], "ab", "both").last_record()["operation_details"]
    assert merge == {"concept_ids": [b, a], "merged_term": "ab", "merged_definition": "both", "evidence_count": 0}


def test_split_pairs_are_lists(base):
    details = base.apply_split("a", [("a1", "one"), ("a2", "two")]).last_record()["operation_details"]
    assert details["new_concepts"] == [["a1", "one"], ["a2", "two"]]
    assert all(type(pair) is list for pair in details["new_concepts"])


def test_restructure_node_dicts(base):
    nodes = [NODE, {"title": "Sub", "node_type": "para", "position": 0, "parent_index": 0}]
    after = base.apply_restructure(nodes, "tidy")
    details = after.last_record()["operation_details"]
    assert details["old_structure_hash"] == base.structure_hash()
    top, sub = details["new_nodes"]
    for n in (top, sub):
        assert list(n) == NODE_KEYS
        assert n["content_hash"] == "0" * 64
        assert UUID.fullmatch(n["id"])
    assert (top["title"], top["node_type"], top["position"], top["parent"]) == ("Top", "section", 2, None)
    assert top["concept_refs"] == [base.get_concept_id("a")]
    assert sub["parent"] == top["id"] and sub["concept_refs"] == []


def test_dicts_are_fresh_copies(base):
    first, second = base.all_records(), base.all_records()
    assert first == second and first is not second
    assert first[0] is not second[0]
    first[0]["operation_details"]["term"] = "changed"
    first.append("junk")
    last = base.last_record()
    last["justification"]["agm_type"] = "Contraction"
    assert base.all_records() == second
    assert base.last_record()["justification"]["agm_type"] == "Expansion"
    assert second[0]["operation_details"]["term"] == "a"


def test_all_records_while_finalisers_extend_the_history():
    """A collection during all_records() may run finalisers that extend the
    very history being read; the records read must stay where they are."""
    import gc

    base = K()
    for i in range(64):
        base = base.apply_assert(f"t{i}", "d")
    expected = base.all_records()
    tip = {"state": base, "left": 300}

    class Hook:
        # Each finaliser extends the shared history in place and leaves a new
        # cycle behind, so that the next collection does it again.
        def __del__(self):
            if tip["left"] > 0:
                tip["left"] -= 1
                tip["state"] = tip["state"].apply_assert(f"x{tip['left']}", "d")
                again = Hook()
                again.cycle = again

    read = base.all_records
    threshold = gc.get_threshold()
    gc.disable()
    try:
        hook = Hook()
        hook.cycle = hook
        del hook
        gc.set_threshold(1)
        gc.enable()
        records = read()
    finally:
        gc.set_threshold(*threshold)
        gc.enable()
        tip["left"] = 0
    gc.collect()
    assert records == expected
    assert tip["state"].all_records()[:64] == expected
