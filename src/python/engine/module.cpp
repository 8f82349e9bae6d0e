// refsieve_cli._engine: the engine that the refsieve command scores with.
// It is built from the same core and batch libraries as the refsieve
// module; unlike refsieve.score_batch it takes its records as columns
// (Records), scores with the interpreter lock released, answers Ctrl-C
// while it scores, and returns its results as columns of numbers.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "batch/thread_pool.hpp"
#include "core/scoring_rules.hpp"
#include "engine/matching.hpp"
#include "python/calls.hpp"
#include "python/convert_in.hpp"
#include "python/engine/authors.hpp"
#include "python/engine/positions.hpp"
#include "python/engine/records_object.hpp"
#include "python/engine/support.hpp"
#include "python/engine/works_functions.hpp"
#include "python/guard.hpp"
#include "python/worker_pool.hpp"

namespace refsieve::py::engine_module {
namespace {

using refsieve::PairFacts;
using refsieve::engine::MatchColumns;
using refsieve::engine::RecordStore;

// One column of facts: the value `of` gives for each pair.
template <class T, class Of>
Result<PyRef> facts_column(const char* format, const std::vector<PairFacts>& facts, Of&& of) {
    std::vector<T> values;
    values.reserve(facts.size());
    for (const PairFacts& pair : facts) values.push_back(static_cast<T>(of(pair)));
    return column(format, values);
}

std::uint8_t identifier_bits(const PairFacts& pair) {
    return static_cast<std::uint8_t>(pair.identifiers.doi | pair.identifiers.journal_volume_number << 1 |
                                     pair.identifiers.pages << 2 | pair.similar_publishers << 3);
}

Status put_facts(PyObject* dict, const std::vector<PairFacts>& facts) {
    using Facts = const PairFacts&;
    const auto put = [&](const char* name, Result<PyRef> value) -> Status {
        if (!value.ok()) return std::move(value).error();
        return or_pending_error(PyDict_SetItemString(dict, name, value.value().get()));
    };
    Status status =
        put("titles_compared", facts_column<std::uint8_t>("B", facts, [](Facts f) { return f.titles_compared; }));
    if (status.ok())
        status = put("title_ratio", facts_column<double>("d", facts, [](Facts f) { return f.title_ratio; }));
    if (status.ok()) {
        status = put("title_contains", facts_column<std::uint8_t>("B", facts, [](Facts f) {
                         return f.subject_contains_candidate | f.candidate_contains_subject << 1;
                     }));
    }
    if (status.ok()) {
        status =
            put("subject_keywords", facts_column<std::uint8_t>("B", facts, [](Facts f) { return f.subject_keywords; }));
    }
    if (status.ok()) {
        status = put("candidate_keywords",
                     facts_column<std::uint8_t>("B", facts, [](Facts f) { return f.candidate_keywords; }));
    }
    if (status.ok())
        status = put("title_boost", facts_column<std::uint8_t>("B", facts, [](Facts f) { return f.title_boost; }));
    if (status.ok()) {
        status =
            put("keyword_penalty", facts_column<std::int32_t>("i", facts, [](Facts f) { return f.keyword_penalty; }));
    }
    if (status.ok()) {
        status =
            put("authors_compared", facts_column<std::uint8_t>("B", facts, [](Facts f) { return f.authors_compared; }));
    }
    if (status.ok())
        status = put("author_ratio", facts_column<double>("d", facts, [](Facts f) { return f.author_ratio; }));
    if (status.ok())
        status = put("author_boost", facts_column<std::uint8_t>("B", facts, [](Facts f) { return f.author_boost; }));
    if (status.ok()) {
        status = put("year_gap", facts_column<std::int64_t>("q", facts, [](Facts f) {
                         return f.year_gap ? static_cast<std::int64_t>(*f.year_gap) : std::int64_t{-1};
                     }));
    }
    if (status.ok())
        status = put("date_rule", facts_column<std::uint8_t>("B", facts, [](Facts f) { return f.date_rule; }));
    if (status.ok()) status = put("identifiers", facts_column<std::uint8_t>("B", facts, identifier_bits));
    if (status.ok())
        status =
            put("journals_equal", facts_column<std::uint8_t>("B", facts, [](Facts f) { return f.journals_equal; }));
    if (status.ok()) {
        status = put("publishers_compared",
                     facts_column<std::uint8_t>("B", facts, [](Facts f) { return f.publishers_compared; }));
    }
    if (status.ok())
        status = put("publisher_ratio", facts_column<double>("d", facts, [](Facts f) { return f.publisher_ratio; }));
    return status;
}

Result<PyRef> columns_into_pyobject(const MatchColumns& found, bool with_facts) {
    PyRef dict = created(PyDict_New());
    const auto put = [&](const char* name, Result<PyRef> value) -> Status {
        if (!value.ok()) return std::move(value).error();
        return or_pending_error(PyDict_SetItemString(dict.get(), name, value.value().get()));
    };
    Status status = put("subject", column("Q", found.subject));
    if (status.ok()) status = put("candidate", column("Q", found.candidate));
    if (status.ok()) status = put("doi", column("B", found.by_doi));
    if (status.ok()) status = put("total_score", column("d", found.total_score));
    if (status.ok()) status = put("title_score", column("d", found.title_score));
    if (status.ok()) status = put("author_score", column("d", found.author_score));
    if (status.ok()) status = put("date_score", column("d", found.date_score));
    if (status.ok()) status = put("bonus_score", column("d", found.bonus_score));
    if (status.ok() && with_facts) status = put_facts(dict.get(), found.facts);
    if (!status.ok()) return std::move(status).error();
    return dict;
}

// Each subject's candidates of the given pairs, ascending, each once.
refsieve::engine::MatchOptions::Among among_of(const PositionPairs& pairs, std::size_t subjects) {
    std::vector<std::pair<std::size_t, std::size_t>> sorted;
    sorted.reserve(pairs.first.size());
    for (std::size_t p = 0; p < pairs.first.size(); ++p) sorted.emplace_back(pairs.first[p], pairs.second[p]);
    std::sort(sorted.begin(), sorted.end());
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    refsieve::engine::MatchOptions::Among among;
    among.starts.assign(subjects + 1, 0);
    for (const auto& [subject, candidate] : sorted) {
        ++among.starts[subject + 1];
        among.candidates.push_back(static_cast<std::uint32_t>(candidate));
    }
    for (std::size_t i = 0; i < subjects; ++i) among.starts[i + 1] += among.starts[i];
    return among;
}

PyObject* match(PyObject*, PyObject* args, PyObject* kwargs) {
    return trampoline([&]() -> Result<PyRef> {
        static const char* keywords[] = {"subjects",     "candidates",  "top_n", "min_score",
                                         "doi_shortcut", "subjects_at", "facts", "progress",
                                         "blocking",     "among",       nullptr};
        PyObject *subjects_object, *candidates_object, *top_n_object, *subjects_at = Py_None, *progress = Py_None;
        PyObject* among = Py_None;
        double min_score = 0.0;
        int doi_shortcut = 1, facts = 0, blocking = 0;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOd|$pOpOpO:match", const_cast<char**>(keywords),
                                         &subjects_object, &candidates_object, &top_n_object, &min_score, &doi_shortcut,
                                         &subjects_at, &facts, &progress, &blocking, &among)) {
            return PyErr::take();
        }
        Result<const RecordStore*> subjects = store_of(subjects_object, "subjects");
        if (!subjects.ok()) return std::move(subjects).error();
        Result<const RecordStore*> candidates = store_of(candidates_object, "candidates");
        if (!candidates.ok()) return std::move(candidates).error();
        Result<std::uint64_t> top_n = extract_u64(top_n_object);
        if (!top_n.ok()) return std::move(top_n).error();
        refsieve::engine::MatchOptions options;
        options.top_n = top_n.value();
        options.min_score = min_score;
        options.doi_shortcut = doi_shortcut != 0;
        if (subjects_at != Py_None) {
            if (options.doi_shortcut) {
                return PyErr::new_err(PyExc_ValueError, "subjects_at needs doi_shortcut=False");
            }
            Result<std::uint64_t> at = extract_u64(subjects_at);
            if (!at.ok()) return std::move(at).error();
            if (at.value() + subjects.value()->size() > candidates.value()->size()) {
                return PyErr::new_err(PyExc_ValueError, "subjects_at: the subjects lie beyond the candidates");
            }
            options.subjects_at = static_cast<std::size_t>(at.value());
        }
        options.facts = facts != 0;
        if (blocking) options.blocking = refsieve::engine::CandidateOptions();
        if (among != Py_None) {
            if (blocking) return PyErr::new_err(PyExc_ValueError, "among and blocking exclude each other");
            Result<PositionPairs> pairs =
                position_pairs_of(among, subjects.value()->size(), candidates.value()->size(), "among");
            if (!pairs.ok()) return std::move(pairs).error();
            options.among = among_of(pairs.value(), subjects.value()->size());
        }

        batch::ThreadPool& pool = worker_pool();
        Result<MatchColumns> found = while_released(progress, [&](refsieve::engine::MatchControl& control) {
            return refsieve::engine::match_all(*subjects.value(), *candidates.value(), options, control, pool);
        });
        if (!found.ok()) return std::move(found).error();
        Result<PyRef> columns = columns_into_pyobject(found.value(), options.facts);
        if (!columns.ok() || !blocking) return columns;
        const refsieve::engine::CandidateCounts& c = found.value().candidates;
        PyRef counts = created(Py_BuildValue("{sKsKsKsK}", "pairs", c.pairs, "keys", c.keys, "keys_skipped",
                                             c.keys_skipped, "records_skipped", c.records_skipped));
        Status status = or_pending_error(PyDict_SetItemString(columns.value().get(), "candidates", counts.get()));
        if (!status.ok()) return std::move(status).error();
        return columns;
    });
}

