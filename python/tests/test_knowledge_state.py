"""PyKnowledgeState: construction, accessors, term lookup and the evolution methods."""

import collections.abc
import inspect
import random
import weakref

import pytest

import kelvora

K = kelvora.PyKnowledgeState

VALID_RELATIONS = (
    "derives_from, contradicts, exemplifies, tension, subsumes, enables, supports, "
    "explains, extends, qualifies, contrasts, motivates, necessitates, operationalizes, "
    "reframes, completes, independent"
)

# (name, parameters, help text) in method-table order.
METHODS = [
    ("state_hash", [], "Returns the SHA-256 hex digest of the current state."),
    ("structure_hash", [], "Returns the SHA-256 hex digest of the current structure."),
    ("concept_count", [], "Returns the number of concepts in the state."),
    ("relation_count", [], "Returns the number of relations in the state."),
    ("structure_count", [], "Returns the number of structure nodes in the state."),
    ("is_empty", [], "Returns whether the state is empty."),
    ("concept_terms", [], "Returns a list of concept terms in the state."),
    ("get_concept_id", ["term"], "Returns the concept UUID string for a given term, or None if not found.\n"
     "Only returns active concepts (not retracted)."),
    ("get_concept_definition", ["term"], "Returns a concept's definition by term, or None if not found."),
    ("apply_assert", ["term", "definition"], "Assert a new concept. Returns a new state."),
    ("apply_retract", ["term"], "Retract a concept by term. Returns a new state."),
    ("apply_relate", ["from_term", "to_term", "relation_type"],
     "Add a relation between two concepts (by term). Returns a new state."),
    ("apply_revise", ["term", "new_definition", "conflict_terms"],
     "Revise a concept's definition with a conflict set. Returns a new state."),
    ("apply_refine", ["term", "new_definition"],
     "Refine a concept's definition (non-conflicting update). Returns a new state."),
    ("apply_restructure", ["new_nodes", "justification"], "Replace the structure with new nodes. Returns a new state."),
    ("apply_merge", ["terms", "merged_term", "merged_definition"],
     "Merge multiple concepts into one. Takes a list of terms, the merged term, and merged definition."),
    ("apply_reinforce", ["term"],
     "Reinforce a concept (confirm without changing). Bumps confidence and adds evidence."),
    ("apply_split", ["term", "new_concepts"], "Split a concept into multiple new concepts. Takes the original term "
     "and a list of (term, definition) pairs."),
    ("last_record", [], "Returns the last EvolutionRecord as a dict, or None if no operation has been applied."),
    ("record_count", [], "Returns the number of evolution records in the chain."),
    ("all_records", [], "Returns all evolution records as a list of dicts."),
    ("classify_extraction", ["term", "definition", "refine_threshold"],
     "Classify an extracted concept against current state using Jaccard similarity.\n\n"
     'Returns a dict with classification ("assert", "refine", "revise" or "reinforce"),\n'
     'concept_id and similarity (both None for "assert").'),
    ("diff", ["other"], "Compute the diff between this state and another.\n\n"
     "Returns a dict with the terms of concepts_added, concepts_removed and\n"
     "concepts_modified, the counts relations_added and relations_removed, and the\n"
     "titles of structure_added, structure_removed and structure_modified."),
    ("coherence_report", [], "Compute coherence metrics over the current state and accumulated records.\n\n"
     "Returns a dict with:\n"
     '  - "unresolved_contradictions": list of [term_a, term_b] pairs\n'
     '  - "coherence_score": float [0.0\u20131.0]\n'
     '  - "is_equilibrium": bool\n'
     '  - "concept_stability": dict of term \u2192 stability dict'),
    ("concept_stability_report", ["term"], "Compute stability metrics for a single concept by term.\n\n"
     "Returns a dict with:\n"
     '  - "semantic_version": [major, minor]\n'
     '  - "total_transitions": int\n'
     '  - "records_since_last_change": int\n'
     '  - "volatility": float\n'
     '  - "definition_arc": list of {record_index, operation_type, definition}'),
    ("epistemic_direction_report", ["window_size"], "Analyse the epistemic direction of accumulated records.\n\n"
     "Returns a dict with:\n"
     '  - "assert_ratio": float\n'
     '  - "refine_ratio": float\n'
     '  - "revise_ratio": float\n'
     '  - "direction": "Broadening" | "Deepening" | "Restructuring"\n'
     '  - "trend": list of [window_start, direction_string]'),
    ("argumentation_status_report", [], "Compute argumentation status from Contradicts relations.\n\n"
     "Returns a dict with:\n"
     '  - "attacked": list of terms\n'
     '  - "defended": list of terms\n'
     '  - "uncontested": list of terms\n'
     '  - "grounded_extension": list of terms'),
    ("agm_report", ["before"], "Full AGM compliance report for the operation that produced THIS state,\n"
     "relative to `before` (the predecessor state the operation was applied to).\n"
     "\n"
     "This is the proof-carrying verifier the YRP determinism boundary relies on:\n"
     "the four AGM postulate checks + the minimal-change score, computed by the\n"
     "symbolic engine, never by a learned model.\n"
     "\n"
     "Returns a dict with closure, success, vacuity and consistency (each\n"
     '"satisfied", "violated: <reason>" or "not_applicable"), minimality_score and\n'
     "all_satisfied.\n"
     "Raises ValueError if no operation has been applied to this state."),
    ("concept_statuses", [], "Per-concept status dump: maps each concept's UUID string to\n"
     '{"term": str, "status": str}, with status e.g. "Active" or "Superseded".\n'
     "\n"
     "Diff this across before/after to compute the SURRENDERED SET \u2014 the\n"
     "concepts the operator gave up (Active \u2192 Superseded, or Active \u2192 absent).\n"
     "This is the C2 (minimal-change / entrenchment choice) label."),
    ("impact_radius_report", ["term"], "Compute downstream impact of a concept via DerivesFrom chains.\n\n"
     "Returns a dict with:\n"
     '  - "downstream_concepts": list of terms\n'
     '  - "affected_structure": list of structure node titles\n'
     '  - "radius": int (max derivation depth)'),
    ("relation_analytics_report", [], "Analyse relations in the current state.\n\n"
     "Returns a dict with:\n"
     '  - "type_distribution": dict of relation_type \u2192 count\n'
     '  - "concept_centrality": dict of term \u2192 float\n'
     '  - "dead_relations": int (count of dead relations)\n'
     '  - "clusters": list of lists of terms (connected components)'),
    ("source_analytics_report", [], "Analyse operation sources across accumulated records.\n\n"
     "Returns a dict with:\n"
     '  - "user_verified_ratio": float\n'
     '  - "override_count": int\n'
     '  - "confirmation_latency": list of [term, latency]\n'
     '  - "source_distribution": dict of source_type \u2192 count\n'
     '  - "reinforce_count": int'),
    ("state_at", ["index"], "Reconstruct the knowledge state at a specific record index.\n\n"
     "Returns a new PyKnowledgeState representing the state after records[0..=index].\n"
     "This is a lightweight replay (no chain-hash verification)."),
    ("concept_history", ["term"], "Get the full evolution history of a concept by term.\n\n"
     "Returns a list of dicts (record_index, operation_type, definition, confidence,\n"
     "timestamp), one per record that touched a concept holding the term, in record order."),
    ("range_diff", ["from_index", "to_index"], "Compute the diff between two points in the evolution chain.\n\n"
     "Returns a dict with the terms of concepts_added, concepts_removed and\n"
     "concepts_modified and the counts relations_added and relations_removed."),
    ("convergence_trajectory", ["direction_window"],
     "Compute the convergence trajectory over the full evolution history.\n\n"
     "Returns a list of dicts, one per record (record_index, coherence_score,\n"
     "contradiction_count, concept_count, direction), in record order."),
]  # fmt: skip


