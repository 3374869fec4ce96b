// The records document: a JSON array of record objects, each with its
// operation tagged by "type".
#pragma once

#include <span>
#include <string>
#include <vector>

#include "kelvora/error.hpp"
#include "kelvora/json_text.hpp"
#include "kelvora/types.hpp"

namespace kelvora::exchange {

// Writers. None of them fails; floats are stored as they are and printed as
// null when not finite.
Json records_to_json(std::span<const EvolutionRecord> records);
Json record_to_json(const EvolutionRecord& record);
Json operation_to_json(const EvolutionOperation& operation);

// Readers. Every failure is a SerializationError carrying the first problem
// met in the order of reading; nothing of a failed read is returned. Unknown
// members are ignored.
Result<std::vector<EvolutionRecord>> records_from_json(const Json& value);
Result<EvolutionRecord> record_from_json(const Json& value);
Result<EvolutionOperation> operation_from_json(const Json& value);
Result<OperationJustification> justification_from_json(const Json& value);

// The document as printed text.
std::string records_to_json_text(std::span<const EvolutionRecord> records);

}  // namespace kelvora::exchange
