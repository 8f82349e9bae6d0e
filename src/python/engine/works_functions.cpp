// The engine module's same-work functions: grouping a catalogue, and the
// decision for given pairs.
#include "python/engine/works_functions.hpp"

#include <algorithm>
#include <iterator>
#include <string>

#include "engine/grouping.hpp"
#include "engine/works.hpp"
#include "python/calls.hpp"
#include "python/convert_in.hpp"
#include "python/engine/positions.hpp"
#include "python/engine/records_object.hpp"
#include "python/engine/support.hpp"
#include "python/guard.hpp"
#include "python/worker_pool.hpp"

namespace refsieve::py::engine_module {
namespace {

using refsieve::engine::CandidateIndex;
using refsieve::engine::Grouping;
using refsieve::engine::MatchControl;
using refsieve::engine::RecordStore;
using refsieve::engine::WorkCatalogue;
using refsieve::same_work::Decision;
using refsieve::same_work::Words;

Status put(PyObject* dict, const char* name, Result<PyRef> value) {
    if (!value.ok()) return std::move(value).error();
    return or_pending_error(PyDict_SetItemString(dict, name, value.value().get()));
}

// Each threshold of the decision by name, with how a number sets it.
using Setter = void (*)(refsieve::same_work::Settings&, double);
struct NamedSetting {
    const char* name;
    Setter set;
};

std::uint32_t as_count(double number) { return number < 0 ? 0 : static_cast<std::uint32_t>(number); }

constexpr NamedSetting kSettings[] = {
    {"title_agreement", [](auto& s, double v) { s.title_agreement = v; }},
    {"prefix_words", [](auto& s, double v) { s.prefix_words = as_count(v); }},
    {"title_agreement_with_identifiers", [](auto& s, double v) { s.title_agreement_with_identifiers = v; }},
    {"prefix_words_with_identifiers", [](auto& s, double v) { s.prefix_words_with_identifiers = as_count(v); }},
    {"title_agreement_with_doi", [](auto& s, double v) { s.title_agreement_with_doi = v; }},
    {"author_agreement", [](auto& s, double v) { s.author_agreement = v; }},
    {"same_years", [](auto& s, double v) { s.same_years = as_count(v); }},
    {"different_years", [](auto& s, double v) { s.different_years = as_count(v); }},
    {"short_title_words", [](auto& s, double v) { s.short_title_words = as_count(v); }},
    {"weak_title_authors", [](auto& s, double v) { s.weak_title_authors = as_count(v); }},
    {"recurring_title", [](auto& s, double v) { s.recurring_title = as_count(v); }},
    {"fuzzy_letters", [](auto& s, double v) { s.fuzzy_letters = as_count(v); }},
};

// The decision's thresholds: the defaults, with those that `given` (a
// dict, or None) names replaced.
Result<refsieve::same_work::Settings> decision_settings(PyObject* given) {
    refsieve::same_work::Settings settings;
    if (given == nullptr || given == Py_None) return settings;
    if (!PyDict_Check(given)) return PyErr::new_err(PyExc_TypeError, "settings: expected a dict");
    PyObject *key, *value;
    Py_ssize_t at = 0;
    while (PyDict_Next(given, &at, &key, &value)) {
        Result<std::string_view> name = borrow_text(key);
        if (!name.ok()) return std::move(name).error();
        const double number = PyFloat_AsDouble(value);
        if (number == -1.0 && PyErr_Occurred()) return PyErr::take();
        const auto found = std::find_if(std::begin(kSettings), std::end(kSettings),
                                        [&](const NamedSetting& setting) { return name.value() == setting.name; });
        if (found == std::end(kSettings)) {
            return PyErr::new_err(PyExc_ValueError, "settings: no threshold named '" + std::string(name.value()) + "'");
        }
        found->set(settings, number);
    }
    return settings;
}

struct GroupingFound {
    Grouping grouping;
    std::size_t keys = 0;
};

// The index of a catalogue's keys, or none when every pair is decided.
std::optional<CandidateIndex> index_unless(bool exhaustive, const WorkCatalogue& works, const Words& words,
                                           double title_agreement, Py_ssize_t most_per_key,
                                           const refsieve::same_work::Settings& settings,
                                           const refsieve::engine::ParallelFor& run) {
    if (exhaustive) return std::nullopt;
    refsieve::engine::CandidateOptions options;
    options.title_agreement = title_agreement;
    options.most_per_key = static_cast<std::size_t>(most_per_key);
    options.same_years = settings.same_years;
    options.prefix_words = settings.prefix_words;
    return std::optional<CandidateIndex>(std::in_place, works, words, options, run);
}

// What finding and deciding the pairs counted, by name.
Result<PyRef> counts_dict(const refsieve::engine::GroupingCounts& g, std::size_t keys) {
    return created(Py_BuildValue("{sKsKsKsKsKsKsKsKsK}", "keys", static_cast<unsigned long long>(keys), "keys_skipped",
                                 g.keys_skipped, "records_skipped", g.records_skipped, "pairs_decided", g.pairs_decided,
                                 "same_pairs", g.same_pairs, "different_pairs", g.different_pairs, "components",
                                 g.components, "largest_component", g.largest_component, "components_from_candidates",
                                 g.components_from_candidates));
}

// Pairs with their decisions as columns first, second, reason, strength.
Status put_pairs(PyObject* dict, const std::vector<refsieve::engine::DecidedPair>& pairs) {
    std::vector<std::uint32_t> firsts, seconds;
    std::vector<std::uint8_t> reasons;
    std::vector<double> strengths;
    for (const refsieve::engine::DecidedPair& pair : pairs) {
        firsts.push_back(pair.first);
        seconds.push_back(pair.second);
        reasons.push_back(static_cast<std::uint8_t>(pair.decision.reason));
        strengths.push_back(pair.decision.strength);
    }
    Status status = put(dict, "first", column("I", firsts));
    if (status.ok()) status = put(dict, "second", column("I", seconds));
    if (status.ok()) status = put(dict, "reason", column("B", reasons));
    if (status.ok()) status = put(dict, "strength", column("d", strengths));
    return status;
}

PyObject* group(PyObject*, PyObject* args, PyObject* kwargs) {
    return trampoline([&]() -> Result<PyRef> {
        static const char* keywords[] = {"records",         "share",        "exhaustive",
                                         "title_agreement", "most_per_key", "progress",
                                         "settings",        "same",         nullptr};
        PyObject *records_object, *progress = Py_None, *settings_object = Py_None, *same_object = Py_None;
        double share = 0.5, title_agreement = refsieve::engine::CandidateOptions().title_agreement;
        int exhaustive = 0;
        Py_ssize_t most_per_key = static_cast<Py_ssize_t>(refsieve::engine::CandidateOptions().most_per_key);
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$dpdnOOO:group", const_cast<char**>(keywords),
                                         &records_object, &share, &exhaustive, &title_agreement, &most_per_key,
                                         &progress, &settings_object, &same_object)) {
            return PyErr::take();
        }
        Result<refsieve::same_work::Settings> settings = decision_settings(settings_object);
        if (!settings.ok()) return std::move(settings).error();
        Result<const RecordStore*> records = store_of(records_object, "records");
        if (!records.ok()) return std::move(records).error();
        if (!(share > 0.0 && share <= 1.0))
            return PyErr::new_err(PyExc_ValueError, "share: expected above 0, at most 1");
        if (most_per_key < 2) return PyErr::new_err(PyExc_ValueError, "most_per_key: expected 2 or more");
        std::optional<std::vector<refsieve::engine::Pair>> same;
        if (same_object != Py_None) {
            Result<PositionPairs> given =
                position_pairs_of(same_object, records.value()->size(), records.value()->size(), "same");
            if (!given.ok()) return std::move(given).error();
            same.emplace();
            for (std::size_t p = 0; p < given.value().first.size(); ++p) {
                same->emplace_back(static_cast<std::uint32_t>(given.value().first[p]),
                                   static_cast<std::uint32_t>(given.value().second[p]));
            }
        }
        batch::ThreadPool& pool = worker_pool();
        Result<GroupingFound> found =
            while_released(progress, [&](MatchControl& control) -> std::optional<GroupingFound> {
                const refsieve::engine::ParallelFor run = refsieve::engine::on_pool(pool, control);
                Words words;
                const WorkCatalogue works(*records.value(), words, run, control.stop);
                if (control.stop.load()) return std::nullopt;
                const std::optional<CandidateIndex> index =
                    index_unless(exhaustive, works, words, title_agreement, most_per_key, settings.value(), run);
                refsieve::engine::GroupingOptions options;
                options.share = share;
                options.decision = settings.value();
                std::optional<Grouping> grouping =
                    refsieve::engine::group_works(works, words, index ? &*index : nullptr, options, control, pool);
                if (!grouping) return std::nullopt;
                control.done.store(records.value()->size());
                return GroupingFound{std::move(*grouping), index ? index->keys() : 0};
            });
        if (!found.ok()) return std::move(found).error();
        const Grouping& grouping = found.value().grouping;
        PyRef dict = created(PyDict_New());
        Status status = put(dict.get(), "group", column("I", grouping.group));
        if (status.ok()) status = put_pairs(dict.get(), grouping.same_inside);
        if (status.ok()) status = put(dict.get(), "counts", counts_dict(grouping.counts, found.value().keys));
        if (!status.ok()) return std::move(status).error();
        return dict;
    });
}

