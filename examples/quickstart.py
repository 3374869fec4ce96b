"""A short session with kelvora: evolve a knowledge state, look at its history,
verify and save it, report on it, and export its provenance.

Every apply_* call returns a new state; the one it was called on stays as it was.
"""

import json

import kelvora


def show(title, state):
    print(f"-- {title}: {state.concept_count()} concepts, {state.relation_count()} relations,"
          f" {state.structure_count()} nodes, {state.record_count()} records")


def describe(kind, details):
    if kind == "relate":
        return details["relation_type"]
    if kind == "split":
        return " + ".join(term for term, _ in details["new_concepts"])
    if kind == "merge":
        return details["merged_term"]
    if kind == "restructure":
        return f"{len(details['new_nodes'])} nodes: {details['justification']}"
    return details.get("term") or details.get("new_definition", "")


def main():
    empty = kelvora.PyKnowledgeState()
    print("empty state hash:", empty.state_hash())

    s = empty.apply_assert("photosynthesis", "How plants turn light into sugar.")
    s = s.apply_assert("chlorophyll", "The green pigment that absorbs light.")
    s = s.apply_assert("light reactions", "The light-dependent stage.")
    s = s.apply_assert("calvin cycle", "The light-independent stage.")
    s = s.apply_relate("photosynthesis", "chlorophyll", "derives_from")
    s = s.apply_revise(
        "photosynthesis",
        "How plants, algae and some bacteria turn light into chemical energy.",
        ["chlorophyll"],
    )
    show("after assert, relate and revise", s)

    s = s.apply_merge(["light reactions", "calvin cycle"], "stages", "The two stages of photosynthesis.")
    s = s.apply_split(
        "stages",
        [("light stage", "Makes ATP and NADPH."), ("dark stage", "Fixes carbon with ATP and NADPH.")],
    )
    s = s.apply_restructure(
        [
            {"title": "Photosynthesis", "node_type": "chapter", "position": 0,
             "concept_terms": ["photosynthesis", "chlorophyll"]},
            {"title": "Stages", "node_type": "section", "position": 0, "parent_index": 0,
             "concept_terms": ["light stage", "dark stage"]},
        ],
        "Group the stages under the process.",
    )
    show("after merge, split and restructure", s)
    print("statuses:", {v["term"]: v["status"] for v in s.concept_statuses().values()})
    assert empty.record_count() == 0 and empty.is_empty()

    try:
        s.apply_assert("Chlorophyll ", "Same term, other spelling.")
    except ValueError as error:
        print("refused:", error)

    print()
    for index, record in enumerate(s.all_records()):
        label = describe(record["operation_type"], record["operation_details"])
        print(f"{index:2} {record['timestamp']} {record['operation_type']:<12}"
              f" {record['justification']['agm_type']:<11} {label}")
        print(f"   chain {record['chain_hash']}")

    print()
    print("state hash:", s.state_hash())
    return s


def look_back(s):
    """What a kept history answers: verification, a saved copy, reports,
    history queries and a PROV export."""
    proof = s.merkle_proof(0)
    print("chain verified:", s.verify_chain(), "| record 0 proven in root", s.merkle_root()[:16],
          "by", len(proof["path"]), "hashes:", s.verify_merkle_proof(proof))
    saved = s.records_to_json()
    restored = kelvora.PyKnowledgeState.from_records_json(saved)  # replays and checks every record
    print(f"saved {len(saved)} bytes; reloaded state has the same hash:", restored.state_hash() == s.state_hash())

    coherence = s.coherence_report()
    print(f"coherence {coherence['coherence_score']:.2f}, equilibrium {coherence['is_equilibrium']};",
          "direction:", s.epistemic_direction_report()["direction"])

    print("history of 'photosynthesis':")
    for step in s.concept_history("photosynthesis"):
        print(f"  record {step['record_index']} {step['operation_type']}: {step['definition']}")
    print("terms after record 3:", s.state_at(3).concept_terms())
    print("records 3 to 7 changed:", s.range_diff(3, 7))

    graph = kelvora.PyProvenanceGraph.from_state(s)
    graph.add_agent("qel:agent:reviewer", "user", "a reviewer")  # a qualified name of a declared prefix
    document = json.loads(graph.to_prov_json())
    print(f"PROV-JSON: {len(document['entity'])} entities, {len(document['activity'])} activities,",
          f"agents {sorted(document['agent'])}")
    last_state = f"qel:state:{s.state_hash()[:16]}"
    print(f"lineage of {last_state}: {len(graph.lineage(last_state))} earlier states")


if __name__ == "__main__":
    look_back(main())
