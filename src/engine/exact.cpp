// Exact training over rows held by several processes (the toolkit's Dask mode): the pieces of
// the core's growth that the holders of the rows and the process choosing the splits each run,
// each over a whole level of many trees at once. Holders: a tree's rows (exact_rows), the
// routing of the open nodes' rows (exact_route_level), the values at their sample positions
// (exact_positions_level, exact_samples_level), their counting slots (exact_counts_level).
// Chooser: the candidates from the sampled values (exact_candidates_level), every node's best
// split from the summed slots (exact_choose_level), a node's rates and uplift (exact_node).
// Arrays travel as numpy arrays in and bytes out; the lock is released while the level works.
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "binding/boundary.hpp"
#include "binding/convert.hpp"
#include "binding/py_error.hpp"
#include "engine/arguments.hpp"
#include "engine/arrays.hpp"
#include "engine/functions.hpp"
#include "engine/waiting.hpp"
#include "uplift_tree/divergence.hpp"
#include "uplift_tree/grow.hpp"
#include "uplift_tree/records.hpp"
#include "uplift_tree/routing.hpp"
#include "uplift_tree/split_candidates.hpp"
#include "uplift_tree/split_from_counts.hpp"
#include "uplift_tree/split_search.hpp"

namespace quillmarsh {
namespace {

struct ExactArguments {
  PyObject* a = nullptr;  // the arrays and lists of each function, in order
  PyObject* b = nullptr;
  PyObject* c = nullptr;
  PyObject* d = nullptr;
  PyObject* e = nullptr;
  PyObject* f = nullptr;
  PyObject* g = nullptr;
  PyObject* h = nullptr;
  std::uint64_t seed = 0;
  std::uint64_t tree = 0;
  std::uint64_t n_features = 0;
  std::uint64_t max_features = 0;
  std::uint64_t max_bins = 0;
  std::uint64_t groups = 0;
  std::string criterion = "KL";
  bool balance = false;
  bool regularization = false;
  double alpha = 0.0;
  std::uint64_t min_samples_leaf = 0;
  TreeOptions options;
};

template <PyObject* ExactArguments::* field>
bool store_object(PyObject* value, ExactArguments& arguments) {
  arguments.*field = value;
  return true;
}

bool store_max_samples(PyObject* value, ExactArguments& a) {
  if (value == Py_None) return true;
  a.options.max_samples = to_u64(value);
  return a.options.max_samples.has_value();
}
bool store_honest_fraction(PyObject* value, ExactArguments& a) {
  if (value == Py_None) return true;
  a.options.honest_fraction = to_f64(value);
  return a.options.honest_fraction.has_value();
}
bool store_min_samples_treatment(PyObject* value, ExactArguments& a) {
  if (value == Py_None) return true;
  a.options.min_samples_treatment = to_u64(value);
  return a.options.min_samples_treatment.has_value();
}
bool store_bootstrap(PyObject* value, ExactArguments& a) {
  const std::optional<bool> bootstrap = to_exact_bool(value);
  if (bootstrap) a.options.bootstrap = *bootstrap;
  return bootstrap.has_value();
}
bool store_group_size(PyObject* value, ExactArguments& a) {
  const std::optional<std::int32_t> size = at_least_one(value);
  if (size) a.options.group_size = static_cast<std::uint64_t>(*size);
  return size.has_value();
}

using A = ExactArguments;

PyObject* bytes_of(const void* data, std::size_t size) {
  return PyBytes_FromStringAndSize(static_cast<const char*>(data), static_cast<Py_ssize_t>(size));
}

template <class Values>
PyObject* bytes_of(const Values& values) {
  return bytes_of(values.data(), values.size() * sizeof(values[0]));
}

template <class T, class Convert>
PyObject* list_of(const std::vector<T>& values, Convert convert) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* item = convert(values[i]);
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return list.release();
}

PyObject* float_list(const std::vector<double>& values) {
  return list_of(values, [](double v) { return PyFloat_FromDouble(v); });
}

// A list of floats (a node's rates) as doubles.
std::optional<std::vector<double>> read_floats(PyObject* object, const char* what) {
  PyRef seq = PyRef::steal(PySequence_List(object));
  if (!seq) return std::nullopt;
  std::vector<double> out;
  const Py_ssize_t n = PyList_Size(seq.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    const std::optional<double> v = to_f64(PyList_GetItem(seq.get(), i));
    if (!v) {
      detail::name_argument(what);
      return std::nullopt;
    }
    out.push_back(*v);
  }
  return out;
}

std::optional<GroupCounts> read_counts(PyObject* object, const char* what) {
  std::optional<ArrayView> view = read_array(object, what, Dtype::kInt32, 1);
  if (!view) return std::nullopt;
  const std::span<const std::int32_t> c = view->values<std::int32_t>();
  if (c.empty() || c.size() % 2 != 0) {
    raise_value_error(std::string(what) + " must hold rows and positives of every group");
    return std::nullopt;
  }
  return GroupCounts(c.begin(), c.end());
}

// ---------------------------------------------------------------------------- holders

constexpr std::array<Parameter<A>, 7> kRowsParameters{{
    {"group_outcome", Given::kPositional, store_object<&A::a>},
    {"seed", Given::kRequiredKeyword, store_converted<&A::seed, to_u64>},
    {"tree", Given::kRequiredKeyword, store_converted<&A::tree, to_u64>},
    {"max_samples", Given::kOptionalKeyword, store_max_samples},
    {"bootstrap", Given::kOptionalKeyword, store_bootstrap},
    {"honest_fraction", Given::kOptionalKeyword, store_honest_fraction},
    {"ci_group_size", Given::kOptionalKeyword, store_group_size},
}};

// The rows of tree `tree` (split rows, estimation rows) among every row of the data, whose
// packed words are group_outcome: those UpliftForest's fit draws for it.
PyObject* tree_rows(const A& a) {
  std::optional<ArrayView> words = read_array(a.a, "group_outcome", Dtype::kUInt32, 1);
  if (!words) return nullptr;
  const std::span<const std::uint32_t> w = words->values<std::uint32_t>();
  if (w.size() > std::numeric_limits<RowIndex>::max()) {
    raise_value_error("more rows than a row index holds");
    return nullptr;
  }
  std::optional<TreeSample> sample;
  const bool drawn = panics_as_value_error([&] {
    const LockReleased released;
    RowVector all(w.size());
    for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<RowIndex>(i);
    sample = tree_sample_of(all, w, a.options, TreeDraws::seeded(a.seed, a.tree));
  });
  if (!drawn || !sample) return nullptr;
  PyRef split = PyRef::steal(bytes_of(sample->split_rows));
  PyRef estimation = PyRef::steal(bytes_of(sample->estimation_rows));
  if (!split || !estimation) return nullptr;
  return PyTuple_Pack(2, split.get(), estimation.get());
}

constexpr std::array<Parameter<A>, 2> kWordsParameters{{
    {"groups", Given::kPositional, store_object<&A::a>},
    {"outcomes", Given::kPositional, store_object<&A::b>},
}};

// The packed word of each row (bytes of uint32), as the in-memory fit packs its group
// (uint32) and its 0/1 outcome (uint8).
PyObject* words(const A& a) {
  std::optional<ArrayView> groups = read_array(a.a, "groups", Dtype::kUInt32, 1);
  std::optional<ArrayView> outcomes =
      groups ? read_array(a.b, "outcomes", Dtype::kUInt8, 1) : std::nullopt;
  if (!outcomes) return nullptr;
  if (groups->rows != outcomes->rows) {
    raise_value_error("groups and outcomes differ in length");
    return nullptr;
  }
  const std::span<const std::uint32_t> g = groups->values<std::uint32_t>();
  const std::span<const std::uint8_t> y = outcomes->values<std::uint8_t>();
  std::vector<std::uint32_t> packed(g.size());
  for (std::size_t i = 0; i < g.size(); ++i) {
    if (g[i] > static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max() >> 8)) {
      raise_value_error("a group number is too large to pack");
      return nullptr;
    }
    packed[i] = pack_group_outcome(static_cast<std::int32_t>(g[i]), static_cast<std::int8_t>(y[i]));
  }
  return bytes_of(packed);
}

