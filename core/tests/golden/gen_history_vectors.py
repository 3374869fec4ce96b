#!/usr/bin/env python3
"""Independent golden vectors for the scripted history of
core/tests/knowledge_state_test.cpp (Record.ScriptedHistoryMatchesIndependentModel).

A small model of the engine written from the rules alone: states as Python
dicts, the canonical texts built by hand (repr for the shortest round-trip
digits), SHA-256 from hashlib, derived identifiers from the length-prefixed
input. It applies the same fifteen operations as the test and prints, for
each record, the resulting state hash and the chain hash.

With --records-json PATH it also writes the history as a records document
(python/tests/data/scripted_history.json): four sources, every operation and
evidence kind, loaded by the Python tests through the verified replay.
"""
import contextlib
import copy
import hashlib
import io
import json
import os
import sys
import unicodedata
import uuid

# The text pieces (float text, string escapes, time stamps, evidence lists)
# and derive_uuid come from the serialization vectors; that script prints
# its own vectors when loaded, which is not wanted here.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
with contextlib.redirect_stdout(io.StringIO()):
    from gen_serialization_vectors import derive, ev, f64, jstr
    from gen_serialization_vectors import ts as ts_parts

EPS = 2.0 ** -52


def ts(t):
    return ts_parts(*t)


def zero_to_positive(x, normalize):
    return 0.0 if normalize and x == 0 else x


def concept_text(c, normalize):
    return ('{"id":"%s","term":%s,"definition":%s,"confidence":%s,"status":"%s","created_at":%s,'
            '"source_evidence":%s}') % (c["id"], jstr(c["term"]), jstr(c["definition"]),
                                         f64(zero_to_positive(c["confidence"], normalize)), c["status"],
                                         ts(c["created_at"]), ev(c["evidence"]))


def relation_text(r, normalize):
    s = ('{"id":"%s","from_concept":"%s","to_concept":"%s","relation_type":"%s","evidence":%s,'
         '"confidence":%s') % (r["id"], r["from"], r["to"], r["type"], ev(r["evidence"]),
                               f64(zero_to_positive(r["confidence"], normalize)))
    if r.get("source_document") is not None:
        s += ',"source_document":' + jstr(r["source_document"])
    if r.get("cc") is not None:
        s += ',"classification_confidence":' + f64(zero_to_positive(r["cc"], normalize))
    return s + "}"


def hash_array(h):
    return "[" + ",".join(str(b) for b in h) + "]"


def node_text(n):
    return ('{"id":"%s","title":%s,"node_type":%s,"parent":%s,"position":%d,"content_hash":%s,'
            '"concept_refs":[%s]}') % (
        n["id"], jstr(n["title"]), jstr(n["node_type"]),
        '"%s"' % n["parent"] if n["parent"] else "null", n["position"],
        hash_array(n["hash"]), ",".join('"%s"' % c for c in n["refs"]))


def obj(m, writer):
    return "{" + ",".join('"%s":%s' % (k, writer(m[k])) for k in sorted(m)) + "}"


def state_text(s):
    return '{"concepts":%s,"relations":%s,"structure":%s}' % (
        obj(s["concepts"], lambda c: concept_text(c, True)),
        obj(s["relations"], lambda r: relation_text(r, True)), obj(s["structure"], node_text))


def sha(b):
    return hashlib.sha256(b).digest()


def state_hash(s):
    return sha(state_text(s).encode())


def structure_hash(structure):
    return sha(obj(structure, node_text).encode())


def ub(u):
    return uuid.UUID(u).bytes


def norm(t):
    return unicodedata.normalize("NFC", t.strip()).lower()


# ------------------------------------------------------------ the operations