def build(*terms):
    s = K()
    for t in terms:
        s = s.apply_assert(t, f"def of {t}")
    return s


def snapshot(s):
    """Everything an object shows; equal snapshots mean an unchanged object."""
    return (
        s.state_hash(),
        s.structure_hash(),
        s.concept_statuses(),
        s.record_count(),
        s.all_records(),
        s.relation_count(),
        s.structure_count(),
    )


# ---------------------------------------------------------------- the class


def test_fresh_object():
    s = K()
    assert s.record_count() == 0
    assert s.is_empty() is True
    assert (s.concept_count(), s.relation_count(), s.structure_count()) == (0, 0, 0)
    assert s.concept_terms() == [] and s.concept_statuses() == {}
    assert s.get_concept_id("anything") is None
    h = s.state_hash()
    assert len(h) == 64 and h == h.lower() and set(h) != {"0"}
    assert K().state_hash() == h


@pytest.mark.parametrize(
    "make",
    [lambda: K(1), lambda: K(x=1)],
    ids=["positional", "keyword"],
)
def test_constructor_takes_no_arguments(make):
    with pytest.raises(TypeError):
        make()


def test_class_shape():
    s = K()
    assert K.__name__ == K.__qualname__ == "PyKnowledgeState"
    assert K.__module__ == "builtins"
    assert K.__text_signature__ == "()"
    assert "KnowledgeState" in K.__doc__ and "wrapper" in K.__doc__
    with pytest.raises(TypeError):
        type("Sub", (K,), {})
    assert not hasattr(s, "__dict__")
    with pytest.raises(AttributeError):
        s.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(s)