constexpr std::array<Parameter<A>, 3> kGroupCountParameters{{
    {"words", Given::kPositional, store_object<&A::a>},
    {"rows", Given::kPositional, store_object<&A::b>},
    {"groups", Given::kRequiredKeyword, store_converted<&A::groups, to_u64>},
}};

// The group counts (bytes of int32: rows and positives of each group) of `rows` among the
// packed words of every row.
PyObject* group_counts_of(const A& a) {
  std::optional<ArrayView> words = read_array(a.a, "words", Dtype::kUInt32, 1);
  std::optional<ArrayView> rows = words ? read_array(a.b, "rows", Dtype::kUInt32, 1) : std::nullopt;
  if (!rows) return nullptr;
  std::optional<GroupCounts> counts;
  const bool counted = panics_as_value_error([&] {
    counts = group_counts(words->values<std::uint32_t>(), static_cast<std::size_t>(a.groups),
                          rows->values<RowIndex>());
  });
  if (!counted || !counts) return nullptr;
  return bytes_of(*counts);
}

// ---------------------------------------------------------------------------- a level at once
// A holder's state between rounds: its rows of every open node (uint32), node k's being
// rows[ranges[2k], ranges[2k + 1]); and what it holds of every feature.

// A holder's columns: per feature a float32 array, or a uint32 array of codes where
// strings[f] (uint8) is set, below dictionary_sizes[f] (uint32). `views` keeps them alive.
struct HeldColumns {
  std::vector<ArrayView> views;
  std::vector<HeldColumn> columns;
  std::vector<std::uint8_t> strings;
  std::vector<std::size_t> dictionary_sizes;
};