def op_text(op):
    kind = op["kind"]
    if kind == "Assert":
        body = '{"concept":%s}' % concept_text(op["concept"], False)
    elif kind == "Revise":
        body = '{"concept_id":"%s","new_definition":%s,"conflict_set":[%s],"evidence":%s}' % (
            op["id"], jstr(op["definition"]), ",".join('"%s"' % c for c in op["conflicts"]),
            ev(op["evidence"]))
    elif kind == "Retract":
        body = '{"concept_id":"%s","reason":"%s"}' % (op["id"], op["reason"])
    elif kind == "Relate":
        body = '{"relation":%s}' % relation_text(op["relation"], False)
    elif kind == "Restructure":
        body = '{"old_structure_hash":%s,"new_nodes":[%s],"justification":%s}' % (
            hash_array(op["old_hash"]), ",".join(node_text(n) for n in op["nodes"]),
            jstr(op["justification"]))
    elif kind == "Refine":
        body = '{"concept_id":"%s","new_definition":%s,"evidence":%s}' % (
            op["id"], jstr(op["definition"]), ev(op["evidence"]))
    elif kind == "Merge":
        body = '{"concept_ids":[%s],"merged_term":%s,"merged_definition":%s,"evidence":%s}' % (
            ",".join('"%s"' % c for c in op["ids"]), jstr(op["term"]), jstr(op["definition"]),
            ev(op["evidence"]))
    elif kind == "Reinforce":
        body = '{"concept_id":"%s","evidence":%s}' % (op["id"], ev(op["evidence"]))
    else:
        body = '{"concept_id":"%s","new_concepts":[%s],"evidence":%s}' % (
            op["id"], ",".join("[%s,%s]" % (jstr(t), jstr(d)) for t, d in op["parts"]),
            ev(op["evidence"]))
    return '{"%s":%s}' % (kind, body)


def derives_from(rid, frm, to):
    return dict(id=rid, **{"from": frm, "to": to}, type="DerivesFrom", evidence=[], confidence=1.0)


def rewrite_refs(structure, gone, additions):
    for n in structure.values():
        if any(r in gone for r in n["refs"]):
            refs = [r for r in n["refs"] if r not in gone]
            for a in additions:
                if a not in refs:
                    refs.append(a)
            n["refs"] = refs


def apply_op(s, op, time, prior):
    """The new state; the checks are left to the engine (every step succeeds)."""
    n = copy.deepcopy(s)
    kind = op["kind"]
    if kind == "Assert":
        c = op["concept"]
        assert all(norm(x["term"]) != norm(c["term"]) for x in s["concepts"].values()
                   if x["status"] == "Active")
        n["concepts"][c["id"]] = copy.deepcopy(c)
    elif kind == "Relate":
        n["relations"][op["relation"]["id"]] = copy.deepcopy(op["relation"])
    elif kind == "Retract":
        cid = op["id"]
        del n["concepts"][cid]
        n["relations"] = {k: r for k, r in n["relations"].items() if cid not in (r["from"], r["to"])}
        for node in n["structure"].values():
            node["refs"] = [r for r in node["refs"] if r != cid]
    elif kind == "Revise":
        c = n["concepts"][op["id"]]
        c["definition"] = op["definition"]
        c["evidence"] = c["evidence"] + op["evidence"]
        n["relations"] = {
            k: r for k, r in n["relations"].items()
            if not (r["type"] == "Contradicts" and op["id"] in (r["from"], r["to"])
                    and (r["from"] in op["conflicts"] or r["to"] in op["conflicts"]))}
    elif kind == "Refine":
        c = n["concepts"][op["id"]]
        c["definition"] = op["definition"]
        c["evidence"] = c["evidence"] + op["evidence"]
    elif kind == "Reinforce":
        c = n["concepts"][op["id"]]
        c["evidence"] = c["evidence"] + op["evidence"]
        c["confidence"] = min(c["confidence"] + 0.1, 1.0)
    elif kind == "Restructure":
        assert structure_hash(s["structure"]) == op["old_hash"]
        n["structure"] = {}
        for node in op["nodes"]:
            n["structure"][node["id"]] = copy.deepcopy(node)
    elif kind == "Merge":
        parts = [prior, op["term"].encode(), op["definition"].encode()] + [ub(i) for i in op["ids"]]
        mid = derive("kelvora.op.merge.concept.v1", parts)
        evidence = list(op["evidence"])
        for i in op["ids"]:
            evidence += s["concepts"][i]["evidence"]
        n["concepts"][mid] = dict(id=mid, term=op["term"], definition=op["definition"],
                                  confidence=1.0, status="Active", created_at=time,
                                  evidence=evidence)
        for i in op["ids"]:
            n["concepts"][i]["status"] = "Superseded"
        for i in op["ids"]:
            rid = derive("kelvora.op.merge.derivesfrom.v1", [prior, ub(mid), ub(i)])
            n["relations"][rid] = derives_from(rid, mid, i)
        rewrite_refs(n["structure"], set(op["ids"]), [mid])
    else:  # Split
        src = op["id"]
        new_ids = []
        for k, (term, definition) in enumerate(op["parts"]):
            nid = derive("kelvora.op.split.concept.v1",
                         [prior, ub(src), k.to_bytes(4, "big"), term.encode(), definition.encode()])
            new_ids.append(nid)
            n["concepts"][nid] = dict(id=nid, term=term, definition=definition, confidence=1.0,
                                      status="Active", created_at=time, evidence=list(op["evidence"]))
        n["concepts"][src]["status"] = "Superseded"
        for nid in new_ids:
            rid = derive("kelvora.op.split.derivesfrom.v1", [prior, ub(nid), ub(src)])
            n["relations"][rid] = derives_from(rid, nid, src)
        rewrite_refs(n["structure"], {src}, new_ids)
    return n


