// The engine's error type: the fourteen kinds and their display texts.
#include "kelvora/error.hpp"

#include <string>

namespace kelvora {

EngineError EngineError::concept_not_found(std::string id) {
  return EngineError(ErrorKind::ConceptNotFound, std::move(id));
}
EngineError EngineError::concept_already_exists(std::string id) {
  return EngineError(ErrorKind::ConceptAlreadyExists, std::move(id));
}
EngineError EngineError::conflict_detected(std::string text) {
  return EngineError(ErrorKind::ConflictDetected, std::move(text));
}
EngineError EngineError::unknown_concept_reference(std::string text) {
  return EngineError(ErrorKind::UnknownConceptReference, std::move(text));
}
EngineError EngineError::invalid_confidence(std::string text) {
  return EngineError(ErrorKind::InvalidConfidence, std::move(text));
}
EngineError EngineError::serialization_error(std::string text) {
  return EngineError(ErrorKind::SerializationError, std::move(text));
}
EngineError EngineError::hash_mismatch(std::string expected_hex, std::string got_hex) {
  return EngineError(ErrorKind::HashMismatch, std::move(expected_hex), std::move(got_hex));
}
EngineError EngineError::duplicate_term(std::string term) {
  return EngineError(ErrorKind::DuplicateTerm, std::move(term));
}
EngineError EngineError::cycle_detected(std::string text) {
  return EngineError(ErrorKind::CycleDetected, std::move(text));
}
EngineError EngineError::invalid_structure(std::string text) {
  return EngineError(ErrorKind::InvalidStructure, std::move(text));
}
EngineError EngineError::chain_verification_failed(std::uint64_t index, std::string text) {
  return EngineError(ErrorKind::ChainVerificationFailed, std::to_string(index), std::move(text));
}
EngineError EngineError::state_continuity_failed(std::uint64_t index, std::string expected_hex,
                                                 std::string got_hex) {
  return EngineError(ErrorKind::StateContinuityFailed, std::to_string(index),
                     std::move(expected_hex), std::move(got_hex));
}
EngineError EngineError::merkle_proof_failed(std::string text) {
  return EngineError(ErrorKind::MerkleProofFailed, std::move(text));
}
EngineError EngineError::provenance_error(std::string text) {
  return EngineError(ErrorKind::ProvenanceError, std::move(text));
}

std::string EngineError::message() const {
  switch (kind_) {
    case ErrorKind::ConceptNotFound:
      return "concept not found: " + a_;
    case ErrorKind::ConceptAlreadyExists:
      return "concept already exists: " + a_;
    case ErrorKind::ConflictDetected:
      return "conflict detected: " + a_;
    case ErrorKind::UnknownConceptReference:
      return "relation references unknown concept: " + a_;
    case ErrorKind::InvalidConfidence:
      return "invalid confidence: " + a_;
    case ErrorKind::SerializationError:
      return "serialization error: " + a_;
    case ErrorKind::HashMismatch:
      return "hash mismatch: expected " + a_ + ", got " + b_;
    case ErrorKind::DuplicateTerm:
      return "duplicate term: concept with term '" + a_ + "' already exists";
    case ErrorKind::CycleDetected:
      return "cycle detected in DerivesFrom relations: " + a_;
    case ErrorKind::InvalidStructure:
      return "invalid structure: " + a_;
    case ErrorKind::ChainVerificationFailed:
      return "chain verification failed at record index " + a_ + ": " + b_;
    case ErrorKind::StateContinuityFailed:
      return "state continuity failed at record index " + a_ + ": expected prior_state_hash " + b_ +
             ", got " + c_;
    case ErrorKind::MerkleProofFailed:
      return "merkle proof verification failed: " + a_;
    case ErrorKind::ProvenanceError:
      return "provenance error: " + a_;
  }
  internal_fault("unknown error kind");
}

void internal_fault(const char* message) { throw InternalFault(message); }

}  // namespace kelvora