bool read_kinds(PyObject* strings, PyObject* dictionary_sizes, HeldColumns& out) {
  std::optional<ArrayView> s = read_array(strings, "strings", Dtype::kUInt8, 1);
  std::optional<ArrayView> d =
      s ? read_array(dictionary_sizes, "dictionary_sizes", Dtype::kUInt32, 1) : std::nullopt;
  if (!d) return false;
  if (s->rows != d->rows) return raise_value_error("strings and dictionary_sizes differ in length");
  const std::span<const std::uint8_t> flags = s->values<std::uint8_t>();
  const std::span<const std::uint32_t> sizes = d->values<std::uint32_t>();
  out.strings.assign(flags.begin(), flags.end());
  out.dictionary_sizes.assign(sizes.begin(), sizes.end());
  return true;
}

std::optional<HeldColumns> read_columns(PyObject* list, PyObject* strings,
                                        PyObject* dictionary_sizes) {
  HeldColumns out;
  if (!read_kinds(strings, dictionary_sizes, out)) return std::nullopt;
  PyRef seq = PyRef::steal(PySequence_List(list));
  if (!seq) return std::nullopt;
  const auto n = static_cast<std::size_t>(PyList_Size(seq.get()));
  if (n != out.strings.size()) {
    raise_value_error("columns and strings differ in length");
    return std::nullopt;
  }
  for (std::size_t f = 0; f < n; ++f) {
    const bool codes = out.strings[f] != 0;
    std::optional<ArrayView> view =
        read_array(PyList_GetItem(seq.get(), static_cast<Py_ssize_t>(f)), "columns",
                   codes ? Dtype::kUInt32 : Dtype::kFloat32, 1);
    if (!view) return std::nullopt;
    HeldColumn column;
    column.strings = codes;
    column.dictionary_size = out.dictionary_sizes[f];
    if (codes) {
      column.codes = view->values<std::uint32_t>();
    } else {
      column.values = view->values<float>();
    }
    out.columns.push_back(column);
    out.views.push_back(std::move(*view));
  }
  return out;
}

// The rows and ranges of a holder's open nodes.
struct HeldState {
  ArrayView rows;
  ArrayView ranges;
  HeldNodes nodes() const {
    return HeldNodes{rows.values<RowIndex>(), ranges.values<std::uint32_t>()};
  }
};

std::optional<HeldState> read_state(PyObject* rows, PyObject* ranges) {
  std::optional<ArrayView> r = read_array(rows, "rows", Dtype::kUInt32, 1);
  std::optional<ArrayView> g = r ? read_array(ranges, "ranges", Dtype::kUInt32, 1) : std::nullopt;
  if (!g) return std::nullopt;
  if (g->rows % 2 != 0) {
    raise_value_error("ranges must hold a begin and an end per node");
    return std::nullopt;
  }
  return HeldState{std::move(*r), std::move(*g)};
}

// A 2-D uint64 table of `width` columns.
std::optional<ArrayView> read_table(PyObject* object, const char* what, std::size_t width) {
  std::optional<ArrayView> view = read_array(object, what, Dtype::kUInt64, 2);
  if (view && view->columns != width) {
    raise_value_error(std::string(what) + " must have " + std::to_string(width) + " columns");
    return std::nullopt;
  }
  return view;
}

