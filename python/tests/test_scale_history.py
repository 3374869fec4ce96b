"""Histories shared and branched at random: every object keeps exactly its own
records, and the Merkle roots and proofs kept along a history equal those of a
tree built afresh (here with hashlib)."""

import hashlib

from hypothesis import given, settings
from hypothesis import strategies as st

import kelvora

K = kelvora.PyKnowledgeState


def sha(*parts):
    return hashlib.sha256(b"".join(parts)).digest()


def expected_tree(obj):
    """The root and every proof dict of a tree built afresh over obj's records."""
    leaves = [bytes.fromhex(r["chain_hash"]) for r in obj.all_records()]
    n = len(leaves)
    if n == 0:
        return "0" * 64, []
    level = [sha(b"\0", leaf) for leaf in leaves]
    level += level[-1:] * (max(2, 1 << (n - 1).bit_length()) - n)
    levels = [level]
    while len(level) > 1:
        level = [sha(b"\1", level[i], level[i + 1]) for i in range(0, len(level), 2)]
        levels.append(level)
    root = sha(b"\2", n.to_bytes(8, "little"), level[0]).hex()
    proofs = [
        {
            "leaf_index": i,
            "leaf_count": n,
            "leaf_hash": leaves[i].hex(),
            "root": root,
            "path": [(lv[(i >> k) ^ 1].hex(), bool(i >> k & 1)) for k, lv in enumerate(levels[:-1])],
        }
        for i in range(n)
    ]
    return root, proofs


def check(obj, ids):
    records = obj.all_records()
    assert [r["id"] for r in records] == ids
    assert obj.record_count() == len(ids)
    assert obj.last_record() == (records[-1] if records else None)
    root, proofs = expected_tree(obj)
    assert obj.merkle_root() == root
    assert [obj.merkle_proof(i) for i in range(len(ids))] == proofs
    if ids:
        assert obj.verify_merkle_proof(proofs[-1]) and obj.verify_chain()


# (which pooled object to apply to, keep the result, which object to drop or check)
STEPS = st.lists(st.tuples(st.integers(0, 99), st.booleans(), st.integers(0, 99)), max_size=40)


@settings(max_examples=80)
@given(STEPS)
def test_random_branching_keeps_records_roots_and_proofs(steps):
    pool = [(K(), [])]
    for n, (pick, keep, other) in enumerate(steps):
        source, ids = pool[pick % len(pool)]
        result = source.apply_assert(f"t{n}", "d")
        if keep:
            pool.append((result, ids + [result.last_record()["id"]]))
        del result
        if other % 3 == 0 and len(pool) > 1:
            pool.pop(other % len(pool))
        else:
            # Proofs asked between appends: the kept levels grow with the history.
            check(*pool[other % len(pool)])
    for obj, ids in pool:
        check(obj, ids)


def test_a_long_chain_of_branches():
    """Each step branches off a history whose longer result is still alive:
    the records stay right however deep the branches nest, and dropping them
    all at once is fine."""
    s, ids, kept = K(), [], None
    for i in range(3000):
        kept = s.apply_assert(f"a{i}", "d")
        s = s.apply_assert(f"b{i}", "d")
        ids.append(s.last_record()["id"])
    assert kept.record_count() == len(ids)
    assert [r["id"] for r in s.all_records()] == ids
    assert s.merkle_root() == expected_tree(s)[0]
    assert s.state_at(10).all_records() == s.all_records()[:11]
    del s, kept