struct PairsFound {
    refsieve::engine::DecidedPairs pairs;
    std::size_t keys = 0;
};

PyObject* same_pairs(PyObject*, PyObject* args, PyObject* kwargs) {
    return trampoline([&]() -> Result<PyRef> {
        static const char* keywords[] = {"records",      "candidates", "exhaustive", "title_agreement",
                                         "most_per_key", "settings",   nullptr};
        PyObject *records_object, *candidates_object = Py_None, *settings_object = Py_None;
        double title_agreement = refsieve::engine::CandidateOptions().title_agreement;
        int exhaustive = 0;
        Py_ssize_t most_per_key = static_cast<Py_ssize_t>(refsieve::engine::CandidateOptions().most_per_key);
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O$pdnO:same_pairs", const_cast<char**>(keywords),
                                         &records_object, &candidates_object, &exhaustive, &title_agreement,
                                         &most_per_key, &settings_object)) {
            return PyErr::take();
        }
        Result<refsieve::same_work::Settings> settings = decision_settings(settings_object);
        if (!settings.ok()) return std::move(settings).error();
        Result<Sides> sides = sides_of(records_object, candidates_object);
        if (!sides.ok()) return std::move(sides).error();
        const RecordStore* const records = sides.value().records;
        const RecordStore* const candidates = sides.value().candidates;
        if (most_per_key < 2) return PyErr::new_err(PyExc_ValueError, "most_per_key: expected 2 or more");
        batch::ThreadPool& pool = worker_pool();
        Result<PairsFound> found = while_released(Py_None, [&](MatchControl& control) -> std::optional<PairsFound> {
            const refsieve::engine::ParallelFor run = refsieve::engine::on_pool(pool, control);
            Words words;
            // The candidates' words are numbered first, in the order their index counts.
            const WorkCatalogue candidate_works(*candidates, words, run, control.stop);
            std::optional<WorkCatalogue> subject_works;
            if (candidates != records) subject_works.emplace(*records, words, run, control.stop);
            if (control.stop.load()) return std::nullopt;
            const std::optional<CandidateIndex> index =
                index_unless(exhaustive, candidate_works, words, title_agreement, most_per_key, settings.value(), run);
            const refsieve::engine::Partners partners(subject_works ? *subject_works : candidate_works, candidate_works,
                                                      index ? &*index : nullptr);
            std::optional<refsieve::engine::DecidedPairs> pairs =
                refsieve::engine::decide_partners(partners, words, settings.value(), control, pool);
            if (!pairs) return std::nullopt;
            return PairsFound{std::move(*pairs), index ? index->keys() : 0};
        });
        if (!found.ok()) return std::move(found).error();
        PyRef dict = created(PyDict_New());
        Status status = put_pairs(dict.get(), found.value().pairs.same);
        if (status.ok())
            status = put(dict.get(), "counts", counts_dict(found.value().pairs.counts, found.value().keys));
        if (!status.ok()) return std::move(status).error();
        return dict;
    });
}