std::vector<SearchedNode> searched_nodes(const ArrayView& table) {
  const std::span<const std::uint64_t> t = table.values<std::uint64_t>();
  std::vector<SearchedNode> out(table.rows);
  for (std::size_t k = 0; k < table.rows; ++k) {
    const std::uint64_t* row = t.data() + k * table.columns;
    out[k].tree = row[0];
    out[k].slot = row[1];
    out[k].n = row[2];
    if (table.columns > 3) {
      out[k].held = static_cast<std::uint32_t>(row[3]);
      out[k].first = row[4];
    }
  }
  return out;
}

DrawSettings draw_settings(const A& a) {
  return DrawSettings{a.seed, a.n_features, a.max_features, a.max_bins};
}

PyObject* flat_pair(const FlatItems& items) {
  PyRef words = PyRef::steal(bytes_of(items.words));
  PyRef ends = PyRef::steal(bytes_of(items.ends));
  if (!words || !ends) return nullptr;
  return PyTuple_Pack(2, words.get(), ends.get());
}

std::optional<FlatItems> read_flat(PyObject* words, PyObject* ends, const char* what) {
  std::optional<ArrayView> w = read_array(words, what, Dtype::kUInt32, 1);
  std::optional<ArrayView> e = w ? read_array(ends, what, Dtype::kUInt64, 1) : std::nullopt;
  if (!e) return std::nullopt;
  FlatItems out;
  const std::span<const std::uint32_t> wv = w->values<std::uint32_t>();
  const std::span<const std::uint64_t> ev = e->values<std::uint64_t>();
  out.words.assign(wv.begin(), wv.end());
  out.ends.assign(ev.begin(), ev.end());
  std::uint64_t last = 0;
  for (const std::uint64_t end : out.ends) {
    if (end < last || end > out.words.size()) {
      raise_value_error(std::string(what) + " ends must ascend within its words");
      return std::nullopt;
    }
    last = end;
  }
  return out;
}

std::optional<FlatItems> read_pair(PyObject* pair, const char* what) {
  if (!PyTuple_Check(pair) || PyTuple_Size(pair) != 2) {
    raise_value_error(std::string(what) + " must be a (words, ends) pair");
    return std::nullopt;
  }
  return read_flat(PyTuple_GetItem(pair, 0), PyTuple_GetItem(pair, 1), what);
}

// A list of (words, ends) pairs, one per holder.
std::optional<std::vector<FlatItems>> read_answers(PyObject* list, const char* what) {
  PyRef seq = PyRef::steal(PySequence_List(list));
  if (!seq) return std::nullopt;
  std::vector<FlatItems> out;
  for (Py_ssize_t i = 0; i < PyList_Size(seq.get()); ++i) {
    std::optional<FlatItems> items = read_pair(PyList_GetItem(seq.get(), i), what);
    if (!items) return std::nullopt;
    out.push_back(std::move(*items));
  }
  return out;
}

constexpr std::array<Parameter<A>, 8> kRouteParameters{{
    {"columns", Given::kPositional, store_object<&A::a>},
    {"strings", Given::kPositional, store_object<&A::b>},
    {"rows", Given::kPositional, store_object<&A::c>},
    {"ranges", Given::kPositional, store_object<&A::d>},
    {"splits", Given::kPositional, store_object<&A::e>},
    {"words", Given::kPositional, store_object<&A::f>},
    {"groups", Given::kRequiredKeyword, store_converted<&A::groups, to_u64>},
    {"dictionary_sizes", Given::kRequiredKeyword, store_object<&A::g>},
}};

