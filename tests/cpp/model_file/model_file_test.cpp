#include "model_file/model_file.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "common/panic.hpp"
#include "forest_support.hpp"
#include "model_file/json_writer.hpp"
#include "model_file/round_trip.hpp"
#include "test_support.hpp"

namespace quillmarsh {
namespace {

const std::string kUnwrap = "called `Result::unwrap()` on an `Err` value: ";

std::string read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_bytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

std::vector<std::string> list_dir(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return names;
  while (const dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

class ModelFile : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string templ = ::testing::TempDir() + "qm_model_file_XXXXXX";
    ASSERT_NE(::mkdtemp(templ.data()), nullptr);
    dir_ = templ;
  }
  void TearDown() override {
    for (const std::string& name : list_dir(dir_)) ::unlink((dir_ + "/" + name).c_str());
    ::rmdir(dir_.c_str());
  }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  std::string dir_;
};

// ---- random records -------------------------------------------------------------------

class RecordGenerator {
 public:
  explicit RecordGenerator(std::uint64_t seed) : rng_(seed) {}

  UpliftRandomForestModel forest() {
    UpliftRandomForestModel f =
        make_forest(i32(), u64(), u64(), u64(), text(), u64(), coin(), coin(), f64());
    f.treatment_col = text();
    f.outcome_col = text();
    const int trees = pick(0, 3);
    for (int t = 0; t < trees; ++t) f.trees.push_back(tree());
    return f;
  }

 private:
  UpliftTreeModel tree() {
    constexpr std::array<EvalFunc, 3> kFuncs = {EvalFunc::Euclidean, EvalFunc::KL, EvalFunc::Chi};
    UpliftTreeModel t =
        make_tree_template(u64(), u64(), u64(), kFuncs[static_cast<std::size_t>(pick(0, 2))], u64(),
                           coin(), coin(), f64());
    t.treatment_col = text();
    t.outcome_col = text();
    for (int i = pick(0, 4); i > 0; --i) t.feature_cols.push_back(text());
    for (int i = pick(0, 15); i > 0; --i) {
      TreeNode n;
      n.col_name = text();
      n.col_idx = i32();
      n.split_value = coin() ? SplitValue::numeric(f32()) : SplitValue::str(text());
      for (int k = pick(0, 4); k > 0; --k) n.prob.push_back(f64());
      n.gain = f64();
      t.nodes.push_back(n);
    }
    return t;
  }

  int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
  bool coin() { return pick(0, 1) == 1; }
  std::int32_t i32() {
    constexpr std::array<std::int32_t, 5> kEdges = {0, -1, std::numeric_limits<std::int32_t>::min(),
                                                    std::numeric_limits<std::int32_t>::max(), 7};
    return coin() ? kEdges[static_cast<std::size_t>(pick(0, 4))]
                  : static_cast<std::int32_t>(rng_());
  }
  std::uint64_t u64() {
    constexpr std::array<std::uint64_t, 3> kEdges = {0, 1,
                                                     std::numeric_limits<std::uint64_t>::max()};
    return coin() ? kEdges[static_cast<std::size_t>(pick(0, 2))] : rng_() >> pick(0, 63);
  }
  double f64() {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    const std::array<double, 10> specials = {std::numeric_limits<double>::quiet_NaN(),
                                             kInf,
                                             -kInf,
                                             -0.0,
                                             0.0,
                                             std::numeric_limits<double>::denorm_min(),
                                             std::numeric_limits<double>::max(),
                                             std::numeric_limits<double>::min(),
                                             1e16,
                                             0.1};
    if (coin()) return specials[static_cast<std::size_t>(pick(0, 9))];
    return std::bit_cast<double>(rng_());
  }
  float f32() {
    constexpr float kInf = std::numeric_limits<float>::infinity();
    const std::array<float, 9> specials = {std::numeric_limits<float>::quiet_NaN(),
                                           kInf,
                                           -kInf,
                                           -0.0f,
                                           std::numeric_limits<float>::denorm_min(),
                                           std::numeric_limits<float>::max(),
                                           std::numeric_limits<float>::min(),
                                           1e13f,
                                           1e-7f};
    if (coin()) return specials[static_cast<std::size_t>(pick(0, 8))];
    return std::bit_cast<float>(static_cast<std::uint32_t>(rng_()));
  }
  std::string text() {
    static const std::array<std::string, 14> kPieces = {"a",
                                                        "Z",
                                                        " ",
                                                        "\"",
                                                        "\\",
                                                        "/",
                                                        std::string(1, '\0'),
                                                        "\x01",
                                                        "\x1f",
                                                        "\n\t",
                                                        "\x7f",
                                                        "\xC3\xA9",
                                                        "\xE2\x82\xAC",
                                                        "\xF0\x9F\x98\x80"};
    std::string s;
    for (int i = pick(0, 6); i > 0; --i) s += kPieces[static_cast<std::size_t>(pick(0, 13))];
    return s;
  }