PyObject* proposed_pairs(PyObject*, PyObject* args, PyObject* kwargs) {
    return trampoline([&]() -> Result<PyRef> {
        static const char* keywords[] = {"records",      "candidates", "title_agreement",
                                         "most_per_key", "settings",   nullptr};
        PyObject *records_object, *candidates_object = Py_None, *settings_object = Py_None;
        double title_agreement = refsieve::engine::CandidateOptions().title_agreement;
        Py_ssize_t most_per_key = static_cast<Py_ssize_t>(refsieve::engine::CandidateOptions().most_per_key);
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O$dnO:proposed_pairs", const_cast<char**>(keywords),
                                         &records_object, &candidates_object, &title_agreement, &most_per_key,
                                         &settings_object)) {
            return PyErr::take();
        }
        Result<refsieve::same_work::Settings> settings = decision_settings(settings_object);
        if (!settings.ok()) return std::move(settings).error();
        Result<Sides> sides = sides_of(records_object, candidates_object);
        if (!sides.ok()) return std::move(sides).error();
        const RecordStore* const records = sides.value().records;
        const RecordStore* const candidates = sides.value().candidates;
        if (most_per_key < 2) return PyErr::new_err(PyExc_ValueError, "most_per_key: expected 2 or more");
        batch::ThreadPool& pool = worker_pool();
        struct Proposed {
            std::vector<std::uint32_t> first, second;
            refsieve::engine::GroupingCounts counts;
            std::size_t keys = 0;
        };
        Result<Proposed> found = while_released(Py_None, [&](MatchControl& control) -> std::optional<Proposed> {
            const refsieve::engine::ParallelFor run = refsieve::engine::on_pool(pool, control);
            Words words;
            const WorkCatalogue candidate_works(*candidates, words, run, control.stop);
            std::optional<WorkCatalogue> subject_works;
            if (candidates != records) subject_works.emplace(*records, words, run, control.stop);
            if (control.stop.load()) return std::nullopt;
            const std::optional<CandidateIndex> index =
                index_unless(false, candidate_works, words, title_agreement, most_per_key, settings.value(), run);
            const refsieve::engine::Partners partners(subject_works ? *subject_works : candidate_works, candidate_works,
                                                      &*index);
            Proposed proposed;
            std::optional<std::vector<refsieve::engine::Pair>> pairs =
                refsieve::engine::partner_pairs(partners, control, pool, proposed.counts);
            if (!pairs) return std::nullopt;
            for (const refsieve::engine::Pair& pair : *pairs) {
                proposed.first.push_back(pair.first);
                proposed.second.push_back(pair.second);
            }
            proposed.keys = index->keys();
            return proposed;
        });
        if (!found.ok()) return std::move(found).error();
        PyRef dict = created(PyDict_New());
        Status status = put(dict.get(), "first", column("I", found.value().first));
        if (status.ok()) status = put(dict.get(), "second", column("I", found.value().second));
        if (status.ok()) status = put(dict.get(), "counts", counts_dict(found.value().counts, found.value().keys));
        if (!status.ok()) return std::move(status).error();
        return dict;
    });
}