// Routes the rows of the split nodes (splits: uint64 (node, feature, value) rows) to their
// children: (rows, ranges, the children's group counts as int32, none when words is None),
// bytes each.
PyObject* route_level(const A& a) {
  std::optional<HeldColumns> held = read_columns(a.a, a.b, a.g);
  std::optional<HeldState> state = held ? read_state(a.c, a.d) : std::nullopt;
  std::optional<ArrayView> table = state ? read_table(a.e, "splits", 3) : std::nullopt;
  if (!table) return nullptr;
  const bool counted = a.f != Py_None;
  std::optional<ArrayView> words =
      counted ? read_array(a.f, "words", Dtype::kUInt32, 1) : std::nullopt;
  if (counted && !words) return nullptr;
  const std::span<const std::uint64_t> t = table->values<std::uint64_t>();
  std::vector<HeldSplit> splits(table->rows);
  for (std::size_t k = 0; k < splits.size(); ++k) {
    splits[k] =
        HeldSplit{static_cast<std::uint32_t>(t[3 * k]), static_cast<std::uint32_t>(t[3 * k + 1]),
                  static_cast<std::uint32_t>(t[3 * k + 2])};
  }
  RowVector rows;
  std::vector<std::uint32_t> ranges;
  std::vector<std::int32_t> counts;
  const bool routed = panics_as_value_error([&] {
    const LockReleased released;
    route_held_nodes(held->columns, state->nodes(), splits, rows, ranges);
    const std::span<const RowIndex> all(rows);
    for (std::size_t k = 0; counted && k + 1 < ranges.size(); k += 2) {
      const GroupCounts c =
          group_counts(words->values<std::uint32_t>(), static_cast<std::size_t>(a.groups),
                       all.subspan(ranges[k], ranges[k + 1] - ranges[k]));
      counts.insert(counts.end(), c.begin(), c.end());
    }
  });
  if (!routed) return nullptr;
  PyRef r = PyRef::steal(bytes_of(rows));
  PyRef g = PyRef::steal(bytes_of(ranges));
  PyRef c = PyRef::steal(bytes_of(counts));
  if (!r || !g || !c) return nullptr;
  return PyTuple_Pack(3, r.get(), g.get(), c.get());
}

constexpr std::array<Parameter<A>, 5> kPositionsParameters{{
    {"searched", Given::kPositional, store_object<&A::a>},
    {"seed", Given::kRequiredKeyword, store_converted<&A::seed, to_u64>},
    {"n_features", Given::kRequiredKeyword, store_converted<&A::n_features, to_u64>},
    {"max_features", Given::kRequiredKeyword, store_converted<&A::max_features, to_u64>},
    {"max_bins", Given::kRequiredKeyword, store_converted<&A::max_bins, to_u64>},
}};

// What every searched node (searched: uint64 (tree, slot, n, ...) rows) draws: the features
// of its items (uint32) and each item's sample positions ((words, ends)), bytes each.
PyObject* positions_level(const A& a) {
  std::optional<ArrayView> table = read_array(a.a, "searched", Dtype::kUInt64, 2);
  if (!table) return nullptr;
  if (table->columns < 3) {
    raise_value_error("searched must have at least 3 columns");
    return nullptr;
  }
  const std::vector<SearchedNode> searched = searched_nodes(*table);
  LevelItems out;
  const bool drawn = panics_as_value_error([&] {
    const LockReleased released;
    out = level_sample_positions(searched, draw_settings(a));
  });
  if (!drawn) return nullptr;
  PyRef features = PyRef::steal(bytes_of(out.features));
  PyRef pair = PyRef::steal(flat_pair(out.items));
  if (!features || !pair) return nullptr;
  return PyTuple_Pack(2, features.get(), pair.get());
}

constexpr std::array<Parameter<A>, 8> kSamplesParameters{{
    {"columns", Given::kPositional, store_object<&A::a>},
    {"strings", Given::kPositional, store_object<&A::b>},
    {"rows", Given::kPositional, store_object<&A::c>},
    {"ranges", Given::kPositional, store_object<&A::d>},
    {"searched", Given::kPositional, store_object<&A::e>},
    {"features", Given::kPositional, store_object<&A::f>},
    {"positions", Given::kPositional, store_object<&A::h>},
    {"dictionary_sizes", Given::kRequiredKeyword, store_object<&A::g>},
}};

// The holder's sampled values of every searched node (searched: uint64 (tree, slot, n, held
// node, first position) rows; features and positions: exact_positions_level's):
// (words, ends) bytes.
PyObject* samples_level(const A& a) {
  std::optional<HeldColumns> held = read_columns(a.a, a.b, a.g);
  std::optional<HeldState> state = held ? read_state(a.c, a.d) : std::nullopt;
  std::optional<ArrayView> table = state ? read_table(a.e, "searched", 5) : std::nullopt;
  std::optional<ArrayView> features =
      table ? read_array(a.f, "features", Dtype::kUInt32, 1) : std::nullopt;
  std::optional<FlatItems> positions = features ? read_pair(a.h, "positions") : std::nullopt;
  if (!positions) return nullptr;
  const std::vector<SearchedNode> searched = searched_nodes(*table);
  LevelItems drawn;
  const std::span<const std::uint32_t> f = features->values<std::uint32_t>();
  drawn.features.assign(f.begin(), f.end());
  drawn.items = std::move(*positions);
  if (drawn.features.size() != drawn.items.ends.size()) {
    raise_value_error("features and positions differ in number of items");
    return nullptr;
  }
  FlatItems out;
  const bool read = panics_as_value_error([&] {
    const LockReleased released;
    out = held_sample_values(held->columns, state->nodes(), searched, drawn);
  });
  if (!read) return nullptr;
  return flat_pair(out);
}

