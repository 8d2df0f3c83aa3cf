#include "model_file/json_writer.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "forest_support.hpp"

namespace quillmarsh {
namespace {

TEST(Writer, UntrainedForestIsCompactWithKeysInDeclarationOrder) {
  const UpliftRandomForestModel forest = make_forest(-3, 2, 5, 10, "ed", 7, true, false, 0.25);
  EXPECT_EQ(write_model_json(forest),
            R"({"n_estimators":-3,"max_features":2,"max_depth":5,"min_sample_leaf":10,)"
            R"("eval_func":"ed","max_bins":7,"treatment_col":"","outcome_col":"",)"
            R"("balance":true,"regularization":false,"alpha":0.25,"trees":[]})");
}

// The tree writes max_depth, min_sample_leaf, max_features; the forest max_features first.
TEST(Writer, TreeAndNodesFollowTheirOwnKeyOrder) {
  UpliftRandomForestModel forest = make_forest(1, 3, 1, 4, "CHI", 9, false, true, 1.0);
  forest.treatment_col = "w";
  forest.outcome_col = "y";
  UpliftTreeModel tree = make_tree_template(forest, EvalFunc::Chi);
  tree.treatment_col = "w";
  tree.outcome_col = "y";
  tree.feature_cols = {"age", "city"};
  tree.nodes.resize(3);
  tree.nodes[0].col_name = "city";
  tree.nodes[0].col_idx = 1;
  tree.nodes[0].split_value = SplitValue::str("red");
  tree.nodes[0].gain = 0.5;
  tree.nodes[1].prob = {0.125, std::numeric_limits<double>::quiet_NaN()};
  tree.nodes[2].split_value = SplitValue::numeric(-std::numeric_limits<float>::infinity());
  tree.nodes[2].prob = {-0.0};
  forest.trees.push_back(tree);
  EXPECT_EQ(
      write_model_json(forest),
      R"({"n_estimators":1,"max_features":3,"max_depth":1,"min_sample_leaf":4,)"
      R"("eval_func":"CHI","max_bins":9,"treatment_col":"w","outcome_col":"y",)"
      R"("balance":false,"regularization":true,"alpha":1.0,"trees":[{"nodes":[)"
      R"({"col_name":"city","col_idx":1,"split_value":{"Str":"red"},"prob":[],"gain":0.5},)"
      R"({"col_name":"","col_idx":-1,"split_value":{"Numeric":0.0},"prob":[0.125,null],)"
      R"("gain":0.0},{"col_name":"","col_idx":-1,"split_value":{"Numeric":null},)"
      R"("prob":[-0.0],"gain":0.0}],"max_depth":1,"min_sample_leaf":4,"max_features":3,)"
      R"("eval_func":"Chi","max_bins":9,"treatment_col":"w","outcome_col":"y",)"
      R"("feature_cols":["age","city"],"balance":false,"regularization":true,"alpha":1.0}]})");
}

struct EvalFuncCase {
  EvalFunc value;
  const char* name;
};
void PrintTo(const EvalFuncCase& c, std::ostream* os) { *os << c.name; }
class WriterEvalFunc : public ::testing::TestWithParam<EvalFuncCase> {};

TEST_P(WriterEvalFunc, WritesTheVariantName) {
  UpliftRandomForestModel forest;
  forest.trees.push_back(make_tree_template(forest, GetParam().value));
  const std::string doc = write_model_json(forest);
  EXPECT_NE(doc.find(std::string(R"("eval_func":")") + GetParam().name + R"(","max_bins")"),
            std::string::npos)
      << doc;
}
INSTANTIATE_TEST_SUITE_P(All, WriterEvalFunc,
                         ::testing::Values(EvalFuncCase{EvalFunc::Euclidean, "Euclidean"},
                                           EvalFuncCase{EvalFunc::KL, "KL"},
                                           EvalFuncCase{EvalFunc::Chi, "Chi"}));

struct EscapeCase {
  std::string raw;
  std::string json;
};
void PrintTo(const EscapeCase& c, std::ostream* os) { *os << c.raw.size() << "_bytes"; }
class WriterString : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(WriterString, EscapesOnlyQuotesBackslashesAndControlCharacters) {
  std::string out;
  append_json_string(out, GetParam().raw);
  EXPECT_EQ(out, GetParam().json);
}
INSTANTIATE_TEST_SUITE_P(
    Texts, WriterString,
    ::testing::Values(EscapeCase{"", R"("")"}, EscapeCase{"plain", R"("plain")"},
                      EscapeCase{"a\"b\\c", R"("a\"b\\c")"},
                      EscapeCase{"\b\t\n\f\r", R"("\b\t\n\f\r")"},
                      EscapeCase{std::string("\x00\x01\x1f", 3), R"("\u0000\u0001\u001f")"},
                      EscapeCase{"\x0b\x1b", R"("\u000b\u001b")"}, EscapeCase{"/\x7f", "\"/\x7f\""},
                      EscapeCase{"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80",
                                 "\"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80\""}));

}  // namespace
}  // namespace quillmarsh
