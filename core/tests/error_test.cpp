// Display texts of the fourteen error kinds.
#include "kelvora/error.hpp"

#include <gtest/gtest.h>

#include <string>

#include "kelvora/types.hpp"

using namespace kelvora;

namespace {
const std::string kHexA(64, 'a');
const std::string kHexB = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
}  // namespace

struct ErrorCase {
  EngineError error;
  ErrorKind kind;
  std::string text;
};

TEST(EngineError, EveryDisplayText) {
  const ErrorCase cases[] = {
      {EngineError::concept_not_found("6ba7b810-9dad-41d1-80b4-00c04fd430c8"),
       ErrorKind::ConceptNotFound, "concept not found: 6ba7b810-9dad-41d1-80b4-00c04fd430c8"},
      {EngineError::concept_already_exists("6ba7b810-9dad-41d1-80b4-00c04fd430c8"),
       ErrorKind::ConceptAlreadyExists,
       "concept already exists: 6ba7b810-9dad-41d1-80b4-00c04fd430c8"},
      {EngineError::conflict_detected("x y"), ErrorKind::ConflictDetected,
       "conflict detected: x y"},
      {EngineError::unknown_concept_reference("abc"), ErrorKind::UnknownConceptReference,
       "relation references unknown concept: abc"},
      {EngineError::invalid_confidence("NaN"), ErrorKind::InvalidConfidence,
       "invalid confidence: NaN"},
      {EngineError::serialization_error("missing concept id"), ErrorKind::SerializationError,
       "serialization error: missing concept id"},
      {EngineError::hash_mismatch(kHexA, kHexB), ErrorKind::HashMismatch,
       "hash mismatch: expected " + kHexA + ", got " + kHexB},
      {EngineError::duplicate_term("Apple"), ErrorKind::DuplicateTerm,
       "duplicate term: concept with term 'Apple' already exists"},
      {EngineError::cycle_detected("a -> b -> a"), ErrorKind::CycleDetected,
       "cycle detected in DerivesFrom relations: a -> b -> a"},
      {EngineError::invalid_structure("node x"), ErrorKind::InvalidStructure,
       "invalid structure: node x"},
      {EngineError::chain_verification_failed(7, "bad link"), ErrorKind::ChainVerificationFailed,
       "chain verification failed at record index 7: bad link"},
      {EngineError::state_continuity_failed(3, kHexA, kHexB), ErrorKind::StateContinuityFailed,
       "state continuity failed at record index 3: expected prior_state_hash " + kHexA + ", got " +
           kHexB},
      {EngineError::merkle_proof_failed("root"), ErrorKind::MerkleProofFailed,
       "merkle proof verification failed: root"},
      {EngineError::provenance_error("p"), ErrorKind::ProvenanceError, "provenance error: p"},
  };
  int order = 0;
  for (const auto& c : cases) {
    EXPECT_EQ(c.error.kind(), c.kind);
    EXPECT_EQ(static_cast<int>(c.kind), order++);
    EXPECT_EQ(c.error.message(), c.text);
  }
}

TEST(EngineError, PayloadIsNotEscaped) {
  EXPECT_EQ(EngineError::duplicate_term("it's \"q\"\n").message(),
            "duplicate term: concept with term 'it's \"q\"\n' already exists");
}

TEST(EngineError, LargeIndex) {
  EXPECT_EQ(EngineError::chain_verification_failed(18446744073709551615ull, "x").message(),
            "chain verification failed at record index 18446744073709551615: x");
}