constexpr std::array<Parameter<A>, 9> kCountsParameters{{
    {"columns", Given::kPositional, store_object<&A::a>},
    {"strings", Given::kPositional, store_object<&A::b>},
    {"rows", Given::kPositional, store_object<&A::c>},
    {"ranges", Given::kPositional, store_object<&A::d>},
    {"items", Given::kPositional, store_object<&A::e>},
    {"candidates", Given::kPositional, store_object<&A::f>},
    {"words", Given::kRequiredKeyword, store_object<&A::h>},
    {"groups", Given::kRequiredKeyword, store_converted<&A::groups, to_u64>},
    {"dictionary_sizes", Given::kRequiredKeyword, store_object<&A::g>},
}};

// The holder's counting slots of every item (items: uint64 (held node, feature) rows;
// candidates: (words, ends) of each item's thresholds' bits or categories): (words, ends).
PyObject* counts_level(const A& a) {
  std::optional<HeldColumns> held = read_columns(a.a, a.b, a.g);
  std::optional<HeldState> state = held ? read_state(a.c, a.d) : std::nullopt;
  std::optional<ArrayView> table = state ? read_table(a.e, "items", 2) : std::nullopt;
  std::optional<FlatItems> candidates = table ? read_pair(a.f, "candidates") : std::nullopt;
  std::optional<ArrayView> words =
      candidates ? read_array(a.h, "words", Dtype::kUInt32, 1) : std::nullopt;
  if (!words) return nullptr;
  const std::span<const std::uint64_t> t = table->values<std::uint64_t>();
  std::vector<std::uint32_t> nodes(table->rows);
  std::vector<std::uint32_t> features(table->rows);
  for (std::size_t k = 0; k < table->rows; ++k) {
    nodes[k] = static_cast<std::uint32_t>(t[2 * k]);
    features[k] = static_cast<std::uint32_t>(t[2 * k + 1]);
  }
  FlatItems out;
  const bool counted = panics_as_value_error([&] {
    const LockReleased released;
    out = held_counts(held->columns, state->nodes(), words->values<std::uint32_t>(), nodes,
                      features, *candidates, static_cast<std::size_t>(a.groups));
  });
  if (!counted) return nullptr;
  return flat_pair(out);
}

constexpr std::array<Parameter<A>, 8> kCandidatesParameters{{
    {"searched", Given::kPositional, store_object<&A::a>},
    {"answers", Given::kPositional, store_object<&A::b>},
    {"strings", Given::kPositional, store_object<&A::c>},
    {"dictionary_sizes", Given::kPositional, store_object<&A::d>},
    {"seed", Given::kRequiredKeyword, store_converted<&A::seed, to_u64>},
    {"n_features", Given::kRequiredKeyword, store_converted<&A::n_features, to_u64>},
    {"max_features", Given::kRequiredKeyword, store_converted<&A::max_features, to_u64>},
    {"max_bins", Given::kRequiredKeyword, store_converted<&A::max_bins, to_u64>},
}};

// The searcher's candidates of a level (searched: uint64 (tree, slot, n) rows; answers: each
// holder's (words, ends) of samples): (features of the items as uint32, (words, ends)).
PyObject* candidates_level(const A& a) {
  std::optional<ArrayView> table = read_table(a.a, "searched", 3);
  std::optional<std::vector<FlatItems>> answers =
      table ? read_answers(a.b, "answers") : std::nullopt;
  HeldColumns kinds;
  if (!answers || !read_kinds(a.c, a.d, kinds)) return nullptr;
  const std::vector<SearchedNode> searched = searched_nodes(*table);
  LevelItems out;
  const bool made = panics_as_value_error([&] {
    const LockReleased released;
    out = level_candidates(searched, *answers, kinds.strings, kinds.dictionary_sizes,
                           draw_settings(a));
  });
  if (!made) return nullptr;
  PyRef features = PyRef::steal(bytes_of(out.features));
  PyRef pair = PyRef::steal(flat_pair(out.items));
  if (!features || !pair) return nullptr;
  return PyTuple_Pack(2, features.get(), pair.get());
}