PyObject* score_pairs(PyObject*, PyObject* args, PyObject* kwargs) {
    return trampoline([&]() -> Result<PyRef> {
        static const char* keywords[] = {"subjects", "candidates", "subject_positions", "candidate_positions",
                                         "facts",    nullptr};
        PyObject *subjects_object, *candidates_object, *subject_positions, *candidate_positions;
        int facts = 0;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO|$p:score_pairs", const_cast<char**>(keywords),
                                         &subjects_object, &candidates_object, &subject_positions, &candidate_positions,
                                         &facts)) {
            return PyErr::take();
        }
        Result<const RecordStore*> subjects = store_of(subjects_object, "subjects");
        if (!subjects.ok()) return std::move(subjects).error();
        Result<const RecordStore*> candidates = store_of(candidates_object, "candidates");
        if (!candidates.ok()) return std::move(candidates).error();
        Result<PositionPairs> pairs = subject_candidate_positions(subject_positions, candidate_positions,
                                                                  subjects.value()->size(), candidates.value()->size());
        if (!pairs.ok()) return std::move(pairs).error();
        const std::vector<std::size_t>& firsts = pairs.value().first;
        const std::vector<std::size_t>& seconds = pairs.value().second;
        return columns_into_pyobject(
            refsieve::engine::score_pairs(*subjects.value(), *candidates.value(), firsts, seconds, facts != 0),
            facts != 0);
    });
}

