// PyKnowledgeState methods that hand the analytics reports to Python as
// dicts: coherence, concept stability, epistemic direction, argumentation
// status, impact radius, relation analytics and source analytics. Each reads
// the receiver and never changes it.
//
// A report names a concept by its term when the receiver's state holds the
// concept, whatever its status, and by its UUID text otherwise.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace kelvora::py {

// METH_NOARGS
PyObject* coherence_report(PyObject* self, PyObject* unused);
PyObject* argumentation_status_report(PyObject* self, PyObject* unused);
PyObject* relation_analytics_report(PyObject* self, PyObject* unused);
PyObject* source_analytics_report(PyObject* self, PyObject* unused);

// METH_FASTCALL | METH_KEYWORDS
PyObject* concept_stability_report(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames);
PyObject* epistemic_direction_report(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames);
PyObject* impact_radius_report(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames);

// Docstrings: text signature, "--", an empty line, the help text and the keys
// of the returned dict in their order.
inline constexpr char kCoherenceReportDoc[] =
    "coherence_report($self)\n--\n\n"
    "Compute coherence metrics over the current state and accumulated records.\n"
    "\n"
    "Returns a dict with:\n"
    "  - \"unresolved_contradictions\": list of [term_a, term_b] pairs\n"
    "  - \"coherence_score\": float [0.0\xe2\x80\x93"
    "1.0]\n"
    "  - \"is_equilibrium\": bool\n"
    "  - \"concept_stability\": dict of term \xe2\x86\x92 stability dict";

inline constexpr char kConceptStabilityReportDoc[] =
    "concept_stability_report($self, term)\n--\n\n"
    "Compute stability metrics for a single concept by term.\n"
    "\n"
    "Returns a dict with:\n"
    "  - \"semantic_version\": [major, minor]\n"
    "  - \"total_transitions\": int\n"
    "  - \"records_since_last_change\": int\n"
    "  - \"volatility\": float\n"
    "  - \"definition_arc\": list of {record_index, operation_type, definition}";

inline constexpr char kEpistemicDirectionReportDoc[] =
    "epistemic_direction_report($self, window_size=0)\n--\n\n"
    "Analyse the epistemic direction of accumulated records.\n"
    "\n"
    "Returns a dict with:\n"
    "  - \"assert_ratio\": float\n"
    "  - \"refine_ratio\": float\n"
    "  - \"revise_ratio\": float\n"
    "  - \"direction\": \"Broadening\" | \"Deepening\" | \"Restructuring\"\n"
    "  - \"trend\": list of [window_start, direction_string]";

inline constexpr char kArgumentationStatusReportDoc[] =
    "argumentation_status_report($self)\n--\n\n"
    "Compute argumentation status from Contradicts relations.\n"
    "\n"
    "Returns a dict with:\n"
    "  - \"attacked\": list of terms\n"
    "  - \"defended\": list of terms\n"
    "  - \"uncontested\": list of terms\n"
    "  - \"grounded_extension\": list of terms";

inline constexpr char kImpactRadiusReportDoc[] =
    "impact_radius_report($self, term)\n--\n\n"
    "Compute downstream impact of a concept via DerivesFrom chains.\n"
    "\n"
    "Returns a dict with:\n"
    "  - \"downstream_concepts\": list of terms\n"
    "  - \"affected_structure\": list of structure node titles\n"
    "  - \"radius\": int (max derivation depth)";

inline constexpr char kRelationAnalyticsReportDoc[] =
    "relation_analytics_report($self)\n--\n\n"
    "Analyse relations in the current state.\n"
    "\n"
    "Returns a dict with:\n"
    "  - \"type_distribution\": dict of relation_type \xe2\x86\x92 count\n"
    "  - \"concept_centrality\": dict of term \xe2\x86\x92 float\n"
    "  - \"dead_relations\": int (count of dead relations)\n"
    "  - \"clusters\": list of lists of terms (connected components)";

inline constexpr char kSourceAnalyticsReportDoc[] =
    "source_analytics_report($self)\n--\n\n"
    "Analyse operation sources across accumulated records.\n"
    "\n"
    "Returns a dict with:\n"
    "  - \"user_verified_ratio\": float\n"
    "  - \"override_count\": int\n"
    "  - \"confirmation_latency\": list of [term, latency]\n"
    "  - \"source_distribution\": dict of source_type \xe2\x86\x92 count\n"
    "  - \"reinforce_count\": int";

}  // namespace kelvora::py