// ---------------------------------------------------------------------------- chooser

// The settings of a split's choice; ValueError for an unknown criterion.
std::optional<SplitSettings> split_settings_of(const A& a) {
  const std::optional<EvalFunc> eval_func = eval_func_of_text(a.criterion);
  if (!eval_func) {
    raise_value_error("criterion must be 'ED', 'KL' or 'CHI'");
    return std::nullopt;
  }
  SplitSettings settings;
  settings.min_sample_leaf = a.min_samples_leaf;
  settings.alpha = a.alpha;
  settings.balance = a.balance;
  settings.regularization = a.regularization;
  settings.eval_func = *eval_func;
  settings.min_samples_treatment = a.options.min_samples_treatment;
  return settings;
}

constexpr std::array<Parameter<A>, 10> kChooseLevelParameters{{
    {"slots", Given::kPositional, store_object<&A::a>},
    {"node_ends", Given::kPositional, store_object<&A::b>},
    {"prefix", Given::kPositional, store_object<&A::c>},
    {"counts", Given::kPositional, store_object<&A::d>},
    {"criterion", Given::kRequiredKeyword, store_converted<&A::criterion, to_text>},
    {"balance", Given::kRequiredKeyword, store_converted<&A::balance, to_exact_bool>},
    {"regularization", Given::kRequiredKeyword, store_converted<&A::regularization, to_exact_bool>},
    {"alpha", Given::kRequiredKeyword, store_converted<&A::alpha, to_f64>},
    {"min_samples_leaf", Given::kRequiredKeyword, store_converted<&A::min_samples_leaf, to_u64>},
    {"min_samples_treatment", Given::kOptionalKeyword, store_min_samples_treatment},
}};

// Every node's best split from the holders' slots (slots: each holder's (words, ends);
// node_ends: uint64, node k's items end at node_ends[k]; prefix: uint8 per item; counts:
// int32 (nodes, 2 x groups)): bytes of the chosen item per node (int64, -1 for none), its
// candidate (uint64), gain (float64), left and right counts (int32 per node) and each
// holder's left rows (uint64, nodes x holders).
PyObject* choose_level(const A& a) {
  std::optional<std::vector<FlatItems>> slots = read_answers(a.a, "slots");
  std::optional<ArrayView> ends =
      slots ? read_array(a.b, "node_ends", Dtype::kUInt64, 1) : std::nullopt;
  std::optional<ArrayView> prefix =
      ends ? read_array(a.c, "prefix", Dtype::kUInt8, 1) : std::nullopt;
  std::optional<ArrayView> counts =
      prefix ? read_array(a.d, "counts", Dtype::kInt32, 2) : std::nullopt;
  const std::optional<SplitSettings> settings = counts ? split_settings_of(a) : std::nullopt;
  if (!settings) return nullptr;
  if (counts->rows != ends->rows || counts->columns % 2 != 0 || counts->columns == 0) {
    raise_value_error("counts must hold a node's rows and positives per group, per node");
    return nullptr;
  }
  const std::size_t nodes = ends->rows;
  const std::size_t g2 = counts->columns;
  std::vector<std::int64_t> items(nodes, -1);
  std::vector<std::uint64_t> index(nodes, 0);
  std::vector<double> gains(nodes, kNoGain);
  std::vector<std::int32_t> left(nodes * g2, 0);
  std::vector<std::int32_t> right(nodes * g2, 0);
  std::vector<std::uint64_t> held_left(nodes * slots->size(), 0);
  const bool chosen = panics_as_value_error([&] {
    const LockReleased released;
    const std::span<const std::uint64_t> e = ends->values<std::uint64_t>();
    const std::span<const std::int32_t> c = counts->values<std::int32_t>();
    std::uint64_t first = 0;
    for (std::size_t k = 0; k < nodes; ++k) {
      if (e[k] < first) panic("node_ends must ascend");
      const GroupCounts node(c.begin() + static_cast<std::ptrdiff_t>(k * g2),
                             c.begin() + static_cast<std::ptrdiff_t>((k + 1) * g2));
      const LevelChoice best =
          choose_node(*slots, first, e[k], prefix->values<std::uint8_t>(), node, *settings);
      first = e[k];
      if (best.item == e[k]) continue;
      items[k] = static_cast<std::int64_t>(best.item);
      index[k] = best.choice.index;
      gains[k] = best.choice.gain;
      std::copy(best.choice.left.begin(), best.choice.left.end(), left.data() + k * g2);
      std::copy(best.choice.right.begin(), best.choice.right.end(), right.data() + k * g2);
      std::copy(best.held_left.begin(), best.held_left.end(), held_left.data() + k * slots->size());
    }
  });
  if (!chosen) return nullptr;
  std::array<PyRef, 6> out{PyRef::steal(bytes_of(items)), PyRef::steal(bytes_of(index)),
                           PyRef::steal(bytes_of(gains)), PyRef::steal(bytes_of(left)),
                           PyRef::steal(bytes_of(right)), PyRef::steal(bytes_of(held_left))};
  for (const PyRef& r : out) {
    if (!r) return nullptr;
  }
  return PyTuple_Pack(6, out[0].get(), out[1].get(), out[2].get(), out[3].get(), out[4].get(),
                      out[5].get());
}