// The scoring rules' constants, and the largest scores they allow.
PyObject* rules(PyObject*, PyObject*) {
    return trampoline([&]() -> Result<PyRef> {
        using namespace refsieve::scoring;
        const double most_title = title_score_from(100.0, true, 0, 0);
        const double most_author = author_score_from(100.0);
        const double same_year = date_score(2000, 2000);
        const double most_points = kDoiPoints + kJournalVolumeNumberPoints + kPagesPoints;
        const double most_bonus = bonus_score_from(most_points, true);
        PyRef keywords = created(PyTuple_New(static_cast<Py_ssize_t>(TITLE_KEYWORDS.size())));
        for (std::size_t k = 0; k < TITLE_KEYWORDS.size(); ++k) {
            PyTuple_SET_ITEM(keywords.get(), static_cast<Py_ssize_t>(k),
                             created(PyUnicode_FromStringAndSize(TITLE_KEYWORDS[k].data(),
                                                                 static_cast<Py_ssize_t>(TITLE_KEYWORDS[k].size())))
                                 .release());
        }
        PyRef points =
            created(Py_BuildValue("{sdsdsdsd}", "doi", kDoiPoints, "journal_volume_number", kJournalVolumeNumberPoints,
                                  "pages", kPagesPoints, "publisher", kPublisherPoints));
        return created(Py_BuildValue("{sdsdsdsdsisOsdsdsOsdsdsd}", "similarity_threshold", kSimilarityThreshold,
                                     "boost", kBoost, "title_weight", kTitleWeight, "author_weight", kAuthorWeight,
                                     "keyword_penalty", kKeywordPenalty, "title_keywords", keywords.get(), "same_year",
                                     kSameYear, "same_decade", kSameDecade, "identifier_points", points.get(),
                                     "bonus_weight", kBonusWeight, "title_and_year_most", most_title + same_year,
                                     "most_total", total_score(most_title, most_author, same_year, most_bonus)));
    });
}