@pytest.mark.parametrize("name,params,help_text", METHODS, ids=[m[0] for m in METHODS])
def test_introspection(name, params, help_text):
    method = getattr(K(), name)
    assert method.__doc__ == help_text
    assert list(inspect.signature(method).parameters) == params


def test_stored_signatures_mark_the_receiver():
    # "$self" keeps the receiver out of the parameters a caller can name.
    for name, member in vars(K).items():
        if name.startswith("_"):
            continue
        if isinstance(member, staticmethod):
            signature = getattr(K, name).__text_signature__
            assert not signature.startswith("($self"), name
        else:
            signature = member.__text_signature__
            assert signature.startswith("($self"), name


def test_method_table_order():
    mine = [m[0] for m in METHODS]
    in_class = [n for n in vars(K) if n in mine]
    assert in_class == mine
    # Table positions 1 to 21 come first; concept_statuses sits further down.
    public = [n for n in vars(K) if not n.startswith("_")]
    assert public[:21] == mine[:21]


# ---------------------------------------------------------------- accessors and lookup


def test_superseded_concept_stays_visible_but_not_resolvable():
    s = build("a", "b").apply_merge(["a", "b"], "ab", "merged")
    assert s.concept_count() == 3
    assert sorted(s.concept_terms()) == ["a", "ab", "b"]
    assert s.get_concept_id("a") is None
    assert s.get_concept_definition("a") == "def of a"
    statuses = s.concept_statuses()
    assert sorted(v["status"] for v in statuses.values()) == ["Active", "Superseded", "Superseded"]
    for key, value in statuses.items():
        assert list(value) == ["term", "status"]
        assert s.get_concept_id(value["term"]) in (key, None)
    # Keys in id order; terms in the same order as concept_terms().
    assert list(statuses) == sorted(statuses)
    assert [v["term"] for v in statuses.values()] == s.concept_terms()


@pytest.mark.parametrize("probe", [" apple", "Apple", "apple ", "APPLE", "appl"])
def test_term_lookup_is_byte_exact(probe):
    s = build("apple")
    assert s.get_concept_id(probe) is None
    assert s.get_concept_definition(probe) is None
    with pytest.raises(ValueError) as e:
        s.apply_reinforce(probe)
    assert str(e.value) == f"concept not found: {probe}"


