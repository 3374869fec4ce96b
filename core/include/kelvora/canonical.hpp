// The canonical text of the engine's values: compact JSON in declared field
// order, the bytes every hash is taken over. The state text built from these
// pieces is in state_text.hpp.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "kelvora/types.hpp"

namespace kelvora::serialization {

// Writer pieces, each appending to `out` (compact JSON).
void write_string(std::string& out, std::string_view text);
// The float text; non-finite values as null.
void write_f64(std::string& out, double value);
void write_hash(std::string& out, const Hash& hash);   // array of 32 numbers
void write_timestamp(std::string& out, Timestamp ts);  // JSON string, ends in Z
void write_evidence(std::string& out, const std::vector<EvidenceRef>& evidence);
// Full objects in declared field order. In the state text, zero confidences are
// written as positive zero (`normalize_zero`); operation payloads keep values.
void write_concept(std::string& out, const Concept& concept_value, bool normalize_zero);
void write_relation(std::string& out, const Relation& relation, bool normalize_zero);
void write_structure_node(std::string& out, const StructureNode& node);
// The member text `"<key>":{...}` of a state entry (zero confidences written
// as positive zero), written into the storage `place(context, size)` returns
// for its exact size.
using PlaceText = char* (*)(void* context, std::size_t size);
void write_member(const Uuid& key, const Concept& value, PlaceText place, void* context);
void write_member(const Uuid& key, const Relation& value, PlaceText place, void* context);
void write_member(const Uuid& key, const StructureNode& value, PlaceText place, void* context);
void write_operation(std::string& out, const EvolutionOperation& operation);
void write_justification(std::string& out, const OperationJustification& justification);

}  // namespace kelvora::serialization
