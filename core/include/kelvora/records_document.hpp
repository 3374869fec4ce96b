// The records document: a JSON array of record objects, each with its
// operation tagged by "type".
#pragma once

#include <span>
#include <string>
#include <vector>

#include "kelvora/canonical.hpp"
#include "kelvora/error.hpp"
#include "kelvora/json_text.hpp"
#include "kelvora/types.hpp"

namespace kelvora::exchange {

// Readers. Every failure is a SerializationError carrying the first problem
// met in the order of reading; nothing of a failed read is returned. Unknown
// members are ignored.
Result<std::vector<EvolutionRecord>> records_from_json(const Json& value);
Result<EvolutionRecord> record_from_json(const Json& value);
Result<EvolutionOperation> operation_from_json(const Json& value);
Result<OperationJustification> justification_from_json(const Json& value);

// The document as printed text: two spaces of indentation, members in byte
// order of their keys, floats in the float text (null when not finite).
// Fails only by running out of memory.
std::string records_to_json_text(std::span<const EvolutionRecord> records);
// The same text written piece by piece, in order, each piece into the
// storage `place(context, size)` gives for its `size` bytes: for a caller
// that keeps the text in storage of its own.
void write_records_text(std::span<const EvolutionRecord> records, serialization::PlaceText place,
                        void* context);

}  // namespace kelvora::exchange
