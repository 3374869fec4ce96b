"""Chain checks, verified replay and Merkle inclusion proofs of PyKnowledgeState."""

import hashlib
import inspect
import json
from collections import OrderedDict

import pytest

import kelvora

K = kelvora.PyKnowledgeState

ZERO = "0" * 64
NOTHING = "nothing to verify: this state has no records, so there is no chain to check"
MISSING_COUNT = (
    "missing leaf_count: this proof predates the leaf-count commitment and cannot verify "
    "against a current root"
)

# (name, parameters, help text, static) in method-table order.
VERIFY_HELP = "Returns True if valid, raises ValueError on failure."
METHODS = [
    ("verify_chain", [], "Verify the chain hash integrity of all accumulated records.\n" + VERIFY_HELP, False),
    ("verify_chain_and_continuity", [], "Verify both chain integrity and state continuity.\n" + VERIFY_HELP, False),
    ("merkle_root", [], "Build a Merkle tree from accumulated records and return the root hash.", False),
    ("merkle_proof", ["index"], "Generate a Merkle inclusion proof for a record at the given index.\n"
     "Returns a dict with leaf_index, leaf_hash, path (list of [hash, is_left] pairs), and root.", False),
    ("verify_merkle_proof", ["proof_dict"], "Verify a Merkle inclusion proof against the current tree root.\n"
     "Takes a proof dict (from merkle_proof()) and returns True if valid.", False),
    ("state_to_json", [], "Serialize the current KnowledgeState to a JSON string with hex hashes.", False),
    ("from_json", ["json_str"], "Deserialize a KnowledgeState from a JSON string with hex hashes.\n"
     "Returns a new PyKnowledgeState (no records \u2014 use from_records_json for those).", True),
    ("records_to_json", [], "Serialize all evolution records to a JSON string with hex hashes.", False),
    ("from_records_json", ["json_str"], "Deserialize evolution records from a JSON string with hex hashes.\n"
     "Returns a new PyKnowledgeState with the records loaded but state reconstructed.", True),
    ("reconstruct", [], "Reconstruct state from all accumulated records and verify chain integrity.\n"
     "Returns True if reconstruction matches current state, raises ValueError on failure.", False),
]  # fmt: skip


def build(*terms):
    s = K()
    for t in terms:
        s = s.apply_assert(t, f"def of {t}")
    return s


def chain_hashes(s):
    return [r["chain_hash"] for r in s.all_records()]


def snapshot(s):
    return (s.state_hash(), s.record_count(), s.all_records(), s.concept_statuses())


# ------------------------------------------------- an independent Merkle tree


def _sha(*parts):
    return hashlib.sha256(b"".join(parts)).digest()


def _leaf(hex_leaf):
    return _sha(b"\x00", bytes.fromhex(hex_leaf))


def _pair(left, right):
    return _sha(b"\x01", left, right)


def _commit(count, top):
    return _sha(b"\x02", count.to_bytes(8, "little"), top).hex()


def py_levels(leaves):
    """The tree's levels, leaf hashes first, padded with the last leaf hash."""
    level = [_leaf(x) for x in leaves]
    width = 2
    while width < len(level):
        width *= 2
    level += [level[-1]] * (width - len(level))
    levels = [level]
    while len(level) > 1:
        level = [_pair(level[i], level[i + 1]) for i in range(0, len(level), 2)]
        levels.append(level)
    return levels


def py_root(leaves):
    return _commit(len(leaves), py_levels(leaves)[-1][0]) if leaves else ZERO


def py_path(leaves, index):
    path = []
    for level in py_levels(leaves)[:-1]:
        path.append((level[index ^ 1].hex(), bool(index & 1)))
        index //= 2
    return path


def py_recomputed_root(proof):
    current = _leaf(proof["leaf_hash"])
    for sibling, is_left in proof["path"]:
        sibling = bytes.fromhex(sibling)
        current = _pair(sibling, current) if is_left else _pair(current, sibling)
    return _commit(proof["leaf_count"], current)


# ------------------------------------------------------------ the methods


@pytest.mark.parametrize("name,params,help_text,static", METHODS, ids=[m[0] for m in METHODS])
def test_introspection(name, params, help_text, static):
    method = getattr(K(), name)
    assert method.__doc__ == help_text
    assert list(inspect.signature(method).parameters) == params
    assert isinstance(vars(K)[name], staticmethod) == static


def test_table_positions():
    public = [n for n in vars(K) if not n.startswith("_")]
    assert public[21:31] == [m[0] for m in METHODS]