def test_get_concept_id_is_uuid_text():
    s = build("apple")
    cid = s.get_concept_id("apple")
    assert cid == s.last_record()["operation_details"]["concept_id"]
    assert len(cid) == 36 and cid.count("-") == 4 and cid == cid.lower()


# ---------------------------------------------------------------- immutability


def _calls():
    """(description, call on a prepared receiver) for every evolution method."""
    node = {"title": "T", "node_type": "section", "position": 0, "concept_terms": ["a"]}
    return [
        ("assert", lambda s: s.apply_assert("z", "new")),
        ("assert-dup", lambda s: s.apply_assert("a", "again")),
        ("retract", lambda s: s.apply_retract("a")),
        ("relate", lambda s: s.apply_relate("a", "b", "supports")),
        ("relate-bad", lambda s: s.apply_relate("a", "b", "supportz")),
        ("revise", lambda s: s.apply_revise("a", "new", ["b"])),
        ("refine", lambda s: s.apply_refine("a", "finer")),
        ("restructure", lambda s: s.apply_restructure([node], "why")),
        ("restructure-bad", lambda s: s.apply_restructure([{"title": "T"}], "why")),
        ("merge", lambda s: s.apply_merge(["a", "b"], "ab", "m")),
        ("reinforce", lambda s: s.apply_reinforce("a")),
        ("split", lambda s: s.apply_split("a", [("a1", "x"), ("a2", "y")])),
        ("split-type", lambda s: s.apply_split("a", [["a1", "x"]])),
    ]


@pytest.mark.parametrize("desc,call", _calls(), ids=[c[0] for c in _calls()])
def test_receiver_and_others_unchanged(desc, call):
    base = build("a", "b")
    other = base.apply_assert("c", "other")
    before, other_before = snapshot(base), snapshot(other)
    try:
        result = call(base)
    except (ValueError, TypeError):
        result = None
    assert snapshot(base) == before
    assert snapshot(other) == other_before
    if result is not None:
        assert result.record_count() == base.record_count() + 1
        assert result.all_records()[:-1] == base.all_records()
        assert result.last_record()["prior_state_hash"] == base.state_hash()


def test_two_applies_on_one_receiver_give_independent_histories():
    s = K()
    x = s.apply_assert("apple", "one")
    y = s.apply_assert("apple", "two")
    assert s.record_count() == 0
    assert x.record_count() == y.record_count() == 1
    rx, ry = x.last_record(), y.last_record()
    assert rx["id"] != ry["id"] and rx["chain_hash"] != ry["chain_hash"]
    assert rx["prior_state_hash"] == ry["prior_state_hash"] == s.state_hash()


@pytest.mark.parametrize("seed", range(6))
def test_shared_histories_under_random_branching(seed):
    """Objects applied to, kept, dropped and branched at random each keep
    exactly the records that produced them."""
    rng = random.Random(seed)
    pool = [(K(), [])]
    for step in range(300):
        source, expected = rng.choice(pool)
        result = source.apply_assert(f"t{step}", "d")
        ids = expected + [result.last_record()["id"]]
        if rng.random() < 0.6:
            pool.append((result, ids))
        del result
        if len(pool) > 1 and rng.random() < 0.4:
            pool.pop(rng.randrange(len(pool)))
        for obj, want in pool:
            assert obj.record_count() == len(want)
            assert [r["id"] for r in obj.all_records()] == want
    for obj, want in pool:
        records = obj.all_records()
        for prev, cur in zip(records, records[1:]):
            assert cur["prior_state_hash"] == prev["resulting_state_hash"]


# ---------------------------------------------------------------- relate


