// Module initialisation of quillmarsh_kit._engine: its functions, the Forest type and the
// documentation of its API for the toolkit.
#include "binding/allocator.hpp"
#include "binding/boundary.hpp"
#include "binding/panic_exception.hpp"
#include "binding/py_error.hpp"
#include "binding/py_ref.hpp"
#include "binding/type_parts.hpp"
#include "common/panic.hpp"
#include "engine/forest_object.hpp"
#include "engine/functions.hpp"

namespace quillmarsh {

namespace {

constexpr const char* kModuleDoc =
    "The toolkit's private engine: the uplift forest of quillmarsh over numpy buffers.\n"
    "\n"
    "Same trees, training and model file as the native class _UpliftRandomForestModel, but\n"
    "the data arrive as arrays that are read in place (no feature column is copied), the\n"
    "interpreter lock is released while training and predicting, Ctrl-C stops both with\n"
    "KeyboardInterrupt, and a seed makes training reproducible for any thread count.\n"
    "\n"
    "Arrays are numpy arrays (or any object with __array_interface__), C-contiguous, of\n"
    "exactly the dtypes named below; anything else raises TypeError or ValueError naming the\n"
    "argument, before any thread starts. The arrays are referenced, not copied, for the\n"
    "duration of the call, and other threads must not write to them meanwhile.\n"
    "\n"
    "File errors raise OSError (FileNotFoundError, IsADirectoryError, ...), exhausted\n"
    "memory MemoryError, text that is not UTF-8 ValueError. Internal failures raise\n"
    "PanicException (vornex_runtime.PanicException, a BaseException, also this module's\n"
    "attribute), the same type object that the native class raises.\n"
    "\n"
    "Functions:\n"
    "  fit(columns, names, treatment, outcome, *, n_estimators, max_features, max_depth,\n"
    "      min_samples_leaf, criterion, max_bins, balance, regularization, alpha, n_threads,\n"
    "      seed, treatment_col='treatment', outcome_col='outcome', progress=None,\n"
    "      max_samples=None, bootstrap=False, honest_fraction=None,\n"
    "      min_samples_treatment=None) -> Forest\n"
    "  load(path) -> (Forest, metadata or None)\n"
    "  from_bytes(data) -> (Forest, metadata or None)\n"
    "  merge(forests) -> Forest\n"
    "\n"
    "Forest: predict(columns, out, n_threads, std_out=None), feature_importance(kind),\n"
    "save(path, metadata=None), to_bytes(metadata=None); attributes n_trees, n_outputs,\n"
    "feature_names, criterion and the training settings.";

PyMethodDef kFunctions[] = {
    {"fit", as_cfunction(&engine_fit), METH_VARARGS | METH_KEYWORDS,
     "fit(columns, names, treatment, outcome, *, n_estimators, max_features, max_depth, "
     "min_samples_leaf, criterion, max_bins, balance, regularization, alpha, n_threads, seed, "
     "treatment_col='treatment', outcome_col='outcome', progress=None, max_samples=None, "
     "bootstrap=False, honest_fraction=None, min_samples_treatment=None)\n--\n\n"
     "Trains a forest of n_estimators uplift trees and returns it as a Forest.\n\n"
     "columns: a list with one entry per feature, in the order of names (a list of distinct\n"
     "    str): a 1-D C-contiguous float32 array (NaN = missing), or for a string feature a\n"
     "    tuple (codes, categories): codes a 1-D C-contiguous uint32 array, categories a\n"
     "    sequence of distinct str that codes index.\n"
     "treatment: 1-D int32 array, 0 for the control group and 1..K for the treatment groups.\n"
     "outcome: 1-D uint8 array of 0 and 1. Every array holds one value per row.\n"
     "n_estimators, n_threads >= 1; criterion 'ED', 'KL' or 'CHI'; max_features,\n"
     "max_depth, min_samples_leaf, max_bins, balance, regularization and alpha as for the\n"
     "native class (min_samples_leaf is its min_sample_leaf). seed: 0 .. 2**64 - 1; tree i\n"
     "depends only on the data, the settings, the seed and i, so a seed gives the same\n"
     "forest for every n_threads. Trees are stored in the order of their numbers.\n"
     "treatment_col, outcome_col: the names stored in the model file.\n"
     "progress: None, or a callable called as progress(done) with the number of finished\n"
     "    trees after every wait of at most 100 ms (done repeats while no tree finishes), on\n"
     "    the calling thread; an exception it raises stops training and propagates.\n"
     "max_samples: None, or the rows (>= 1) each tree draws from its own seeded stream; with\n"
     "    bootstrap=True they are drawn with replacement (None then draws as many as there\n"
     "    are rows), without it they must not exceed the rows.\n"
     "honest_fraction: None, or in (0, 1): that share of each tree's distinct rows sets the\n"
     "    leaf rates, the rest chooses the splits; a leaf without estimation rows of a group\n"
     "    takes that group's rate from its nearest ancestor that has some.\n"
     "min_samples_treatment: None, or the rows of every group (control and each arm) that\n"
     "    each child of a split must exceed, beside min_samples_leaf.\n"
     "All four off gives the forest the same seed gave without them.\n\n"
     "The interpreter lock is released while training. Ctrl-C (or an exception from\n"
     "progress) stops every thread of the training before the call raises; a tree that\n"
     "fails to grow fails the call with PanicException carrying its message."},
    {"load", as_cfunction(&engine_load), METH_VARARGS | METH_KEYWORDS,
     "load(path)\n--\n\n"
     "Reads a model file: returns (Forest, metadata), metadata the JSON text stored by\n"
     "save (None without). Files the native class saved load too; their n_estimators stays\n"
     "the divisor of predictions. path is a str (encoded as os.fsencode does), bytes or\n"
     "os.PathLike. File errors raise the OSError of the system's error number (errno,\n"
     "strerror, filename); a document without trees raises ValueError; format errors raise\n"
     "PanicException with the class's rendering of the error."},
    {"from_bytes", as_cfunction(&engine_from_bytes), METH_VARARGS | METH_KEYWORDS,
     "from_bytes(data)\n--\n\n"
     "As load, from the bytes of a model file (Forest.to_bytes)."},
    {"merge", as_cfunction(&engine_merge), METH_VARARGS | METH_KEYWORDS,
     "merge(forests)\n--\n\n"
     "One Forest holding the trees of all the given forests (a non-empty sequence), in\n"
     "order; its n_estimators is their total, so predictions average over all trees. The\n"
     "forests must agree on feature_names, n_outputs, the training settings and the\n"
     "treatment and outcome column names (ValueError naming the first difference)."},
    {"exact_rows", as_cfunction(&engine_exact_rows), METH_VARARGS | METH_KEYWORDS,
     "exact_rows(group_outcome, *, seed, tree, max_samples=None, bootstrap=False,\n"
     "           honest_fraction=None, ci_group_size=1)\n--\n\n"
     "The rows fit draws for tree `tree` among every row (group_outcome: uint32 words,\n"
     "group << 8 | outcome): (split rows, estimation rows) as bytes of uint32."},
    {"exact_words", as_cfunction(&engine_exact_words), METH_VARARGS | METH_KEYWORDS,
     "exact_words(groups, outcomes)\n--\n\n"
     "The packed word of each row (bytes of uint32) from its group (uint32) and its 0/1\n"
     "outcome (uint8), as fit packs them."},
    {"exact_group_counts", as_cfunction(&engine_exact_group_counts), METH_VARARGS | METH_KEYWORDS,
     "exact_group_counts(words, rows, *, groups)\n--\n\n"
     "Rows and positives of each group among `rows` (bytes of int32), from the packed\n"
     "words of every row."},
    {"exact_node", as_cfunction(&engine_exact_node), METH_VARARGS | METH_KEYWORDS,
     "exact_node(counts, rates)\n--\n\n"
     "(rates or None, uplift) of a node from its counts (and its parent's rates)."},
    {"exact_route_level", as_cfunction(&engine_exact_route_level), METH_VARARGS | METH_KEYWORDS,
     "exact_route_level(columns, strings, rows, ranges, splits, words, *, groups,\n"
     "                  dictionary_sizes)\n--\n\n"
     "A holder's rows of the children of its split nodes (splits: uint64 rows of held node,\n"
     "feature, value bits): (rows, ranges, children's group counts as int32 from the packed\n"
     "words, none when words is None), bytes each."},
    {"exact_positions_level", as_cfunction(&engine_exact_positions_level),
     METH_VARARGS | METH_KEYWORDS,
     "exact_positions_level(searched, *, seed, n_features, max_features, max_bins)\n--\n\n"
     "What every searched node (uint64 rows of tree, slot, n, ...) draws: its features\n"
     "(uint32 per item) and each one's candidate sample positions ((words, uint64 ends))."},
    {"exact_samples_level", as_cfunction(&engine_exact_samples_level), METH_VARARGS | METH_KEYWORDS,
     "exact_samples_level(columns, strings, rows, ranges, searched, features, positions, *,\n"
     "                    dictionary_sizes)\n--\n\n"
     "A holder's values (uint32 words) at the sample positions (exact_positions_level's) of\n"
     "every searched node (uint64 rows of tree, slot, n, held node, first position) that\n"
     "fall among its rows: (words, uint64 item ends), bytes each."},
    {"exact_counts_level", as_cfunction(&engine_exact_counts_level), METH_VARARGS | METH_KEYWORDS,
     "exact_counts_level(columns, strings, rows, ranges, items, candidates, *, words, groups,\n"
     "                   dictionary_sizes)\n--\n\n"
     "A holder's counting slots of every item (uint64 rows of held node, feature) over its\n"
     "candidates ((words, ends)): (words, uint64 item ends), bytes each."},
    {"exact_candidates_level", as_cfunction(&engine_exact_candidates_level),
     METH_VARARGS | METH_KEYWORDS,
     "exact_candidates_level(searched, answers, strings, dictionary_sizes, *, seed, n_features,\n"
     "                       max_features, max_bins)\n--\n\n"
     "The searched features (uint32 per item) and candidates ((words, ends)) of every searched\n"
     "node (uint64 rows of tree, slot, n) from the holders' sampled values, in holder order."},
    {"exact_choose_level", as_cfunction(&engine_exact_choose_level), METH_VARARGS | METH_KEYWORDS,
     "exact_choose_level(slots, node_ends, prefix, counts, *, criterion, balance,\n"
     "                   regularization, alpha, min_samples_leaf, min_samples_treatment=None)\n"
     "--\n\n"
     "Every node's best split from the holders' slots: bytes of the item (int64, -1: none),\n"
     "candidate (uint64), gain (float64), left and right counts (int32) and holders' left\n"
     "rows (uint64)."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "quillmarsh_kit._engine",
    kModuleDoc,
    0,
    kFunctions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* init_module() {
  PyRef module = PyRef::steal(PyModule_Create2(&kModuleDef, PYTHON_ABI_VERSION));
  if (!module) {
    ensure_error_set();
    return nullptr;
  }
  install_allocation_failure_handler();
  install_thread_heaps();
  PyObject* type = forest_type();
  if (PyObject_SetAttrString(module.get(), "Forest", type) != 0) return nullptr;
  PyObject* panic_type = panic_exception_type();
  if (panic_type == nullptr ||
      PyObject_SetAttrString(module.get(), "PanicException", panic_type) != 0) {
    return nullptr;
  }
  return module.release();
}

}  // namespace

}  // namespace quillmarsh

PyMODINIT_FUNC PyInit__engine(void) {
  return quillmarsh::guarded([] { return quillmarsh::init_module(); });
}