def test_fresh_object():
    s = K()
    for method in (s.verify_chain, s.verify_chain_and_continuity):
        with pytest.raises(ValueError) as e:
            method()
        assert str(e.value) == NOTHING
    assert s.reconstruct() is True
    assert s.merkle_root() == ZERO
    with pytest.raises(ValueError, match=r"^index 0 out of range$"):
        s.merkle_proof(0)
    assert s.records_to_json() == "[]"


@pytest.mark.parametrize("n", [1, 3, 9])
def test_merkle_against_independent_tree(n):
    s = build(*(f"t{i}" for i in range(n)))
    leaves = chain_hashes(s)
    assert s.merkle_root() == py_root(leaves)
    for i in range(n):
        proof = s.merkle_proof(index=i)
        assert proof == {
            "leaf_index": i,
            "leaf_count": n,
            "leaf_hash": leaves[i],
            "root": py_root(leaves),
            "path": py_path(leaves, i),
        }
        assert list(proof) == ["leaf_index", "leaf_count", "leaf_hash", "root", "path"]
        assert all(type(step) is tuple for step in proof["path"])
        assert s.verify_merkle_proof(proof_dict=proof) is True
    for index in (n, 2**64 - 1):
        with pytest.raises(ValueError, match=rf"^index {index} out of range$"):
            s.merkle_proof(index)


@pytest.mark.parametrize(
    "index,exc",
    [(-1, OverflowError), (2**64, OverflowError), ("0", TypeError), (1.0, TypeError), (None, TypeError)],
)
def test_merkle_proof_index_conversion(index, exc):
    with pytest.raises(exc, match="index"):
        build("a").merkle_proof(index)


# ------------------------------------------------------ verify_merkle_proof

# A proof of record 1 of a three-record history: path (leaf 0, True), (node, False).
S3 = build("a", "b", "c")
P3 = S3.merkle_proof(1)


def _with(**changes):
    def change(p):
        for key, value in changes.items():
            if value is _with.DELETE:
                del p[key]
            else:
                p[key] = value(p) if callable(value) else value
        return p

    return change


_with.DELETE = object()
DEL = _with.DELETE
OTHER = "ab" * 32


def _flip(level):
    def f(p):
        path = list(p["path"])
        sibling, is_left = path[level]
        path[level] = (sibling, not is_left)
        return path

    return f


def _first_hash(text):
    return lambda p: [(text, p["path"][0][1])] + list(p["path"][1:])


def _computed_root(**changes):
    """The computed-root message for P3 with `changes`, recomputed here."""

    def message(p):
        root = py_recomputed_root(_with(**changes)(dict(p)))
        return (
            f"merkle proof verification failed: computed root {root} "
            f"does not match expected root {p['root']}"
        )

    return message


FAILED = "merkle proof verification failed: "

# (mutation, exception, exact message or a function of the original proof)
PROOF_FAILURES = {
    "no leaf_hash": (_with(leaf_hash=DEL), ValueError, "missing leaf_hash"),
    "leaf_hash not str": (_with(leaf_hash=5), TypeError, None),
    "leaf_hash short": (_with(leaf_hash="abc"), ValueError, "invalid leaf_hash: expected 64 hex chars, got 3"),
    "no leaf_index": (_with(leaf_index=DEL), ValueError, "missing leaf_index"),
    "leaf_index negative": (_with(leaf_index=-1), OverflowError, None),
    "leaf_index str": (_with(leaf_index="1"), TypeError, None),
    "no root": (_with(root=DEL), ValueError, "missing root"),
    "root None": (_with(root=None), TypeError, None),
    "root short": (_with(root="ab"), ValueError, "invalid root: expected 64 hex chars, got 2"),
    "root other tree": (
        _with(root=OTHER),
        ValueError,
        lambda p: f"proof is for a different tree: proof root {OTHER} does not match this state's root {p['root']}",
    ),
    "no path": (_with(path=DEL), ValueError, "missing path"),
    "path str": (_with(path="ab"), TypeError, None),
    "path int": (_with(path=5), TypeError, None),
    "path dict": (_with(path=lambda p: dict(p["path"])), TypeError, None),
    "path set": (_with(path=lambda p: set(p["path"])), TypeError, None),
    "path lists": (_with(path=lambda p: [list(x) for x in p["path"]]), TypeError, None),
    "path triple": (
        _with(path=lambda p: [p["path"][0] + (1,), p["path"][1]]),
        ValueError,
        "expected tuple of length 2, but got tuple of length 3",
    ),
    "path hash not str": (_with(path=lambda p: [(1, True), p["path"][1]]), TypeError, None),
    "path flag int": (_with(path=lambda p: [(p["path"][0][0], 1), p["path"][1]]), TypeError, None),
    "path hash 63 digits": (_with(path=_first_hash("a" * 63)), ValueError, "expected 64 hex chars, got 63"),
    "no leaf_count": (_with(leaf_count=DEL), ValueError, MISSING_COUNT),
    "leaf_count negative": (_with(leaf_count=-3), OverflowError, None),
    "leaf_count float": (_with(leaf_count=3.0), TypeError, None),
    "leaf_count zero": (_with(leaf_count=0), ValueError, FAILED + "proof claims a tree with no leaves"),
    "other leaf_hash": (_with(leaf_hash=OTHER), ValueError, _computed_root(leaf_hash=OTHER)),
}