@pytest.mark.parametrize(
    "text,expected",
    [
        ("SUPPORTS", "Supports"),
        ("derives_from", "DerivesFrom"),
        ("derivesfrom", "DerivesFrom"),
        ("DerivesFrom", "DerivesFrom"),
        ("OperationaLizes", "Operationalizes"),
    ],
)
def test_relation_type_accepted(text, expected):
    s = build("a", "b").apply_relate("a", "b", text)
    details = s.last_record()["operation_details"]
    assert details["relation_type"] == expected
    assert list(details) == ["relation_id", "from_concept", "to_concept", "relation_type"]
    assert details["from_concept"] == s.get_concept_id("a")
    assert s.relation_count() == 1


@pytest.mark.parametrize("idx", range(11))
def test_detector_relations_are_accepted(idx):
    name = kelvora.relation_from_detector_index(idx)
    s = build("a", "b").apply_relate("a", "b", name)
    assert s.last_record()["operation_details"]["relation_type"].lower() == name.replace("_", "")


@pytest.mark.parametrize(
    "text", ["derives-from", " supports", "supports ", "support", "", "Supp\u0131rts", "\u212a"]
)
def test_relation_type_refused(text):
    with pytest.raises(ValueError) as e:
        build("a", "b").apply_relate("a", "b", text)
    assert str(e.value) == f"unknown relation type: '{text}'. Valid: {VALID_RELATIONS}"


@pytest.mark.parametrize(
    "args,message",
    [
        (("x", "b", "bogus"), "concept not found: x"),
        (("a", "y", "bogus"), "concept not found: y"),
        (("x", "y", "supports"), "concept not found: x"),
    ],
)
def test_relate_terms_before_relation_type(args, message):
    with pytest.raises(ValueError) as e:
        build("a", "b").apply_relate(*args)
    assert str(e.value) == message


# ---------------------------------------------------------------- revise, merge, split


def test_revise_checks():
    s = build("a", "b")
    with pytest.raises(ValueError) as e:
        s.apply_revise("a", "new", ["nope"])
    assert str(e.value) == "concept not found: nope"
    r = s.apply_revise("a", "new", ["b", "a", "b"]).last_record()["operation_details"]
    ids = [s.get_concept_id(t) for t in ("b", "a", "b")]
    assert r["conflict_set"] == ids


def test_merge_passes_terms_in_order_and_refuses_a_repeated_one():
    s = build("a", "b", "c")
    m = s.apply_merge(["c", "a", "b"], "abc", "merged")
    details = m.last_record()["operation_details"]
    assert details["concept_ids"] == [s.get_concept_id(t) for t in ("c", "a", "b")]
    before = snapshot(s)
    for terms, message in [
        (["a", "zz", "qq"], "concept not found: zz"),
        (["a", "zz", "a"], "concept not found: zz"),
        (["b", "a", "b"], f"conflict detected: cannot Merge concept {s.get_concept_id('b')} more than once"),
        (["a", "a"], f"conflict detected: cannot Merge concept {s.get_concept_id('a')} more than once"),
    ]:
        with pytest.raises(ValueError) as e:
            s.apply_merge(terms, "c", "m")
        assert str(e.value) == message
    assert snapshot(s) == before


@pytest.mark.parametrize(
    "new_concepts,exc,message",
    [
        ([("a1", "x"), ["a2", "y"]], TypeError, "new_concepts"),
        ([("a1", "x", "z")], ValueError, "expected tuple of length 2, but got tuple of length 3"),
        ([("a1",)], ValueError, "expected tuple of length 2, but got tuple of length 1"),
        ([("a1", 5)], TypeError, "new_concepts"),
        ("ab", TypeError, "new_concepts"),
    ],
)
def test_split_pairs(new_concepts, exc, message):
    with pytest.raises(exc) as e:
        build("a").apply_split("a", new_concepts)
    if exc is ValueError:
        assert str(e.value) == message
    else:
        assert message in str(e.value)


# ---------------------------------------------------------------- conversion order