PyObject* title_frequencies(PyObject*, PyObject* records_object) {
    return trampoline([&]() -> Result<PyRef> {
        Result<const RecordStore*> records = store_of(records_object, "records");
        if (!records.ok()) return std::move(records).error();
        batch::ThreadPool& pool = worker_pool();
        using Counts = std::vector<std::uint32_t>;
        Result<Counts> found = while_released(Py_None, [&](MatchControl& control) -> std::optional<Counts> {
            Words words;
            const WorkCatalogue works(*records.value(), words, refsieve::engine::on_pool(pool, control), control.stop);
            if (control.stop.load()) return std::nullopt;
            return works.title_frequencies();
        });
        if (!found.ok()) return std::move(found).error();
        return column("I", found.value());
    });
}

PyObject* decide_pairs(PyObject*, PyObject* args, PyObject* kwargs) {
    return trampoline([&]() -> Result<PyRef> {
        static const char* keywords[] = {
            "subjects",          "candidates", "subject_positions", "candidate_positions", "settings",
            "title_frequencies", nullptr};
        PyObject *subjects_object, *candidates_object, *subject_positions, *candidate_positions;
        PyObject *settings_object = Py_None, *frequencies_object = Py_None;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO|$OO:decide_pairs", const_cast<char**>(keywords),
                                         &subjects_object, &candidates_object, &subject_positions, &candidate_positions,
                                         &settings_object, &frequencies_object)) {
            return PyErr::take();
        }
        Result<refsieve::same_work::Settings> settings = decision_settings(settings_object);
        if (!settings.ok()) return std::move(settings).error();
        Result<const RecordStore*> subjects = store_of(subjects_object, "subjects");
        if (!subjects.ok()) return std::move(subjects).error();
        Result<const RecordStore*> candidates = store_of(candidates_object, "candidates");
        if (!candidates.ok()) return std::move(candidates).error();
        Result<PositionPairs> pairs = subject_candidate_positions(subject_positions, candidate_positions,
                                                                  subjects.value()->size(), candidates.value()->size());
        if (!pairs.ok()) return std::move(pairs).error();
        const std::vector<std::size_t>& firsts = pairs.value().first;
        const std::vector<std::size_t>& seconds = pairs.value().second;
        std::optional<std::vector<std::uint32_t>> frequencies;
        if (frequencies_object != Py_None) {
            if (subjects.value() != candidates.value()) {
                return PyErr::new_err(PyExc_ValueError, "title_frequencies: only for pairs within one store");
            }
            Result<std::vector<std::size_t>> counts =
                positions_of(frequencies_object, std::size_t{1} << 32, "title_frequencies");
            if (!counts.ok()) return std::move(counts).error();
            if (counts.value().size() != subjects.value()->size()) {
                return PyErr::new_err(PyExc_ValueError, "title_frequencies: expected one count per record");
            }
            frequencies.emplace(counts.value().begin(), counts.value().end());
        }
        batch::ThreadPool& pool = worker_pool();
        using Decisions = std::vector<Decision>;
        Result<Decisions> found = while_released(Py_None, [&](MatchControl& control) -> std::optional<Decisions> {
            // Each side's titles are counted in its own catalogue; one store
            // given twice is one catalogue.
            const refsieve::engine::ParallelFor run = refsieve::engine::on_pool(pool, control);
            Words words;
            WorkCatalogue subject_works(*subjects.value(), words, run, control.stop);
            if (frequencies) subject_works.use_title_frequencies(*frequencies);
            std::optional<WorkCatalogue> candidate_works;
            if (subjects.value() != candidates.value())
                candidate_works.emplace(*candidates.value(), words, run, control.stop);
            if (control.stop.load()) return std::nullopt;
            const WorkCatalogue& other = candidate_works ? *candidate_works : subject_works;
            Decisions decisions(firsts.size());
            run(decisions.size(), [&](std::size_t lo, std::size_t hi) {
                for (std::size_t p = lo; p < hi; ++p) {
                    decisions[p] = refsieve::same_work::decide(subject_works[firsts[p]], other[seconds[p]], words,
                                                               settings.value());
                }
            });
            if (control.stop.load()) return std::nullopt;
            return decisions;
        });
        if (!found.ok()) return std::move(found).error();
        std::vector<std::uint8_t> verdicts, reasons;
        std::vector<double> strengths;
        for (const Decision& d : found.value()) {
            verdicts.push_back(static_cast<std::uint8_t>(d.verdict));
            reasons.push_back(static_cast<std::uint8_t>(d.reason));
            strengths.push_back(d.strength);
        }
        PyRef dict = created(PyDict_New());
        Status status = put(dict.get(), "verdict", column("B", verdicts));
        if (status.ok()) status = put(dict.get(), "reason", column("B", reasons));
        if (status.ok()) status = put(dict.get(), "strength", column("d", strengths));
        if (!status.ok()) return std::move(status).error();
        return dict;
    });
}