@pytest.mark.parametrize("mutate,exc,message", PROOF_FAILURES.values(), ids=PROOF_FAILURES)
def test_verify_merkle_proof_failures(mutate, exc, message):
    proof = mutate(dict(P3))
    before = snapshot(S3)
    with pytest.raises(exc) as e:
        S3.verify_merkle_proof(proof)
    if callable(message):
        message = message(P3)
    if message is not None:
        assert str(e.value) == message
    assert snapshot(S3) == before


# Two faults at once: the one read first is reported.
READING_ORDER = {
    "leaf_hash before the rest": (
        _with(leaf_hash=DEL, leaf_index="x", root=DEL, path=DEL, leaf_count=DEL),
        ValueError,
        "missing leaf_hash",
    ),
    "leaf_index before root": (_with(leaf_index="x", root=DEL), TypeError, None),
    "root before path": (_with(root=DEL, path=5), ValueError, "missing root"),
    "tree root before path": (
        _with(root=OTHER, path=DEL),
        ValueError,
        f"proof is for a different tree: proof root {OTHER} does not match this state's root {P3['root']}",
    ),
    "path before leaf_count": (_with(path=DEL, leaf_count=DEL), ValueError, "missing path"),
    "path items before hash texts": (
        _with(path=lambda p: [("bad", True), ("bad", 1)]),
        TypeError,
        None,
    ),
    "hash texts in path order": (
        _with(path=lambda p: [("a" * 63, True), ("b" * 62, False)]),
        ValueError,
        "expected 64 hex chars, got 63",
    ),
    "path hashes before leaf_count": (
        _with(path=_first_hash("a"), leaf_count=DEL),
        ValueError,
        "expected 64 hex chars, got 1",
    ),
    "leaf_count before verification": (
        _with(leaf_count=DEL, leaf_index=99),
        ValueError,
        MISSING_COUNT,
    ),
}


@pytest.mark.parametrize("mutate,exc,message", READING_ORDER.values(), ids=READING_ORDER)
def test_verify_merkle_proof_reading_order(mutate, exc, message):
    with pytest.raises(exc) as e:
        S3.verify_merkle_proof(mutate(dict(P3)))
    if message is not None:
        assert str(e.value) == message


class ProofDict(dict):
    def __getitem__(self, key):  # not consulted: members are read as a dict's
        raise AssertionError(key)


@pytest.mark.parametrize(
    "make",
    [
        lambda p: p,
        lambda p: OrderedDict(reversed(list(p.items()))),
        lambda p: ProofDict(p),
        lambda p: dict(p, extra="ignored", root=p["root"].upper()),
        lambda p: dict(p, path=tuple(p["path"])),
        lambda p: dict(p, leaf_hash=p["leaf_hash"].upper()),
    ],
    ids=["plain", "ordered", "subclass", "extra key, upper-case root", "tuple path", "upper-case leaf"],
)
def test_verify_merkle_proof_accepts(make):
    assert S3.verify_merkle_proof(make(dict(P3))) is True


@pytest.mark.parametrize("arg", [[("leaf_hash", "x")], None, "{}", type(P3)], ids=["list", "None", "str", "type"])
def test_verify_merkle_proof_wants_a_dict(arg):
    with pytest.raises(TypeError, match="proof_dict"):
        S3.verify_merkle_proof(arg)


def test_proof_from_an_older_object():
    older = build("a", "b")
    proof = older.merkle_proof(1)
    newer = older.apply_assert("c", "gamma")
    assert chain_hashes(newer)[1] == proof["leaf_hash"]
    with pytest.raises(ValueError) as e:
        newer.verify_merkle_proof(proof)
    assert str(e.value) == (
        f"proof is for a different tree: proof root {older.merkle_root()} "
        f"does not match this state's root {newer.merkle_root()}"
    )
    assert older.verify_merkle_proof(proof) is True


