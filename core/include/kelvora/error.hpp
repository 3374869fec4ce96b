// The one error type of the engine, plus the internal-fault exception.
#pragma once

#include <cstdint>
#include <expected>
#include <stdexcept>
#include <string>
#include <utility>

namespace kelvora {

struct Hash;

enum class ErrorKind : std::uint8_t {
  ConceptNotFound,
  ConceptAlreadyExists,
  ConflictDetected,
  UnknownConceptReference,
  InvalidConfidence,
  SerializationError,
  HashMismatch,
  DuplicateTerm,
  CycleDetected,
  InvalidStructure,
  ChainVerificationFailed,
  StateContinuityFailed,
  MerkleProofFailed,
  ProvenanceError,
};

// An error value: its kind and the payload already rendered in display form
// (identifiers as text, hashes as hex, indices as decimal).
class EngineError {
 public:
  static EngineError concept_not_found(std::string id);
  static EngineError concept_already_exists(std::string id);
  static EngineError conflict_detected(std::string text);
  static EngineError unknown_concept_reference(std::string text);
  static EngineError invalid_confidence(std::string text);
  static EngineError serialization_error(std::string text);
  static EngineError hash_mismatch(std::string expected_hex, std::string got_hex);
  static EngineError duplicate_term(std::string term);
  static EngineError cycle_detected(std::string text);
  static EngineError invalid_structure(std::string text);
  static EngineError chain_verification_failed(std::uint64_t index, std::string text);
  static EngineError state_continuity_failed(std::uint64_t index, std::string expected_hex,
                                             std::string got_hex);
  static EngineError merkle_proof_failed(std::string text);
  static EngineError provenance_error(std::string text);

  ErrorKind kind() const { return kind_; }
  // The display text: the kind's template with the payload filled in.
  std::string message() const;

 private:
  EngineError(ErrorKind kind, std::string a, std::string b = {}, std::string c = {})
      : kind_(kind), a_(std::move(a)), b_(std::move(b)), c_(std::move(c)) {}

  ErrorKind kind_;
  std::string a_, b_, c_;
};

template <class T>
using Result = std::expected<T, EngineError>;

inline std::unexpected<EngineError> fail(EngineError e) { return std::unexpected(std::move(e)); }

// Binds `var` to the value of `expr`, a std::expected, or returns its error
// from the enclosing function, whose result is a std::expected with the same
// error type.
#define KELVORA_TRY(var, expr)                                                \
  auto var##_result = (expr);                                                 \
  if (!var##_result) return std::unexpected(std::move(var##_result.error())); \
  auto var = std::move(*var##_result)

// A failure that valid data cannot cause. Never thrown for bad input; only the
// Python boundary catches it.
class InternalFault : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

[[noreturn]] void internal_fault(const char* message);

}  // namespace kelvora