// The names of the decisions' verdicts and reasons, by their numbers.
PyObject* decision_names(PyObject*, PyObject*) {
    return trampoline([&]() -> Result<PyRef> {
        PyRef verdicts = created(Py_BuildValue("(sss)", "undecided", "same", "different"));
        constexpr int kReasons = static_cast<int>(refsieve::same_work::Reason::short_title) + 1;
        PyRef reasons = created(PyTuple_New(kReasons));
        for (int r = 0; r < kReasons; ++r) {
            const std::string_view name = refsieve::same_work::reason_name(static_cast<refsieve::same_work::Reason>(r));
            PyTuple_SET_ITEM(
                reasons.get(), r,
                created(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()))).release());
        }
        return created(Py_BuildValue("{sOsO}", "verdicts", verdicts.get(), "reasons", reasons.get()));
    });
}

// The decision's thresholds as it uses them by default.
PyObject* decision_defaults(PyObject*, PyObject*) {
    return trampoline([&]() -> Result<PyRef> {
        const refsieve::same_work::Settings d;
        return created(Py_BuildValue(
            "{sdsnsdsnsdsdsIsIsnsnsIsn}", "title_agreement", d.title_agreement, "prefix_words",
            static_cast<Py_ssize_t>(d.prefix_words), "title_agreement_with_identifiers",
            d.title_agreement_with_identifiers, "prefix_words_with_identifiers",
            static_cast<Py_ssize_t>(d.prefix_words_with_identifiers), "title_agreement_with_doi",
            d.title_agreement_with_doi, "author_agreement", d.author_agreement, "same_years", d.same_years,
            "different_years", d.different_years, "short_title_words", static_cast<Py_ssize_t>(d.short_title_words),
            "weak_title_authors", static_cast<Py_ssize_t>(d.weak_title_authors), "recurring_title", d.recurring_title,
            "fuzzy_letters", static_cast<Py_ssize_t>(d.fuzzy_letters)));
    });
}

}  // namespace