constexpr std::array<Parameter<A>, 2> kNodeParameters{{
    {"counts", Given::kPositional, store_object<&A::a>},
    {"rates", Given::kPositional, store_object<&A::b>},
}};

// A node's uplift: from its own counts (rates None), or for an honest tree from `rates`, its
// parent's rates, updated by the groups its counts hold. Returns (rates or None, uplift).
PyObject* node(const A& a) {
  const std::optional<GroupCounts> counts = read_counts(a.a, "counts");
  if (!counts) return nullptr;
  if (a.b == Py_None) {
    PyRef uplift = PyRef::steal(float_list(uplift_vector(*counts)));
    if (!uplift) return nullptr;
    return PyTuple_Pack(2, Py_None, uplift.get());
  }
  std::optional<std::vector<double>> rates = read_floats(a.b, "rates");
  if (!rates) return nullptr;
  if (rates->size() * 2 != counts->size()) {
    raise_value_error("rates must hold one rate per group of counts");
    return nullptr;
  }
  take_rates(*counts, *rates);
  PyRef listed = PyRef::steal(float_list(*rates));
  PyRef uplift = PyRef::steal(float_list(uplift_from_rates(*rates)));
  if (!listed || !uplift) return nullptr;
  return PyTuple_Pack(2, listed.get(), uplift.get());
}

}  // namespace

PyObject* engine_exact_route_level(PyObject* /*module*/, PyObject* args,
                                   PyObject* kwargs) noexcept {
  return call_with_arguments("exact_route_level", kRouteParameters, args, kwargs, route_level);
}
PyObject* engine_exact_positions_level(PyObject* /*module*/, PyObject* args,
                                       PyObject* kwargs) noexcept {
  return call_with_arguments("exact_positions_level", kPositionsParameters, args, kwargs,
                             positions_level);
}
PyObject* engine_exact_samples_level(PyObject* /*module*/, PyObject* args,
                                     PyObject* kwargs) noexcept {
  return call_with_arguments("exact_samples_level", kSamplesParameters, args, kwargs,
                             samples_level);
}
PyObject* engine_exact_counts_level(PyObject* /*module*/, PyObject* args,
                                    PyObject* kwargs) noexcept {
  return call_with_arguments("exact_counts_level", kCountsParameters, args, kwargs, counts_level);
}
PyObject* engine_exact_candidates_level(PyObject* /*module*/, PyObject* args,
                                        PyObject* kwargs) noexcept {
  return call_with_arguments("exact_candidates_level", kCandidatesParameters, args, kwargs,
                             candidates_level);
}
PyObject* engine_exact_choose_level(PyObject* /*module*/, PyObject* args,
                                    PyObject* kwargs) noexcept {
  return call_with_arguments("exact_choose_level", kChooseLevelParameters, args, kwargs,
                             choose_level);
}
PyObject* engine_exact_rows(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
  return call_with_arguments("exact_rows", kRowsParameters, args, kwargs, tree_rows);
}
PyObject* engine_exact_words(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
  return call_with_arguments("exact_words", kWordsParameters, args, kwargs, words);
}
PyObject* engine_exact_group_counts(PyObject* /*module*/, PyObject* args,
                                    PyObject* kwargs) noexcept {
  return call_with_arguments("exact_group_counts", kGroupCountParameters, args, kwargs,
                             group_counts_of);
}
PyObject* engine_exact_node(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
  return call_with_arguments("exact_node", kNodeParameters, args, kwargs, node);
}

}  // namespace quillmarsh