@pytest.mark.parametrize(
    "call,argname",
    [
        (lambda s: s.apply_relate("nope", "nope", 5), "relation_type"),
        (lambda s: s.apply_revise("nope", "d", "b"), "conflict_terms"),
        (lambda s: s.apply_revise("nope", "d", ["b", 3]), "conflict_terms"),
        (lambda s: s.apply_merge(["nope"], "m", None), "merged_definition"),
        (lambda s: s.apply_split("nope", [("x", "y"), ["p", "q"]]), "new_concepts"),
        (lambda s: s.apply_restructure([{}], b"why"), "justification"),
        (lambda s: s.apply_restructure([{}, 3], "why"), "new_nodes"),
        (lambda s: s.apply_assert("t", 1.5), "definition"),
        (lambda s: s.apply_refine(term=None, new_definition="d"), "term"),
    ],
)
def test_every_argument_converted_before_lookup(call, argname):
    with pytest.raises(TypeError) as e:
        call(build("a", "b"))
    assert f"'{argname}'" in str(e.value)


@pytest.mark.parametrize(
    "call",
    [
        lambda s: s.apply_assert(term="k", definition="d"),
        lambda s: s.apply_assert("k", definition="d"),
        lambda s: s.apply_relate(relation_type="supports", to_term="b", from_term="a"),
        lambda s: s.apply_split(new_concepts=[("p", "1"), ("q", "2")], term="a"),
        lambda s: s.apply_restructure(justification="j", new_nodes=[]),
        lambda s: s.apply_merge(merged_definition="d", merged_term="m", terms=["a", "b"]),
    ],
)
def test_arguments_by_keyword(call):
    assert call(build("a", "b")).record_count() == 3


@pytest.mark.parametrize(
    "call",
    [
        lambda s: s.apply_assert("k"),
        lambda s: s.apply_assert("k", "d", "extra"),
        lambda s: s.apply_assert("k", "d", bogus=1),
        lambda s: s.apply_retract("a", term="a"),
        lambda s: s.record_count(1),
        lambda s: s.get_concept_id(),
    ],
)
def test_argument_count_errors(call):
    with pytest.raises(TypeError):
        call(build("a", "b"))


@pytest.mark.parametrize(
    "call",
    [
        lambda s: s.apply_assert("\ud800", "d"),
        lambda s: s.apply_relate("a", "b", "\udcff"),
        lambda s: s.apply_merge(["a", "\ud800"], "m", "d"),
    ],
)
def test_lone_surrogate_passes_interpreter_error(call):
    with pytest.raises(UnicodeEncodeError):
        call(build("a", "b"))


# ---------------------------------------------------------------- restructure


def node(**kw):
    base = {"title": "T", "node_type": "section", "position": 0}
    base.update(kw)
    return {k: v for k, v in base.items() if v is not DROP}


DROP = object()


@pytest.mark.parametrize(
    "nodes,exc,message",
    [
        ([{"node_type": "s"}], ValueError, "node missing 'title'"),
        ([node(node_type=DROP)], ValueError, "node missing 'node_type'"),
        ([node(position=DROP)], ValueError, "node missing 'position'"),
        ([node(position=-1)], OverflowError, None),
        ([node(position=2**32)], OverflowError, None),
        ([node(position="0")], TypeError, None),
        ([node(title=1)], TypeError, None),
        ([node(parent_index=None)], TypeError, None),
        ([node(parent_index=-1)], OverflowError, None),
        ([node(parent_index=1)], ValueError, "parent_index 1 out of range"),
        ([node(concept_terms="a")], TypeError, None),
        ([node(concept_terms=["a", 1])], TypeError, None),
        ([node(concept_terms=["nope"])], ValueError, 'concept_terms references unknown concept: "nope"'),
        # Node 0's terms are resolved before node 1's title is read.
        ([node(concept_terms=["x"]), {}], ValueError, 'concept_terms references unknown concept: "x"'),
        ([node(), {}], ValueError, "node missing 'title'"),
        ([node(), node(parent_index=5)], ValueError, "parent_index 5 out of range"),
    ],
)
def test_restructure_node_errors(nodes, exc, message):
    s = build("a", "b")
    with pytest.raises(exc) as e:
        s.apply_restructure(nodes, "why")
    if message is not None:
        assert str(e.value) == message


