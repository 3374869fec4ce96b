"""PyProvenanceGraph: the class frame, the caller's additions and their
failures, the graph of the scripted history (every operation, source and
kind of text) against its records, the queries against an independent
reading of the export, and the export read back by json and by the prov
package."""

import ast
import json
import pathlib
import weakref

import pytest
from hypothesis import given
from hypothesis import strategies as st

import kelvora

G = kelvora.PyProvenanceGraph
K = kelvora.PyKnowledgeState
T = "2024-05-01T10:00:00+02:00"
LINE = "Returns list of entity ID strings."
METHODS = [
    ("from_state", "(state)", "Build a provenance graph from all evolution records in a state."),
    ("to_prov_json", "($self)", "Export the graph as a W3C PROV-JSON string."),
    ("entity_count", "($self)", None),
    ("activity_count", "($self)", None),
    ("agent_count", "($self)", None),
    ("relation_count", "($self)", None),
    ("coverage", "($self)", "Provenance coverage: fraction of entities with WasGeneratedBy or WasDerivedFrom."),
    ("lineage", "($self, entity_id)", "Recursive backward traversal: full lineage of an entity.\n" + LINE),
    ("generated_from", "($self, entity_id)", "Forward provenance: entities derived from this entity.\n" + LINE),
    ("derived_from", "($self, entity_id)", "Backward provenance: entities this entity was derived from.\n" + LINE),
    ("agents_for_activity", "($self, activity_id)", "Get agents for a given activity.\nReturns list of agent ID strings."),
    ("add_agent", "($self, agent_id, agent_type, name)", "Add a custom agent (e.g., classifier, LLM model)."),
    ("add_activity", "($self, activity_id, activity_type, timestamp, attributes)",
     "Add a custom activity (e.g., classification decision)."),
    ("add_association", "($self, activity_id, agent_id)", "Add a WasAssociatedWith relation between an activity and an agent."),
    ("add_derivation", "($self, generated_id, used_id)", "Add a WasDerivedFrom relation between two entities."),
    ("entity_ids", "($self)", "List all entity IDs in the graph."),
    ("activity_ids", "($self)", "List all activity IDs in the graph."),
    ("agent_ids", "($self)", "List all agent IDs in the graph."),
]  # fmt: skip
HISTORY = pathlib.Path(__file__).parent / "data" / "scripted_history.json"


@pytest.fixture(scope="module")
def history():
    return K.from_records_json(HISTORY.read_text(encoding="utf-8"))


def doc(g):
    """The export, checked byte for byte against json's own printing of it."""
    text = g.to_prov_json()
    out = json.loads(text)
    assert text == json.dumps(out, indent=2, sort_keys=True, ensure_ascii=False)
    return out


def test_graph_of_the_scripted_history_follows_its_records(history):
    records = json.loads(HISTORY.read_text(encoding="utf-8"))
    g = G.from_state(history)
    out = doc(g)
    assert g.activity_count() == len(records) == len(out["wasAssociatedWith"])
    for i, r in enumerate(records):
        activity = f"qel:activity:{i}:{r['chain_hash'][:16]}"
        a = out["activity"][activity]
        assert (a["qel:operation_type"], a["prov:startedAtTime"]) == (r["operation"]["type"].lower(), r["timestamp"])
        agent = "qel:agent:user" if r["source"].startswith("User") else "qel:agent:qel-engine"
        assert g.agents_for_activity(activity) == [agent]
        for end in ("prior_state_hash", "resulting_state_hash"):
            assert out["entity"]["qel:state:" + r[end][:16]]["qel:state_hash"] == r[end]
        op = r["operation"]
        if op["type"] == "Assert":
            c, entity = op["concept"], out["entity"][f"qel:concept:{op['concept']['id']}:v1"]
            assert (entity["qel:term"], entity["qel:definition"]) == (c["term"], c["definition"])
        if op["type"] == "Relate":
            rel, entity = op["relation"], out["entity"]["qel:relation:" + op["relation"]["id"]]
            assert (entity["qel:from_concept"], entity["qel:to_concept"]) == (rel["from_concept"], rel["to_concept"])
    merges = [",".join(r["operation"]["concept_ids"]) for r in records if r["operation"]["type"] == "Merge"]
    assert [e["qel:source_concepts"] for e in out["entity"].values() if e.get("qel:change_type") == "merge"] == merges


