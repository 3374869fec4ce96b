"""History queries, diffs, extraction classification and the AGM report of PyKnowledgeState."""

import math

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from test_documents import STEPS, run_steps

import kelvora

K = kelvora.PyKnowledgeState
CONCEPT_KEYS = ["concepts_added", "concepts_removed", "concepts_modified", "relations_added", "relations_removed"]
DIFF_KEYS = CONCEPT_KEYS + ["structure_added", "structure_removed", "structure_modified"]
NODE = {"title": "Intro", "node_type": "section", "position": 0, "concept_terms": ["alpha"]}


def build(*terms):
    s = K()
    for t in terms:
        s = s.apply_assert(t, f"def of {t}")
    return s


def outcome(call):
    try:
        return call()
    except ValueError as e:
        return str(e)


def test_diff_names_entries_in_the_stated_states():
    s = build("alpha", "beta")
    empty = s.diff(s)
    assert list(empty) == DIFF_KEYS and not any(empty.values())
    t = s.apply_retract("alpha").apply_assert("gamma", "g").apply_restructure([NODE | {"concept_terms": []}], "j")
    d = s.diff(t)
    assert (d["concepts_added"], d["concepts_removed"], d["structure_added"]) == (["gamma"], ["alpha"], ["Intro"])
    assert t.diff(s)["structure_removed"] == ["Intro"]
    with pytest.raises(TypeError, match="other"):
        s.diff("state")


def test_state_at_shares_the_prefix():
    s = build("a", "b", "c")
    first = s.state_at(0)
    assert first.all_records() == s.all_records()[:1] and first.verify_chain_and_continuity()
    assert first.state_hash() == s.all_records()[0]["resulting_state_hash"]
    assert s.state_at(2).state_hash() == s.state_hash()
    assert outcome(lambda: K().state_at(0)) == "conflict detected: index 0 out of range (records len = 0)"
    with pytest.raises(OverflowError):
        s.state_at(-1)


def test_loaded_then_evolved_object_replays_from_empty():
    loaded = K.from_json(build("a").state_to_json()).apply_refine("a", "finer")
    message = f"concept not found: {loaded.get_concept_id('a')}"
    for call in (lambda: loaded.state_at(0), lambda: loaded.range_diff(0, 0), loaded.convergence_trajectory):
        assert outcome(call) == message
    assert loaded.concept_history("a") == []


def test_range_diff():
    s = build("a", "b", "c")
    unchanged = dict.fromkeys(CONCEPT_KEYS[:3], []) | dict.fromkeys(CONCEPT_KEYS[3:], 0)
    assert s.range_diff(from_index=1, to_index=1) == unchanged
    assert sorted(s.range_diff(0, 2)["concepts_added"]) == ["b", "c"]
    assert outcome(lambda: s.range_diff(2, 1)) == "conflict detected: from_index 2 > to_index 1"
    assert outcome(lambda: s.range_diff(1, 5)) == "conflict detected: index 5 out of range (records len = 3)"


@settings(max_examples=40)
@given(STEPS, st.integers(0, 11), st.integers(0, 11))
def test_range_diff_equals_the_diff_of_two_states(steps, a, b):
    s = run_steps(steps)

    def two_states():
        if a > b:
            raise ValueError(f"conflict detected: from_index {a} > to_index {b}")
        d = s.state_at(a).diff(s.state_at(b))
        return {k: d[k] for k in CONCEPT_KEYS}

    assert outcome(lambda: s.range_diff(a, b)) == outcome(two_states)


def test_concept_history_through_a_merge():
    s = build("a", "b").apply_merge(["a", "b"], "ab", "merged").apply_refine("ab", "finer")
    assert [h["operation_type"] for h in s.concept_history(" A ")] == ["assert", "merge_source"]
    (entry,) = s.concept_history("AB")
    assert entry == {"record_index": 3, "operation_type": "refine", "definition": "finer", "confidence": None,
                     "timestamp": s.all_records()[3]["timestamp"]}  # fmt: skip
    assert s.concept_history("a")[0]["confidence"] == 1.0 and s.concept_history("zz") == []


def test_convergence_trajectory():
    assert K().convergence_trajectory() == []
    s = build("a", "b").apply_relate("a", "b", "contradicts").apply_refine("a", "finer")
    points = s.convergence_trajectory(direction_window=2)
    assert list(points[0]) == ["record_index", "coherence_score", "contradiction_count", "concept_count", "direction"]
    assert [tuple(p.values()) for p in points] == [
        (0, 1.0, 0, 1, "Broadening"), (1, 1.0, 0, 2, "Broadening"),
        (2, pytest.approx(0.3), 1, 2, "Broadening"), (3, pytest.approx(0.3), 1, 2, "Deepening"),
    ]  # fmt: skip
    assert s.convergence_trajectory()[3]["direction"] == "Broadening"
    with pytest.raises(TypeError):
        s.convergence_trajectory(None)


@pytest.mark.parametrize(
    "threshold,message",
    [(math.nan, "finite, got NaN"), (math.inf, "finite, got inf"), (-math.inf, "finite, got -inf"),
     (1.5, "within [0, 1], got 1.5"), (2, "within [0, 1], got 2"), (-1e-3, "within [0, 1], got -0.001")],
)  # fmt: skip
def test_refine_threshold_is_checked(threshold, message):
    assert outcome(lambda: build("a").classify_extraction("a", "x", threshold)) == "refine_threshold must be " + message


def test_classify_extraction():
    s = build("apple")
    cid = s.get_concept_id("apple")
    reinforce = {"classification": "reinforce", "concept_id": cid, "similarity": 1.0}
    assert s.classify_extraction(" Apple", "DEF of apple.") == reinforce
    assert s.classify_extraction("pear", "x") == {"classification": "assert", "concept_id": None, "similarity": None}
    for threshold, kind in [(None, "refine"), (-0.0, "refine"), (0, "refine"), (1.0, "revise"), (0.6, "revise")]:
        assert s.classify_extraction("apple", "def of pear", refine_threshold=threshold)["classification"] == kind


def test_agm_report():
    assert outcome(lambda: K().agm_report(K())) == "no operation has been applied to this state"
    s = build("a")
    t = s.apply_assert("b", "d")
    report = t.agm_report(before=s)
    assert report == {"closure": "satisfied", "success": "satisfied", "vacuity": "not_applicable",
                      "consistency": "satisfied", "minimality_score": 1.0, "all_satisfied": True}  # fmt: skip
    assert list(report) == ["closure", "success", "vacuity", "consistency", "minimality_score", "all_satisfied"]
    u = build("a", "b").apply_revise("a", "new", ["b"])
    assert u.agm_report(u)["vacuity"].startswith("violated: no Contradicts relations found")
    assert u.agm_report(u)["all_satisfied"] is False
    with pytest.raises(TypeError, match="before"):
        t.agm_report(None)


def test_no_leaks(assert_no_leaks):
    s = build("alpha", "beta").apply_relate("alpha", "beta", "contradicts").apply_restructure([NODE], "j")

    def exercise():
        s.diff(s), s.state_at(1), s.range_diff(0, 3), s.concept_history("alpha"), s.convergence_trajectory(1)
        s.classify_extraction("alpha", "def", 0.5), s.agm_report(s)
        for call in (lambda: s.state_at(9), lambda: s.classify_extraction("a", "b", 2.0)):
            outcome(call)

    assert_no_leaks(exercise, [s], warmup=5, rounds=50)