@pytest.mark.parametrize(
    "term,shown",
    [
        ('say "hi"\n', r'"say \"hi\"\n"'),
        ("e\u0301", r'"e\u{301}"'),
        ("caf\u00e9 \U0001f600", '"caf\u00e9 \U0001f600"'),
    ],
)
def test_concept_terms_message_quotes_term(term, shown):
    with pytest.raises(ValueError) as e:
        build("a").apply_restructure([node(concept_terms=[term])], "why")
    assert str(e.value) == f"concept_terms references unknown concept: {shown}"


def test_restructure_builds_nodes():
    s = build("a", "b", "c")
    nodes = [
        node(title="root", concept_terms=["b", "a"], extra="ignored"),
        node(title="child", node_type="para", position=3, parent_index=0),
    ]
    r = s.apply_restructure(nodes, "because")
    details = r.last_record()["operation_details"]
    assert details["justification"] == "because"
    assert details["old_structure_hash"] == s.structure_hash()
    root, child = details["new_nodes"]
    assert (root["title"], root["parent"], root["position"]) == ("root", None, 0)
    assert root["concept_refs"] == [s.get_concept_id("b"), s.get_concept_id("a")]
    assert (child["title"], child["node_type"], child["position"]) == ("child", "para", 3)
    assert child["parent"] == root["id"] and child["concept_refs"] == []
    assert r.structure_count() == 2 and r.structure_hash() != s.structure_hash()
    # A second restructure chains from the new structure hash.
    again = r.apply_restructure([], "clear")
    assert again.last_record()["operation_details"]["old_structure_hash"] == r.structure_hash()
    assert again.structure_count() == 0


def test_restructure_self_parent_left_to_engine():
    with pytest.raises(ValueError) as e:
        build("a").apply_restructure([node(parent_index=0)], "loop")
    assert str(e.value).startswith("invalid structure: ")


def test_restructure_superseded_term_not_resolved():
    s = build("a", "b").apply_merge(["a", "b"], "ab", "m")
    with pytest.raises(ValueError) as e:
        s.apply_restructure([node(concept_terms=["a"])], "why")
    assert str(e.value) == 'concept_terms references unknown concept: "a"'


def test_restructure_accepts_dict_subclass_and_tuple():
    class D(dict):
        def __getitem__(self, key):  # never consulted: members are read directly
            raise AssertionError

    s = build("a").apply_restructure((D(title="t", node_type="n", position=1),), "j")
    assert s.structure_count() == 1


class FreshNodes(collections.abc.Sequence):
    """Makes new node dicts (and concept_terms lists) on every __getitem__."""

    def __init__(self, count):
        self.count = count

    def __len__(self):
        return self.count

    def __getitem__(self, i):
        if not 0 <= i < self.count:
            raise IndexError(i)
        return node(title=f"n{i}", position=i, concept_terms=FreshTerms())


class FreshTerms(collections.abc.Sequence):
    def __len__(self):
        return 1

    def __getitem__(self, i):
        if i != 0:
            raise IndexError(i)
        return "".join(["a"])  # a new str each time


def test_restructure_reads_items_made_on_the_fly():
    s = build("a")
    nodes = s.apply_restructure(FreshNodes(3), "j").last_record()["operation_details"]["new_nodes"]
    assert [(n["title"], n["position"]) for n in nodes] == [("n0", 0), ("n1", 1), ("n2", 2)]
    assert all(n["concept_refs"] == [s.get_concept_id("a")] for n in nodes)


def test_restructure_survives_its_node_list_emptied_while_read():
    nodes = []

    class Empties:
        """A key that collides with "parent_index" and empties the caller's list when compared."""

        def __hash__(self):
            return hash("parent_index")

        def __eq__(self, other):
            nodes.clear()
            return False

    first = node(title="first")
    first[Empties()] = None
    nodes.extend([first, node(title="second", position=1)])
    del first
    r = build("a").apply_restructure(nodes, "j")
    assert nodes == []
    titles = [n["title"] for n in r.last_record()["operation_details"]["new_nodes"]]
    assert titles == ["first", "second"]