def test_method_table_and_class_frame():
    assert [n for n in vars(G) if not n.startswith("_")] == [m[0] for m in METHODS]
    for name, signature, help_text in METHODS:
        assert (getattr(G, name).__text_signature__, getattr(G, name).__doc__) == (signature, help_text)
    assert G.__doc__ is None
    with pytest.raises(TypeError, match="^No constructor defined for PyProvenanceGraph$"):
        G()
    with pytest.raises(TypeError):
        type("Sub", (G,), {})
    g = G.from_state(K())
    assert not hasattr(g, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(g)
    with pytest.raises(TypeError, match="'state'"):
        G.from_state(state=g)
    counts = [g.entity_count(), g.activity_count(), g.agent_count(), g.relation_count()]
    assert counts + [g.entity_ids(), g.activity_ids(), g.agent_ids(), g.lineage("x")] == [0] * 4 + [[]] * 4
    assert g.coverage() == 1.0


@pytest.mark.parametrize(
    "text, agent_type, prov_type",
    [("user", "User", "prov:Person"), ("User", "System", "prov:SoftwareAgent"), ("user ", "System", "prov:SoftwareAgent"),
     ("embedding", "EmbeddingClassifier", "prov:SoftwareAgent"), ("nli", "NliClassifier", "prov:SoftwareAgent"),
     ("llm", "LlmModel", "prov:SoftwareAgent"), ("system", "System", "prov:SoftwareAgent"), ("", "System", "prov:SoftwareAgent")],
)  # fmt: skip
def test_agent_types_and_replacing_the_user(history, text, agent_type, prov_type):
    g = G.from_state(history)
    count = g.agent_count()
    g.add_agent("qel:agent:user", text, name="someone")
    assert g.agent_count() == count
    assert doc(g)["agent"]["qel:agent:user"] == {
        "prov:label": "someone", "prov:type": prov_type, "qel:agentType": agent_type}  # fmt: skip


@pytest.mark.parametrize("text, expected", [("classification", "ClassificationDecision"), ("Classification", "EvolutionOperation")])
def test_activity_type_time_and_attributes(text, expected):
    g = G.from_state(K())
    g.add_activity("act", text, T, {"z": "1", "model": "nli", "": "\0"})
    assert doc(g)["activity"]["act"] == {
        "prov:endedAtTime": "2024-05-01T08:00:00+00:00", "prov:startedAtTime": "2024-05-01T08:00:00+00:00",
        "prov:type": "qel:" + expected, "qel:": "\0", "qel:model": "nli", "qel:z": "1"}  # fmt: skip


# A caller's attributes in any order are exported in byte order of their
# keys; keys given in descending order are read in one sort, not moved once
# for every key after them.
def test_activity_attributes_in_any_order():
    keys = [f"k{i:05d}" for i in range(3000)]
    found = []
    for order in (keys, keys[::-1], keys[1::2] + keys[::2]):
        g = G.from_state(K())
        g.add_activity("act", "c", T, {k: k + "v" for k in order})
        found.append(doc(g)["activity"]["act"])
    assert found[0] == found[1] == found[2]
    assert [k for k in found[0] if k.startswith("qel:k")] == ["qel:" + k for k in keys]


@pytest.mark.parametrize(
    "args, error, words",
    [(("a", "c", "10:00", {}), ValueError, "^input contains invalid characters$"),
     (("a", "c", "2024-05-01T10:00:00", {}), ValueError, "^premature end of input$"),
     (("a", "c", T + "x", {"b": 1}), ValueError, "^trailing input$"),
     (("a", "c", T, {"a": "1", "b": 1}), TypeError, "str"),
     (("a", "c", T, {1: "a"}), TypeError, "str"),
     (("a", "c", T, {"\ud800": "a"}), UnicodeEncodeError, "surrogate"),
     (("a", "c", T, [("a", "b")]), TypeError, "attributes"),
     (("\ud800", "c", T, {}), UnicodeEncodeError, "surrogate"),
     ((1, "c", T, {}), TypeError, "activity_id")],
)  # fmt: skip
def test_failed_additions_leave_the_graph_unchanged(history, args, error, words):
    g = G.from_state(history)
    before = g.to_prov_json()
    with pytest.raises(error, match=words):
        g.add_activity(*args)
    with pytest.raises(UnicodeEncodeError):
        g.add_agent("a", "user", "\udfff")
    assert g.to_prov_json() == before


# Graphs whose lists are full (from_state sizes them to its records; 2**14
# agents fill theirs), their additions made under an address-space limit from
# none to 6 MiB above what the process holds: each one completes or raises
# MemoryError having changed nothing, and afterwards the graph takes every
# addition again.
MEMORY_SWEEP = """
import resource, kelvora
def vm():
    return int(open("/proc/self/status").read().split("VmSize:")[1].split()[0]) * 1024
def counts(g):
    return [g.entity_count(), g.activity_count(), g.agent_count(), g.relation_count()]
def full_graph():
    g = kelvora.PyProvenanceGraph.from_state(state)
    for n in range(AGENTS):
        g.add_agent(f"a:{n}", "llm", "n")
    return g
calls = [tuple(a.replace("#", str(n)) if isinstance(a, str) else a for a in ARGS) for n in range(3)]
state = kelvora.PyKnowledgeState().apply_assert("a", "b")
for _ in range(RECORDS):
    state = state.apply_reinforce("a")
hard = resource.getrlimit(resource.RLIMIT_AS)[1]
outcomes = set()
for headroom in range(0, 6 << 20, 1 << 18):
    g = full_graph()
    add, expected, done = getattr(g, METHOD), counts(g), 0
    resource.setrlimit(resource.RLIMIT_AS, (vm() + headroom, hard))
    try:
        for args in calls:
            add(*args)
            done += 1
    except MemoryError:
        outcomes.add("MemoryError")
    resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
    outcomes.add(done)
    expected[GROWS] += done
    assert counts(g) == expected, (headroom, done, counts(g), expected)
    for args in calls:
        add(*args)
    # A node added again replaces itself; a relation is appended again.
    expected[GROWS] += len(calls) - (done if GROWS < 3 else 0)
    assert counts(g) == expected, (headroom, done, counts(g), expected)
    g.to_prov_json()
print(sorted(map(str, outcomes)))
"""


# The address sanitizer maps its own memory as it goes and stops the process
# when that fails, so the limits are tried only without it.
MAPS = pathlib.Path("/proc/self/maps")
UNDER_ASAN = MAPS.exists() and "libasan" in MAPS.read_text()


@pytest.mark.skipif(UNDER_ASAN, reason="the address sanitizer needs an unlimited address space")
@pytest.mark.parametrize(
    "method, grows, args, records, agents",
    [("add_activity", 1, ["x:#", "classification", T, {"k": "v"}], 10_000, 0),
     ("add_agent", 2, ["x:#", "llm", "n"], 0, 2**14 - 1),
     ("add_association", 3, ["x:#", "qel:agent:user"], 10_000, 0),
     ("add_derivation", 3, ["x:#", "y:#"], 10_000, 0)],
)  # fmt: skip
def test_additions_under_a_memory_limit_complete_or_change_nothing(run_python, method, grows, args, records, agents):
    names = f"METHOD, GROWS, ARGS, RECORDS, AGENTS = {method!r}, {grows}, {args!r}, {records}, {agents}"
    result = run_python(names + MEMORY_SWEEP)
    assert result.returncode == 0, result.stderr
    # The sweep reached both outcomes: some additions failed, all of them passed.
    assert {"MemoryError", "3"} <= set(ast.literal_eval(result.stdout)), result.stdout


@given(st.lists(st.text(), min_size=4, max_size=4))
def test_any_text_is_exported_faithfully(texts):
    a, b, c, d = texts
    g = G.from_state(K())
    g.add_agent(a, "nli", b)
    g.add_activity(c, "classification", T, {d: a, a: d})
    g.add_derivation(a, c)
    g.add_association(c, a)
    out = doc(g)
    assert out["agent"][a]["prov:label"] == b
    assert out["activity"][c]["qel:" + d] == (d if a == d else a)
    assert out["wasDerivedFrom"]["_:r0"] == {"prov:generatedEntity": a, "prov:usedEntity": c}
    assert out["wasAssociatedWith"]["_:r1"] == {"prov:activity": c, "prov:agent": a}


def scan_queries(out):
    """The queries as the export describes them: relations by number, one pass each."""
    order = lambda section: sorted(out[section].items(), key=lambda kv: int(kv[0][3:]))  # noqa: E731
    derivations = [(r["prov:generatedEntity"], r["prov:usedEntity"]) for _, r in order("wasDerivedFrom")]
    entities = out["entity"]

    def lineage(x):
        result, stack, seen = [], [x], set()
        while stack:
            c = stack.pop()
            if c not in seen:
                seen.add(c)
                found = [to for frm, to in derivations if frm == c and to in entities]
                result += found
                stack += found
        return result

    origins = {r["prov:entity"] for r in out["wasGeneratedBy"].values()} | {f for f, _ in derivations}
    return lineage, derivations, len(origins & set(entities)) / len(entities)


def test_queries_agree_with_a_reading_of_the_export(history):
    g = G.from_state(history)
    ids = g.entity_ids()
    for i in range(0, len(ids) - 1, 3):  # caller derivations, cycles and repeats among them
        g.add_derivation(ids[i], ids[i + 1])
        g.add_derivation(ids[i + 1], ids[i])
    g.add_derivation(ids[0], "qel:nothing")
    lineage, derivations, coverage = scan_queries(doc(g))
    assert g.coverage() == coverage
    for x in ids + ["qel:nothing"]:
        assert g.lineage(x) == lineage(x)
        assert g.derived_from(entity_id=x) == [t for f, t in derivations if f == x and t in ids]
        assert g.generated_from(x) == [f for f, t in derivations if t == x and f in ids]
    count = g.relation_count()
    g.add_association(g.activity_ids()[0], "qel:agent:nli")
    g.add_agent("qel:agent:nli", "nli", "NLI")
    g.add_association(g.activity_ids()[0], "qel:agent:nli")
    assert g.agents_for_activity(g.activity_ids()[0]) == ["qel:agent:user", "qel:agent:nli", "qel:agent:nli"]
    assert g.relation_count() == count + 2


def test_a_dict_subclass_is_read_from_its_own_entries(history):
    g = G.from_state(history)
    seen = []

    class Sneaky(dict):  # the graph reads the dict's own entries, not these
        def items(self):
            seen.append(g.add_agent("x", "llm", "x"))
            return {}.items()

        keys = values = __iter__ = items

        def __getitem__(self, key):
            self.clear()
            return "changed"

    g.add_activity("act", "c", T, Sneaky(k="v"))
    assert (seen, g.agent_count(), doc(g)["activity"]["act"]["qel:k"]) == ([], 2, "v")


def test_prov_package_reads_every_node_and_relation(history):
    model = pytest.importorskip("prov.model")
    g = G.from_state(history)
    for i, kind in enumerate(["user", "system", "embedding", "nli", "llm"]):
        g.add_agent(f"qel:agent:{kind}", kind, f"{kind} agent")
        g.add_activity(f"qel:decision:{i}", "classification", T, {"model": kind, "score": "0.5"})
        g.add_association(f"qel:decision:{i}", f"qel:agent:{kind}")
        g.add_derivation(g.entity_ids()[i], g.entity_ids()[i + 1])
    out = doc(g)
    parsed = model.ProvDocument.deserialize(content=g.to_prov_json(), format="json")
    kinds = {"entity": model.ProvEntity, "activity": model.ProvActivity, "agent": model.ProvAgent,
             "used": model.ProvUsage, "wasAssociatedWith": model.ProvAssociation,
             "wasDerivedFrom": model.ProvDerivation, "wasGeneratedBy": model.ProvGeneration,
             "wasInvalidatedBy": model.ProvInvalidation, "wasAttributedTo": model.ProvAttribution}  # fmt: skip
    for section, cls in kinds.items():
        assert len(list(parsed.get_records(cls))) == len(out[section]), section
    for identifier in g.entity_ids() + g.activity_ids() + g.agent_ids():
        assert len(parsed.get_record(identifier)) == 1, identifier
    assert sum(len(out[s]) for s in kinds if s not in ("entity", "activity", "agent")) == g.relation_count()