def test_proof_value_that_runs_code_while_read():
    """Converting leaf_index calls back into Python; the tree is already built."""
    s = build("a", "b", "c")
    proof = dict(s.merkle_proof(2))

    class Index:
        def __index__(self):
            # Grow other histories off the same records while the proof is read.
            for i in range(50):
                s.apply_assert(f"x{i}", "d")
            proof["path"] = [list(step) for step in proof["path"]]
            return 2

    proof["leaf_index"] = Index()
    with pytest.raises(TypeError):
        s.verify_merkle_proof(proof)
    proof["path"] = [tuple(step) for step in proof["path"]]
    proof["leaf_index"] = type("Index", (), {"__index__": lambda self: 2})()
    assert s.verify_merkle_proof(proof) is True


# ------------------------------------------------ chain checks and replay


def test_real_history_verifies():
    s = build("a", "b").apply_relate("a", "b", "supports").apply_retract("b")
    assert s.verify_chain() is True
    assert s.verify_chain_and_continuity() is True
    assert s.reconstruct() is True


def test_loaded_state_has_no_history_of_its_own():
    source = build("a", "b")
    loaded = K.from_json(source.state_to_json())
    empty = K().state_hash()
    assert loaded.record_count() == 0 and loaded.state_hash() == source.state_hash()
    with pytest.raises(ValueError) as e:
        loaded.reconstruct()
    assert str(e.value) == f"reconstruction mismatch: expected {loaded.state_hash()}, got {empty}"

    # Its records chain, but replay from the empty state cannot continue them.
    grown = loaded.apply_assert("c", "gamma")
    assert grown.verify_chain() is True
    for call in (grown.verify_chain_and_continuity, grown.reconstruct,
                 lambda: K.from_records_json(grown.records_to_json())):  # fmt: skip
        with pytest.raises(ValueError, match="^state continuity failed at record index 0: "):
            call()


@pytest.mark.parametrize(
    "call",
    [
        lambda: K.from_json(),
        lambda: K.from_json("{}", "{}"),
        lambda: K.from_records_json(text="[]"),
        lambda: build("a").merkle_proof(),
        lambda: build("a").merkle_proof(0, index=0),
        lambda: S3.verify_merkle_proof(),
    ],
)
def test_argument_count_errors(call):
    with pytest.raises(TypeError):
        call()


# --------------------------------------------------------------- leaks


def _exercise(s, loaded, proof, texts):
    s.verify_chain()
    s.verify_chain_and_continuity()
    s.reconstruct()
    s.merkle_root()
    s.merkle_proof(1)
    s.verify_merkle_proof(proof)
    K.from_json(texts[0]).state_to_json()
    K.from_records_json(texts[1]).records_to_json()
    for bad in (
        lambda: K().verify_chain(),
        lambda: loaded.reconstruct(),
        lambda: loaded.verify_chain_and_continuity(),
        lambda: s.merkle_proof(9),
        lambda: s.merkle_proof(-1),
        lambda: s.verify_merkle_proof(dict(proof, leaf_count=7)),
        lambda: s.verify_merkle_proof(dict(proof, path=[list(x) for x in proof["path"]])),
        lambda: s.verify_merkle_proof(dict(proof, path=[proof["path"][0] + (1,)])),
        lambda: s.verify_merkle_proof(dict(proof, root=OTHER)),
        lambda: s.verify_merkle_proof({"leaf_hash": proof["leaf_hash"]}),
        lambda: s.verify_merkle_proof([]),
        lambda: K.from_json("{"),
        lambda: K.from_json("[]"),
        lambda: K.from_json(5),
        lambda: K.from_json("\ud800"),
        lambda: K.from_records_json(texts[2]),
        lambda: K.from_records_json("{}"),
    ):
        try:
            bad()
        except (ValueError, TypeError, OverflowError, UnicodeEncodeError):
            pass


def test_no_reference_leaks(assert_no_leaks):
    s = build("a", "b", "c")
    loaded = K.from_json(s.state_to_json()).apply_assert("d", "delta")
    proof = s.merkle_proof(1)
    tampered = json.loads(s.records_to_json())
    tampered[1]["justification"]["minimality_score"] = 0.5
    texts = [s.state_to_json(), s.records_to_json(), json.dumps(tampered)]
    watched = [s, loaded, proof, proof["path"], proof["leaf_hash"], *texts]
    assert_no_leaks(lambda: _exercise(s, loaded, proof, texts), watched, 20, 200)