// The largest total that records can reach when only these fields (names)
// are present on both sides.
PyObject* most_total(PyObject*, PyObject* fields) {
    return trampoline([&]() -> Result<PyRef> {
        using namespace refsieve::scoring;
        const auto has = [&](const char* name) -> Result<bool> {
            PyRef key = created(PyUnicode_FromString(name));
            const int found = PySequence_Contains(fields, key.get());
            if (found < 0) return PyErr::take();
            return found == 1;
        };
        std::array<bool, 8> present{};
        constexpr std::array<const char*, 8> kNames = {"title",   "author", "year",   "doi",
                                                       "journal", "volume", "number", "pages"};
        for (std::size_t f = 0; f < kNames.size(); ++f) {
            Result<bool> found = has(kNames[f]);
            if (!found.ok()) return std::move(found).error();
            present[f] = found.value();
        }
        Result<bool> publisher = has("publisher");
        if (!publisher.ok()) return std::move(publisher).error();
        const double title = present[0] ? title_score_from(100.0, true, 0, 0) : 0.0;
        const double author = present[1] ? author_score_from(100.0) : 0.0;
        const double date = present[2] ? date_score(2000, 2000) : 0.0;
        IdentifierAgreement agreed;
        agreed.doi = present[3];
        agreed.journal_volume_number = present[4] && present[5] && present[6];
        agreed.pages = present[7];
        const double bonus = bonus_score_from(identifier_points(agreed), publisher.value());
        return created(PyFloat_FromDouble(total_score(title, author, date, bonus)));
    });
}

PyMethodDef functions[] = {
    {"match", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(match)), METH_VARARGS | METH_KEYWORDS,
     "match(subjects, candidates, top_n, min_score, *, doi_shortcut=True, subjects_at=None, facts=False, "
     "progress=None, blocking=False, among=None)\n--\n\n"
     "Every subject against every candidate: for each subject what one refsieve.score_batch call over all "
     "candidates keeps, as columns of numbers. With blocking, over the candidates that share a key with the "
     "subject, and 'candidates' counts what the keys proposed and passed over. among, a pair of position "
     "sequences (subjects, candidates), gives each subject its candidates instead."},
    {"score_pairs", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(score_pairs)),
     METH_VARARGS | METH_KEYWORDS,
     "score_pairs(subjects, candidates, subject_positions, candidate_positions, *, facts=False)\n--\n\n"
     "The scores of the given pairs, as columns of numbers."},
    {"rules", rules, METH_NOARGS, "rules()\n--\n\nThe constants of the scoring rules."},
    {"most_total", most_total, METH_O,
     "most_total(fields)\n--\n\nThe largest total that records with only these fields present can reach."},
    {"read_authors", read_authors, METH_O,
     "read_authors(text, /)\n--\n\nThe canonical author text, the family words (None when there are none) and "
     "whether the list ends in \"et al.\", of an author list as the command's reader gives them; None for a text "
     "with markup or with a character not trusted."},
    {"name_characters", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(name_characters)),
     METH_VARARGS | METH_KEYWORDS,
     "name_characters(text, /, *, judged=False)\n--\n\nWhat the author reader makes of each character of text "
     "beyond ASCII that it knows and that has not been trusted or distrusted (or of any, with judged): a list of "
     "(character, facts)."},
    {"trust_characters", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(trust_characters)), METH_FASTCALL,
     "trust_characters(trusted, distrusted, /)\n--\n\nCharacters the author reader may read from now on, and "
     "characters it declines."},
    {"_restore_records", restore_records, METH_O, "Records from the bytes that pickling them gave."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "refsieve_cli._engine",
    "The scoring engine of the refsieve command: records as columns, results as columns.",
    0,
    functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

Result<PyRef> create_module() {
    PyRef module = created(PyModule_Create(&definition));
    Status functions_added = or_pending_error(PyModule_AddFunctions(module.get(), works_functions()));
    if (!functions_added.ok()) return std::move(functions_added).error();
    PyTypeObject* type = records_type();
    Status added = or_pending_error(PyModule_AddObjectRef(module.get(), "Records", reinterpret_cast<PyObject*>(type)));
    if (!added.ok()) return std::move(added).error();
    return module;
}

}  // namespace
}  // namespace refsieve::py::engine_module

PyMODINIT_FUNC PyInit__engine(void) {
    return refsieve::py::trampoline([] { return refsieve::py::engine_module::create_module(); });
}