  std::mt19937_64 rng_;
};

// Non-finite values are written as null and read back as NaN; finite ones exactly.
bool same_float(double a, double b) {
  if (!std::isfinite(a)) return std::isnan(b);
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

void expect_same_record(const UpliftRandomForestModel& a, const UpliftRandomForestModel& b) {
  EXPECT_EQ(a.n_estimators, b.n_estimators);
  EXPECT_EQ(a.max_features, b.max_features);
  EXPECT_EQ(a.max_depth, b.max_depth);
  EXPECT_EQ(a.min_sample_leaf, b.min_sample_leaf);
  EXPECT_EQ(a.eval_func, b.eval_func);
  EXPECT_EQ(a.max_bins, b.max_bins);
  EXPECT_EQ(a.treatment_col, b.treatment_col);
  EXPECT_EQ(a.outcome_col, b.outcome_col);
  EXPECT_EQ(a.balance, b.balance);
  EXPECT_EQ(a.regularization, b.regularization);
  EXPECT_TRUE(same_float(a.alpha, b.alpha));
  ASSERT_EQ(a.trees.size(), b.trees.size());
  for (std::size_t t = 0; t < a.trees.size(); ++t) {
    const UpliftTreeModel& x = a.trees[t];
    const UpliftTreeModel& y = b.trees[t];
    EXPECT_EQ(x.max_depth, y.max_depth);
    EXPECT_EQ(x.min_sample_leaf, y.min_sample_leaf);
    EXPECT_EQ(x.max_features, y.max_features);
    EXPECT_EQ(x.eval_func, y.eval_func);
    EXPECT_EQ(x.max_bins, y.max_bins);
    EXPECT_EQ(x.treatment_col, y.treatment_col);
    EXPECT_EQ(x.outcome_col, y.outcome_col);
    EXPECT_EQ(x.feature_cols, y.feature_cols);
    EXPECT_EQ(x.balance, y.balance);
    EXPECT_EQ(x.regularization, y.regularization);
    EXPECT_TRUE(same_float(x.alpha, y.alpha));
    ASSERT_EQ(x.nodes.size(), y.nodes.size());
    for (std::size_t i = 0; i < x.nodes.size(); ++i) {
      const TreeNode& m = x.nodes[i];
      const TreeNode& n = y.nodes[i];
      EXPECT_EQ(m.col_name, n.col_name);
      EXPECT_EQ(m.col_idx, n.col_idx);
      ASSERT_EQ(m.split_value.is_numeric(), n.split_value.is_numeric());
      if (m.split_value.is_numeric()) {
        EXPECT_TRUE(same_float(m.split_value.as_numeric(), n.split_value.as_numeric()));
      } else {
        EXPECT_EQ(m.split_value.as_str(), n.split_value.as_str());
      }
      ASSERT_EQ(m.prob.size(), n.prob.size());
      for (std::size_t k = 0; k < m.prob.size(); ++k) {
        EXPECT_TRUE(same_float(m.prob[k], n.prob[k])) << m.prob[k] << " " << n.prob[k];
      }
      EXPECT_TRUE(same_float(m.gain, n.gain));
    }
  }
}

// NaN and infinities come back as NaN; every other value, -0.0 and subnormals included,
// comes back bit for bit, and a second save writes the same bytes.
class RoundTrip : public ModelFile, public ::testing::WithParamInterface<std::uint64_t> {};

TEST_P(RoundTrip, SaveLoadSaveGivesTheSameBytesAndValues) {
  RecordGenerator gen(GetParam());
  const UpliftRandomForestModel original = gen.forest();
  save_model(original, path("a.json"));
  const UpliftRandomForestModel loaded = load_model(path("a.json"));
  expect_same_record(original, loaded);
  EXPECT_TRUE(reads_back_as(original, loaded));
  save_model(loaded, path("b.json"));
  EXPECT_EQ(read_bytes(path("a.json")), read_bytes(path("b.json")));
  EXPECT_EQ(read_bytes(path("a.json")), write_model_json(original));
}
INSTANTIATE_TEST_SUITE_P(Seeds, RoundTrip, ::testing::Range<std::uint64_t>(1, 41));

// A leaf whose treatment group had no rows holds NaN; such a model must load back.
TEST_F(ModelFile, ModelWithNanLeavesLoadsBack) {
  UpliftRandomForestModel forest =
      make_forest(1, 1, 0, 1, "KL", 10, false, false, std::numeric_limits<double>::quiet_NaN());
  UpliftTreeModel tree = make_tree_template(forest, EvalFunc::KL);
  TreeNode leaf;
  leaf.prob = {std::numeric_limits<double>::quiet_NaN(), 0.5};
  leaf.gain = std::numeric_limits<double>::quiet_NaN();
  tree.nodes.push_back(leaf);
  forest.trees.push_back(tree);
  save_model(forest, path("nan.json"));
  EXPECT_NE(read_bytes(path("nan.json")).find(R"("prob":[null,0.5],"gain":null)"),
            std::string::npos);
  const UpliftRandomForestModel loaded = load_model(path("nan.json"));
  ASSERT_EQ(loaded.trees.size(), 1u);
  EXPECT_TRUE(std::isnan(loaded.trees[0].nodes.at(0).prob.at(0)));
  EXPECT_EQ(loaded.trees[0].nodes[0].prob.at(1), 0.5);
  EXPECT_TRUE(std::isnan(loaded.alpha));
}

TEST_F(ModelFile, UntrainedModelSavesEmptyTreesAndLoadsBack) {
  save_model(make_forest(5, 2, 3, 1, "CHI", 10, true, true, 0.5), path("u.json"));
  const std::string doc = read_bytes(path("u.json"));
  EXPECT_NE(doc.find(R"("treatment_col":"","outcome_col":"")"), std::string::npos);
  EXPECT_EQ(doc.substr(doc.size() - 11), R"("trees":[]})");
  const UpliftRandomForestModel loaded = load_model(path("u.json"));
  EXPECT_EQ(loaded.n_estimators, 5);
  EXPECT_EQ(loaded.eval_func, "CHI");
  EXPECT_TRUE(loaded.trees.empty());
}

TEST_F(ModelFile, MissingFileIsAnOsError) {
  EXPECT_EQ(panic_message([&] { load_model(path("absent.json")); }),
            kUnwrap + R"(Os { code: 2, kind: NotFound, message: "No such file or directory" })");
}

TEST_F(ModelFile, DirectoryIsAnOsErrorBothWays) {
  const std::string expected =
      kUnwrap + R"(Os { code: 21, kind: IsADirectory, message: "Is a directory" })";
  EXPECT_EQ(panic_message([&] { load_model(dir_); }), expected);
  EXPECT_EQ(panic_message([&] { save_model(UpliftRandomForestModel{}, dir_); }), expected);
  EXPECT_EQ(list_dir(dir_), std::vector<std::string>{});
}

TEST_F(ModelFile, SaveIntoMissingFolderIsNotFound) {
  EXPECT_EQ(panic_message([&] { save_model(UpliftRandomForestModel{}, path("no/m.json")); }),
            kUnwrap + R"(Os { code: 2, kind: NotFound, message: "No such file or directory" })");
}

TEST_F(ModelFile, NulInPathIsInvalidInput) {
  const std::string bad = path("a") + std::string(1, '\0') + "b";
  const std::string expected =
      kUnwrap +
      R"(Error { kind: InvalidInput, message: "file name contained an unexpected NUL byte" })";
  EXPECT_EQ(panic_message([&] { save_model(UpliftRandomForestModel{}, bad); }), expected);
  EXPECT_EQ(panic_message([&] { load_model(bad); }), expected);
}

class InvalidUtf8 : public ModelFile, public ::testing::WithParamInterface<std::string> {};

TEST_P(InvalidUtf8, IsReportedBeforeParsing) {
  write_bytes(path("bad.json"), "{\"eval_func\":\"" + GetParam() + "\"");
  EXPECT_EQ(
      panic_message([&] { load_model(path("bad.json")); }),
      kUnwrap + R"(Error { kind: InvalidData, message: "stream did not contain valid UTF-8" })");
}
INSTANTIATE_TEST_SUITE_P(Sequences, InvalidUtf8,
                         ::testing::Values("\x80", "\xC0\x80", "\xC3", "\xE2\x82", "\xED\xA0\x80",
                                           "\xF4\x90\x80\x80", "\xF8\x88\x80\x80\x80", "\xFF",
                                           "\xE0\x80\xAF"));

struct FileErrorCase {
  std::string bytes;
  std::string rendering;
};
void PrintTo(const FileErrorCase& c, std::ostream* os) { *os << c.bytes.size() << "_bytes"; }
class LoadJsonError : public ModelFile, public ::testing::WithParamInterface<FileErrorCase> {};

TEST_P(LoadJsonError, RendersTheParseErrorWithItsPosition) {
  write_bytes(path("m.json"), GetParam().bytes);
  EXPECT_EQ(panic_message([&] { load_model(path("m.json")); }), kUnwrap + GetParam().rendering);
}
INSTANTIATE_TEST_SUITE_P(
    Files, LoadJsonError,
    ::testing::Values(
        FileErrorCase{"", R"(Error("EOF while parsing a value", line: 1, column: 0))"},
        FileErrorCase{"\xEF\xBB\xBF{}", R"(Error("expected value", line: 1, column: 1))"},
        FileErrorCase{R"({"n_estimators":1,"n_estimators":1})",
                      R"(Error("duplicate field `n_estimators`", line: 1, column: 32))"},
        FileErrorCase{
            "{\"alpha\":\"\\\"\"}",
            R"(Error("invalid type: string \"\\\"\", expected f64", line: 1, column: 13))"}));

TEST_F(ModelFile, SaveKeepsPermissionsAndReplacesWithoutLeftovers) {
  write_bytes(path("m.json"), "old");
  ASSERT_EQ(::chmod(path("m.json").c_str(), 0640), 0);
  save_model(make_forest(1, 1, 1, 1, "KL", 2, false, false, 0.5), path("m.json"));
  struct stat st{};
  ASSERT_EQ(::stat(path("m.json").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(load_model(path("m.json")).eval_func, "KL");
  EXPECT_EQ(list_dir(dir_), std::vector<std::string>{"m.json"});
}

TEST_F(ModelFile, SaveThroughSymbolicLinkReplacesTheFileItPointsTo) {
  write_bytes(path("real.json"), "old");
  ASSERT_EQ(::symlink("real.json", path("link.json").c_str()), 0);
  save_model(make_forest(2, 1, 1, 1, "ED", 2, false, false, 0.5), path("link.json"));
  struct stat st{};
  ASSERT_EQ(::lstat(path("link.json").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(load_model(path("real.json")).n_estimators, 2);
  EXPECT_EQ(list_dir(dir_), (std::vector<std::string>{"link.json", "real.json"}));
}

TEST_F(ModelFile, SaveToDeviceWritesInPlace) {
  EXPECT_EQ(panic_message([] { save_model(UpliftRandomForestModel{}, "/dev/null"); }),
            "<no panic>");
}

// Runs body in a child process, as an unprivileged user when the tests run as root;
// returns the child's exit status (body's result, or 3 when dropping privileges failed).
int in_unprivileged_child(const std::function<int()>& body) {
  const pid_t child = ::fork();
  if (child < 0) return -1;
  if (child == 0) {
    ::alarm(30);  // a hung child ends instead of blocking the test
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(3);
    ::_exit(body());
  }
  int status = 0;
  if (::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST_F(ModelFile, SaveToAFullDeviceIsStorageFull) {
  if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  EXPECT_EQ(panic_message([] { save_model(UpliftRandomForestModel{}, "/dev/full"); }),
            kUnwrap + R"(Os { code: 28, kind: StorageFull, message: "No space left on device" })");
}

// Without the right to add a file to the folder, an existing writable file is overwritten.
TEST_F(ModelFile, SaveInFolderWithoutWriteRightWritesInPlace) {
  write_bytes(path("m.json"), "old");
  ASSERT_EQ(::chmod(path("m.json").c_str(), 0666), 0);
  ASSERT_EQ(::chmod(dir_.c_str(), 0555), 0);
  const int status = in_unprivileged_child([&] {
    const std::string message = panic_message(
        [&] { save_model(make_forest(3, 1, 1, 1, "KL", 2, false, false, 0.5), path("m.json")); });
    return message == "<no panic>" ? 0 : 1;
  });
  ::chmod(dir_.c_str(), 0700);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(load_model(path("m.json")).n_estimators, 3);
  EXPECT_EQ(list_dir(dir_), std::vector<std::string>{"m.json"});
}

// A read-only model file in a writable folder is not replaced behind its owner's back.
TEST_F(ModelFile, ReadOnlyFileStaysProtected) {
  write_bytes(path("m.json"), "old");
  ASSERT_EQ(::chmod(path("m.json").c_str(), 0444), 0);
  ASSERT_EQ(::chmod(dir_.c_str(), 0777), 0);
  const int status = in_unprivileged_child([&] {
    const std::string message = panic_message(
        [&] { save_model(make_forest(3, 1, 1, 1, "KL", 2, false, false, 0.5), path("m.json")); });
    return message == kUnwrap +
                          R"(Os { code: 13, kind: PermissionDenied, message: "Permission denied" })"
               ? 0
               : 1;
  });
  ::chmod(dir_.c_str(), 0700);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(read_bytes(path("m.json")), "old");
  EXPECT_EQ(list_dir(dir_), std::vector<std::string>{"m.json"});
}

// A rename would leave the other name with the old content; both names see the new model.
TEST_F(ModelFile, HardLinkedFileIsWrittenInPlace) {
  write_bytes(path("a.json"), "old");
  ASSERT_EQ(::link(path("a.json").c_str(), path("b.json").c_str()), 0);
  save_model(make_forest(4, 1, 1, 1, "KL", 2, false, false, 0.5), path("a.json"));
  EXPECT_EQ(load_model(path("b.json")).n_estimators, 4);
}

// A write that fails part way (here: the file size limit) leaves the previous model whole
// and no temporary file behind. The save runs in a child process that reports through its
// exit status: 0 = the save failed with the expected error. Run unprivileged, as the
// superuser is exempt from the file size limit on some systems.
TEST_F(ModelFile, FailedSaveLeavesThePreviousFileUnchanged) {
  const std::string target = path("m.json");
  UpliftRandomForestModel small = make_forest(1, 1, 1, 1, "KL", 2, false, false, 0.5);
  save_model(small, target);
  // The child's own file: another user's file would be written in place to keep its owner.
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(target.c_str(), 65534, 65534), 0);
  }
  ASSERT_EQ(::chmod(dir_.c_str(), 0777), 0);
  const std::string before = read_bytes(target);

  UpliftRandomForestModel big = small;
  UpliftTreeModel tree = make_tree_template(big, EvalFunc::KL);
  tree.nodes.resize(2000);
  big.trees.push_back(tree);
  ASSERT_GT(write_model_json(big).size(), 3 * before.size());

  const int status = in_unprivileged_child([&] {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{before.size() * 2, before.size() * 2};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 4;
    const std::string message = panic_message([&] { save_model(big, target); });
    return message == kUnwrap + R"(Os { code: 27, kind: FileTooLarge, message: "File too large" })"
               ? 0
               : 1;
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(read_bytes(target), before);
  EXPECT_EQ(list_dir(dir_), std::vector<std::string>{"m.json"});
}

// ---- the toolkit's metadata ("quillmarsh_kit") -------------------------------------------

struct KitCase {
  const char* name;
  std::string given;
  std::string stored;  // the given text without the whitespace around it
};
void PrintTo(const KitCase& c, std::ostream* os) { *os << c.name; }
class KitRoundTrip : public ModelFile, public ::testing::WithParamInterface<KitCase> {};

// The kit is written last, byte for byte, and read back as the same bytes; the forest of the
// document is what it would be without the kit.
TEST_P(KitRoundTrip, IsWrittenLastVerbatimAndReadBackByteForByte) {
  const UpliftRandomForestModel forest = RecordGenerator(GetParam().stored.size()).forest();
  const std::string plain = write_model_json(forest);
  const std::string doc = write_model_json(forest, GetParam().given);
  EXPECT_EQ(doc,
            plain.substr(0, plain.size() - 1) + R"(,"quillmarsh_kit":)" + GetParam().stored + "}");
  save_model(forest, GetParam().given, path("m.json"));
  EXPECT_EQ(read_bytes(path("m.json")), doc);
  const ModelDocument loaded = load_model_document(path("m.json"));
  EXPECT_EQ(loaded.kit, GetParam().stored);
  EXPECT_TRUE(reads_back_as(forest, loaded.forest));
  EXPECT_EQ(write_model_json(loaded.forest, loaded.kit), doc);
  EXPECT_EQ(parse_model_document(doc).kit, GetParam().stored);
  EXPECT_TRUE(reads_back_as(forest, load_model(path("m.json"))));
}
INSTANTIATE_TEST_SUITE_P(
    Texts, KitRoundTrip,
    ::testing::Values(KitCase{"Nested",
                              R"({"features":[{"name":"age","kind":"numeric"},)"
                              R"({"name":"city","kind":"category","texts":["a","b"]}],)"
                              R"("params":{"n":{"deep":[[],{}]}},"version":"1.2.0"})",
                              R"({"features":[{"name":"age","kind":"numeric"},)"
                              R"({"name":"city","kind":"category","texts":["a","b"]}],)"
                              R"("params":{"n":{"deep":[[],{}]}},"version":"1.2.0"})"},
                      KitCase{"EscapesAndUtf8",
                              " \t\n"
                              R"(["a\"b\\c\/\n\u00e9\ud83d\ude00", "é€😀"])"
                              "\r\n",
                              R"(["a\"b\\c\/\n\u00e9\ud83d\ude00", "é€😀"])"},
                      KitCase{"Numbers",
                              "[0,-0,-0.0,1e-7,1.5E+300,12345678901234567890123,-1e400,0.1]",
                              "[0,-0,-0.0,1e-7,1.5E+300,12345678901234567890123,-1e400,0.1]"},
                      KitCase{"InnerSpacing", "{ \"a\" : [ 1 , true ] ,\n\"b\":null }",
                              "{ \"a\" : [ 1 , true ] ,\n\"b\":null }"},
                      KitCase{"Scalar", " null ", "null"},
                      KitCase{"DeepestThatReadsBack", std::string(127, '[') + std::string(127, ']'),
                              std::string(127, '[') + std::string(127, ']')}));

struct BadKitCase {
  const char* name;
  std::string kit;
  std::string message;
};
void PrintTo(const BadKitCase& c, std::ostream* os) { *os << c.name; }
class BadKit : public ModelFile, public ::testing::WithParamInterface<BadKitCase> {};

// Refused before anything is written: the previous file stays, no temporary is left.
TEST_P(BadKit, IsRefusedOnWriteNamingWhatAndWhere) {
  const UpliftRandomForestModel forest;
  EXPECT_EQ(panic_message([&] { (void)write_model_json(forest, GetParam().kit); }),
            GetParam().message);
  write_bytes(path("m.json"), "old");
  EXPECT_EQ(panic_message([&] { save_model(forest, GetParam().kit, path("m.json")); }),
            GetParam().message);
  EXPECT_EQ(read_bytes(path("m.json")), "old");
  EXPECT_EQ(list_dir(dir_), std::vector<std::string>{"m.json"});
}
const std::string kNotOneValue = "quillmarsh_kit is not one JSON value: ";
INSTANTIATE_TEST_SUITE_P(
    Texts, BadKit,
    ::testing::Values(
        BadKitCase{"Empty", "", kNotOneValue + "EOF while parsing a value at line 1, column 0"},
        BadKitCase{"Blank", " \n ", kNotOneValue + "EOF while parsing a value at line 2, column 1"},
        BadKitCase{"TwoValues", R"({"a":1} {})",
                   kNotOneValue + "trailing characters at line 1, column 9"},
        BadKitCase{"TrailingComma", "[1,]", kNotOneValue + "trailing comma at line 1, column 4"},
        BadKitCase{"SingleQuotes", "{'a':1}",
                   kNotOneValue + "key must be a string at line 1, column 2"},
        BadKitCase{"PythonNan", "[NaN]", kNotOneValue + "expected value at line 1, column 2"},
        BadKitCase{"Unclosed", R"({"a":[1})",
                   kNotOneValue + "expected `,` or `]` at line 1, column 8"},
        BadKitCase{"ControlCharacter", "\"\x01\"",
                   kNotOneValue +
                       "control character (\\u0000-\\u001F) found while parsing a string at "
                       "line 1, column 2"},
        BadKitCase{"TooDeep", std::string(128, '[') + std::string(128, ']'),
                   kNotOneValue + "recursion limit exceeded at line 1, column 128"},
        BadKitCase{"InvalidUtf8", "[\"\xC3\xA9\xFF\"]",
                   "quillmarsh_kit is not valid UTF-8: invalid byte at offset 4"}));

struct DocumentErrorCase {
  const char* name;
  std::string bytes;
  std::string rendering;
};
void PrintTo(const DocumentErrorCase& c, std::ostream* os) { *os << c.name; }
class DocumentError : public ModelFile, public ::testing::WithParamInterface<DocumentErrorCase> {};

// A document in memory fails exactly as a file holding the same bytes.
TEST_P(DocumentError, FailsInMemoryAsInAFile) {
  write_bytes(path("m.json"), GetParam().bytes);
  EXPECT_EQ(panic_message([&] { load_model_document(path("m.json")); }),
            kUnwrap + GetParam().rendering);
  EXPECT_EQ(panic_message([&] { parse_model_document(GetParam().bytes); }),
            kUnwrap + GetParam().rendering);
}
INSTANTIATE_TEST_SUITE_P(
    Texts, DocumentError,
    ::testing::Values(
        DocumentErrorCase{"DuplicateKit", R"({"quillmarsh_kit":1,"quillmarsh_kit":2})",
                          R"(Error("duplicate field `quillmarsh_kit`", line: 1, column: 36))"},
        DocumentErrorCase{
            "KitTooDeep",
            R"({"quillmarsh_kit":)" + std::string(128, '[') + std::string(128, ']') + "}",
            R"(Error("recursion limit exceeded", line: 1, column: 146))"},
        DocumentErrorCase{"BadKitValue", R"({"quillmarsh_kit":tru})",
                          R"(Error("expected ident", line: 1, column: 22))"},
        DocumentErrorCase{
            "InvalidUtf8", "{\"quillmarsh_kit\":\"\xC3\"}",
            R"(Error { kind: InvalidData, message: "stream did not contain valid UTF-8" })"},
        DocumentErrorCase{"Empty", "",
                          R"(Error("EOF while parsing a value", line: 1, column: 0))"}));

// Only the top level carries the kit; the key inside a tree is an unknown key like any other.
TEST(KitKey, CountsOnlyAtTheTopLevel) {
  UpliftRandomForestModel forest = make_forest(1, 1, 0, 1, "KL", 2, false, false, 0.5);
  forest.trees.push_back(make_tree_template(forest, EvalFunc::KL));
  std::string doc = write_model_json(forest);
  doc.insert(doc.find(R"("trees":[{)") + 10, R"("quillmarsh_kit":{"x":1},)");
  const ModelDocument read = parse_model_document(doc);
  EXPECT_EQ(read.kit, std::nullopt);
  EXPECT_EQ(read.forest, forest);
}

}  // namespace
}  // namespace quillmarsh