PyMethodDef* works_functions() {
    static PyMethodDef functions[] = {
        {"group", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(group)), METH_VARARGS | METH_KEYWORDS,
         "group(records, *, share=0.5, exhaustive=False, title_agreement=0.6, most_per_key=2000, progress=None, "
         "settings=None, same=None)\n"
         "--\n\nThe groups of records that are one work: each record's group (the position of its first record), "
         "the SAME pairs inside groups, and counts of what was proposed, decided and left out. same, a pair of "
         "position sequences, gives the pairs decided SAME elsewhere (on a cluster) instead of finding them."},
        {"same_pairs", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(same_pairs)),
         METH_VARARGS | METH_KEYWORDS,
         "same_pairs(records, candidates=None, *, exhaustive=False, title_agreement=0.6, most_per_key=2000, "
         "settings=None)\n--\n\n"
         "Every pair that the decision calls the same work, among the pairs the keys propose (every pair with "
         "exhaustive): records against candidates, or within records (each pair once). For measuring what the keys "
         "leave out."},
        {"proposed_pairs", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(proposed_pairs)),
         METH_VARARGS | METH_KEYWORDS,
         "proposed_pairs(records, candidates=None, *, title_agreement=0.6, most_per_key=2000, settings=None)\n--\n\n"
         "The pairs that the keys propose: records against candidates, or within records (each pair once, first "
         "< second), sorted, as columns first and second."},
        {"title_frequencies", title_frequencies, METH_O,
         "title_frequencies(records)\n--\n\nFor each record, how many records of the store have its title: what "
         "decide_pairs needs when it is given a part of a catalogue."},
        {"decide_pairs", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decide_pairs)),
         METH_VARARGS | METH_KEYWORDS,
         "decide_pairs(subjects, candidates, subject_positions, candidate_positions, *, settings=None, "
         "title_frequencies=None)\n--\n\n"
         "The same-work decision for the given pairs: verdict, reason and strength columns. settings replaces "
         "some of the decision's thresholds, to measure what each one does; title_frequencies, for pairs within "
         "one store that is part of a catalogue, gives the catalogue's title_frequencies()."},
        {"decision_defaults", decision_defaults, METH_NOARGS,
         "decision_defaults()\n--\n\nThe decision's thresholds as it uses them by default."},
        {"decision_names", decision_names, METH_NOARGS,
         "decision_names()\n--\n\nThe names of the verdicts and reasons, by number."},
        {nullptr, nullptr, 0, nullptr},
    };
    return functions;
}

}  // namespace refsieve::py::engine_module