# ---------------------------------------------------------------- the scores

def concept_counts(before, after):
    b, a = before["concepts"], after["concepts"]
    added = sum(1 for k in a if k not in b)
    removed = sum(1 for k in b if k not in a)
    modified = 0
    for k in a:
        if k in b:
            x, y = b[k], a[k]
            if (x["definition"] != y["definition"] or abs(x["confidence"] - y["confidence"]) > EPS
                    or x["status"] != y["status"]):
                modified += 1
    return added, removed, modified


def group_by_parent(structure):
    groups = {}
    for k in sorted(structure):
        node = structure[k]
        groups.setdefault(node["parent"], []).append((node["position"], k))
    return {p: [k for _, k in sorted(lst, key=lambda e: e[0])] for p, lst in groups.items()}


def count_inversions(s):
    if len(s) < 2:
        return 0
    mid = len(s) // 2
    left, right = list(s[:mid]), list(s[mid:])
    count = count_inversions(left) + count_inversions(right)
    i = j = 0
    while i < len(left) and j < len(right):
        if left[i] <= right[j]:
            i += 1
        else:
            count += len(left) - i
            j += 1
    return count


def kendall(first, second):
    index = {}
    for i, k in enumerate(first):
        index[k] = i
    s = [index[k] for k in second if k in index]
    m = len(s)
    if m < 2:
        return 0.0
    return float(count_inversions(s)) / float(m * (m - 1) // 2)


def structure_delta(old, new):
    total = float(len(old) + len(new))
    if total == 0:
        return 0.0
    added = sum(1 for k in new if k not in old)
    removed = sum(1 for k in old if k not in new)
    common = sorted(k for k in new if k in old)
    title_changed = sum(1 for k in common if old[k]["title"] != new[k]["title"])
    go, gn = group_by_parent(old), group_by_parent(new)
    keys = sorted(set(go) | set(gn), key=lambda p: (p is not None, ub(p) if p else b""))
    tau_sum, tau_count = 0.0, 0
    for p in keys:
        if p in go and p in gn and (len(go[p]) >= 2 or len(gn[p]) >= 2):
            tau_sum = tau_sum + kendall(go[p], gn[p])
            tau_count += 1
    tau_term = 0.0 if tau_count == 0 else (tau_sum / tau_count) * 0.3
    title_term = (title_changed / max(len(common), 1)) * 0.1
    removed_term = (removed / total) * 0.2
    added_term = (added / total) * 0.15
    return (title_term + (removed_term + added_term)) + tau_term


def minimality(before, op, after):
    n_c, n_r = len(before["concepts"]), len(before["relations"])
    kind = op["kind"]
    if kind in ("Assert", "Relate", "Refine", "Reinforce"):
        return 1.0
    if kind == "Revise":
        return 1.0 - concept_counts(before, after)[2] / max(n_c, 1)
    if kind == "Retract":
        removed_relations = sum(1 for k in before["relations"] if k not in after["relations"])
        return 1.0 - (concept_counts(before, after)[1] + removed_relations) / max(n_c + n_r, 1)
    if kind == "Restructure":
        return 1.0 - structure_delta(before["structure"], after["structure"])
    k = len(op["ids"]) if kind == "Merge" else len(op["parts"])
    return max(0.0, 1.0 - (k + 1) / max(n_c, 1))


AGM = dict(Assert="Expansion", Relate="Expansion", Refine="Expansion", Reinforce="Expansion",
           Revise="Revision", Restructure="Revision", Merge="Revision", Split="Revision",
           Retract="Contraction")


def justification_values(before, op, after):
    """(agm type, minimality, content shift or None, structure delta or None, evidence)."""
    kind = op["kind"]
    mini = minimality(before, op, after)
    if before["concepts"] == after["concepts"]:
        shift = None
    else:
        a, r, m = concept_counts(before, after)
        shift = (a + r + m) / max(len(before["concepts"]), 1)
    delta = None if before["structure"] == after["structure"] else structure_delta(
        before["structure"], after["structure"])
    if kind == "Assert":
        refs = op["concept"]["evidence"]
    elif kind == "Relate":
        refs = op["relation"]["evidence"]
    elif kind in ("Retract", "Restructure"):
        refs = []
    else:
        refs = op["evidence"]
    return AGM[kind], mini, shift, delta, refs


def justification_text(before, op, after):
    agm, mini, shift, delta, refs = justification_values(before, op, after)
    opt = lambda x: "null" if x is None else f64(x)
    return ('{"agm_type":"%s","minimality_score":%s,"content_shift_score":%s,'
            '"structure_delta_score":%s,"evidence_refs":%s}') % (agm, f64(mini), opt(shift),
                                                                 opt(delta), ev(refs))


# ------------------------------------------------------ the records document

def rfc3339(t):
    return json.loads(ts(t))[:-1] + "+00:00"


def evidence_doc(lst):
    return [{"turn_number": n, "text_excerpt": t} for n, t in lst]


def concept_doc(c):
    return {"id": c["id"], "term": c["term"], "definition": c["definition"],
            "confidence": c["confidence"], "status": c["status"],
            "created_at": rfc3339(c["created_at"]), "source_evidence": evidence_doc(c["evidence"])}


def relation_doc(r):
    d = {"id": r["id"], "from_concept": r["from"], "to_concept": r["to"],
         "relation_type": r["type"], "evidence": evidence_doc(r["evidence"]),
         "confidence": r["confidence"]}
    if r.get("source_document") is not None:
        d["source_document"] = r["source_document"]
    if r.get("cc") is not None:
        d["classification_confidence"] = r["cc"]
    return d


def node_doc(n):
    return {"id": n["id"], "title": n["title"], "node_type": n["node_type"], "parent": n["parent"],
            "position": n["position"], "content_hash": bytes(n["hash"]).hex(),
            "concept_refs": list(n["refs"])}


def operation_doc(op):
    kind = op["kind"]
    d = {"type": kind}
    if kind == "Assert":
        d["concept"] = concept_doc(op["concept"])
    elif kind == "Relate":
        d["relation"] = relation_doc(op["relation"])
    elif kind == "Restructure":
        d.update(old_structure_hash=bytes(op["old_hash"]).hex(),
                 new_nodes=[node_doc(n) for n in op["nodes"]], justification=op["justification"])
    elif kind == "Merge":
        d.update(concept_ids=op["ids"], merged_term=op["term"], merged_definition=op["definition"],
                 evidence=evidence_doc(op["evidence"]))
    elif kind == "Split":
        d.update(concept_id=op["id"], evidence=evidence_doc(op["evidence"]),
                 new_concepts=[{"term": t, "definition": x} for t, x in op["parts"]])
    else:
        d["concept_id"] = op["id"]
        if kind == "Retract":
            d["reason"] = op["reason"]
        else:
            d["evidence"] = evidence_doc(op["evidence"])
        if kind in ("Revise", "Refine"):
            d["new_definition"] = op["definition"]
        if kind == "Revise":
            d["conflict_set"] = op["conflicts"]
    return d


def record_doc(i, op, time, source, prior, resulting, chain, justification):
    agm, mini, shift, delta, refs = justification
    return {"id": "40000000-0000-0000-0000-%012x" % i, "operation": operation_doc(op),
            "timestamp": rfc3339(time), "source": source, "prior_state_hash": prior.hex(),
            "resulting_state_hash": resulting.hex(), "chain_hash": chain.hex(),
            "justification": {"agm_type": agm, "minimality_score": mini,
                              "content_shift_score": shift, "structure_delta_score": delta,
                              "evidence_refs": evidence_doc(refs)}}


# ---------------------------------------------------------------- the script

def cid(n):
    return "10000000-0000-0000-0000-0000000000%02x" % n


def rid(n):
    return "20000000-0000-0000-0000-0000000000%02x" % n


def nid(n):
    return "30000000-0000-0000-0000-0000000000%02x" % n


A, B, C = cid(1), cid(2), cid(3)


def node(n, title, parent, position, refs):
    return dict(id=nid(n), title=title, node_type="section" if parent is None else "para",
                parent=nid(parent) if parent is not None else None, position=position,
                hash=[n] * 32, refs=refs)


def script():
    """(operation, time stamp, source); structure hashes are filled in while running."""
    a = dict(id=A, term="Alpha", definition='first "quoted"\nline', confidence=0.1 + 0.2,
             status="Active", created_at=(1704164645, 120_000_000),
             evidence=[(1, "caf\u00e9 \u001f\u007f / \\")])
    b = dict(id=B, term="Beta", definition="", confidence=-0.0, status="Active",
             created_at=(1704164645, 5), evidence=[])
    c = dict(id=C, term="\u0393amma", definition="third", confidence=0.5, status="Active",
             created_at=(-1, 999_999_000), evidence=[(3, "g")])
    r1 = dict(id=rid(1), **{"from": A, "to": B}, type="Contradicts", evidence=[(4, "clash")],
              confidence=0.875, source_document="doc/1.txt", cc=1e-7)
    r2 = dict(id=rid(2), **{"from": C, "to": A}, type="DerivesFrom", evidence=[],
              confidence=1e16, cc=-0.0)
    outline = [node(1, "Intro", None, 0, [A, B]), node(2, "Body", None, 1, [C]),
               node(3, "First", 1, 0, [B, A]), node(4, "Second", 1, 1, []),
               node(7, "Third", 1, 2, [C, C])]
    draft = node(5, "draft", None, 2, [])
    reordered = [draft, node(1, "Introduction", None, 0, [A, B]), node(3, "First", 1, 5, [B, A]),
                 node(4, "Second", 1, 0, []), node(7, "Third", 1, 1, [C, C]),
                 node(6, "Deep", 3, 0, [A]), node(5, "Closing", None, 2, [C])]
    return [
        (dict(kind="Assert", concept=a), (1714979289, 0), "UserExplicit"),
        (dict(kind="Assert", concept=b), (1714979290, 123_456_000), "UserImplicit"),
        (dict(kind="Assert", concept=c), (1714979291, 5), "SystemEnrichment"),
        (dict(kind="Relate", relation=r1), (1714979292, 120_000_000), "UserExplicit"),
        (dict(kind="Relate", relation=r2), (1714979293, 0), "UserExplicit"),
        (dict(kind="Restructure", nodes=outline, justification="first\toutline"),
         (1714979294, 0), "SystemRestructure"),
        (dict(kind="Revise", id=A, definition="revised", conflicts=[B, B], evidence=[(7, "r")]),
         (1714979295, 0), "UserExplicit"),
        (dict(kind="Reinforce", id=C, evidence=[(8, "again")]), (1714979296, 0), "UserImplicit"),
        (dict(kind="Refine", id=B, definition="sharper", evidence=[]), (1714979297, 0),
         "UserExplicit"),
        (dict(kind="Restructure", nodes=reordered, justification=""), (1714979298, 0),
         "SystemRestructure"),
        (dict(kind="Merge", ids=[B, A], term="AlphaBeta", definition="merged",
              evidence=[(11, "m")]), (1714979299, 1_000), "UserExplicit"),
        (dict(kind="Split", id=C, parts=[("Gamma one", "g1"), ("Gamma two", "g2")],
              evidence=[(12, "s")]), (1714979300, 0), "UserExplicit"),
        (None, (1714979301, 0), "UserExplicit"),  # Retract of the first split concept
        (None, (1714979302, 0), "UserImplicit"),  # Reinforce of the merged concept
        (dict(kind="Retract", id=A, reason="UserExplicit"), (1714979303, 0), "UserExplicit"),
    ]


def main():
    state = dict(concepts={}, relations={}, structure={})
    prev = bytes(32)
    merged = split0 = None
    verbose = "-v" in sys.argv
    # --records-json PATH: also write the history as a records document.
    records_path = sys.argv[sys.argv.index("--records-json") + 1] if "--records-json" in sys.argv \
        else None
    records = []
    for i, (op, time, source) in enumerate(script()):
        prior = state_hash(state)
        if i == 12:
            op = dict(kind="Retract", id=split0, reason="Contradiction")
        if i == 13:
            op = dict(kind="Reinforce", id=merged, evidence=[])
        if op["kind"] == "Restructure":
            op["old_hash"] = structure_hash(state["structure"])
        new = apply_op(state, op, time, prior)
        if op["kind"] == "Merge":
            merged = next(k for k in new["concepts"] if k not in state["concepts"])
        if op["kind"] == "Split":
            parts = op["parts"]
            split0 = derive("kelvora.op.split.concept.v1",
                            [prior, ub(op["id"]), (0).to_bytes(4, "big"), parts[0][0].encode(),
                             parts[0][1].encode()])
        resulting = state_hash(new)
        payload = ('{"operation":%s,"timestamp":%s,"source":"%s","prior_state_hash":%s,'
                   '"resulting_state_hash":%s,"justification":%s}') % (
            op_text(op), ts(time), source, hash_array(prior), hash_array(resulting),
            justification_text(state, op, new))
        chain = sha(prev + payload.encode())
        print('    {"%s", "%s", "%s"},' % (op["kind"], resulting.hex(), chain.hex()))
        if verbose:
            print("      " + payload)
            print("      " + state_text(new))
        records.append(record_doc(i, op, time, source, prior, resulting, chain,
                                  justification_values(state, op, new)))
        prev = chain
        state = new
    if records_path:
        with open(records_path, "w", encoding="utf-8") as f:
            json.dump(records, f, indent=2, sort_keys=True, ensure_ascii=False)


main()