# ---------------------------------------------------------------- engine errors


@pytest.mark.parametrize(
    "call,message",
    [
        (lambda s: s.apply_assert(" A ", "dup"), lambda s: "duplicate term: concept with term ' A ' already exists"),
        (lambda s: s.apply_split("a", [("x", "1")]), lambda s: "conflict detected: Split requires at least 2 new concepts"),
        (lambda s: s.apply_relate("a", "a", "derives_from"),
         lambda s: f"cycle detected in DerivesFrom relations: self-referential DerivesFrom on {s.get_concept_id('a')}"),
        (lambda s: s.apply_relate("b", "a", "derives_from"),
         lambda s: f"cycle detected in DerivesFrom relations: adding DerivesFrom {s.get_concept_id('b')} -> "
                   f"{s.get_concept_id('a')} would create a cycle"),
        (lambda s: s.apply_merge(["a", "b"], "c", "m"), lambda s: "duplicate term: concept with term 'c' already exists"),
    ],
)  # fmt: skip
def test_engine_failures_are_value_errors(call, message):
    s = build("a", "b", "c").apply_relate("a", "b", "derives_from")
    before = snapshot(s)
    with pytest.raises(ValueError) as raised:
        call(s)
    assert str(raised.value) == message(s)
    assert snapshot(s) == before


# ---------------------------------------------------------------- leaks


def _exercise(s, node_dict, pairs, terms):
    s.apply_assert("x", "y").all_records()
    s.apply_relate("a", "b", "supports").last_record()
    s.apply_restructure([node_dict], "j")
    s.apply_split("a", pairs)
    s.apply_merge(terms, "ab", "m")
    s.concept_statuses()
    s.concept_terms()
    for bad in (
        lambda: s.apply_assert("a", "dup"),
        lambda: s.apply_relate("a", "b", "nope"),
        lambda: s.apply_restructure([{"title": "t"}], "j"),
        lambda: s.apply_restructure([dict(node_dict, concept_terms=["zz"])], "j"),
        lambda: s.apply_restructure([node_dict], 1),
        lambda: s.apply_split("a", [("p", "q", "r")]),
        lambda: s.apply_split("a", [["p", "q"]]),
        lambda: s.apply_merge(["a", 1], "m", "d"),
        lambda: s.apply_reinforce("missing"),
        lambda: s.apply_assert("\ud800", "d"),
    ):
        try:
            bad()
        except (ValueError, TypeError, OverflowError, UnicodeEncodeError):
            pass


def test_no_reference_leaks(assert_no_leaks):
    s = build("a", "b")
    node_dict = {"title": "t", "node_type": "n", "position": 0, "concept_terms": ["a"]}
    pairs = [("p", "1"), ("q", "2")]
    terms = ["a", "b"]
    watched = [node_dict, pairs, terms, node_dict["title"], pairs[0], s]
    assert_no_leaks(lambda: _exercise(s, node_dict, pairs, terms), watched, 50, 400)


@pytest.mark.skipif(not hasattr(K, "state_to_json"), reason="state documents not built yet")
def test_related_relation_fields():
    import json

    s = build("a", "b").apply_relate("a", "b", "Explains")
    (relation,) = json.loads(s.state_to_json())["relations"].values()
    assert relation["confidence"] == 1.0 and relation["evidence"] == []
    assert relation["relation_type"] == "Explains"
    assert "source_document" not in relation and "classification_confidence" not in relation
    (concept,) = [c for c in json.loads(s.state_to_json())["concepts"].values() if c["term"] == "a"]
    assert (concept["confidence"], concept["status"], concept["source_evidence"]) == (1.0, "Active", [])
