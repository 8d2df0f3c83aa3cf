#include "uplift_tree/records.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "common/panic.hpp"
#include "test_support.hpp"

namespace quillmarsh {
namespace {

class ParseEvalFunc : public ::testing::TestWithParam<const char*> {};

TEST_P(ParseEvalFunc, RejectsEverythingButTheThreeExactNames) {
  EXPECT_EQ(panic_message([] { parse_eval_func(GetParam()); }), "bad eval func");
}
INSTANTIATE_TEST_SUITE_P(Spellings, ParseEvalFunc,
                         ::testing::Values("", "ed", "Ed", "kl", "chi", "Chi", " ED", "ED ", "KLX",
                                           "CHI\n", "E", "EDE", "Euclidean"));

TEST(ParseEvalFuncExact, AcceptsEdKlChi) {
  EXPECT_EQ(parse_eval_func("ED"), EvalFunc::Euclidean);
  EXPECT_EQ(parse_eval_func("KL"), EvalFunc::KL);
  EXPECT_EQ(parse_eval_func("CHI"), EvalFunc::Chi);
}

TEST(SplitValueAccessors, WrongVariantPanicsWithItsMessage) {
  EXPECT_EQ(panic_message([] { (void)SplitValue::str("a").as_numeric(); }), "not f64");
  EXPECT_EQ(panic_message([] { (void)SplitValue::numeric(1.5f).as_str(); }), "not str");
  EXPECT_EQ(SplitValue::numeric(1.5f).as_numeric(), 1.5f);
  EXPECT_EQ(SplitValue::str("Red").as_str(), "Red");
}

TEST(SplitValueEquality, IsByteWiseAndVariantAware) {
  EXPECT_NE(SplitValue::str("red"), SplitValue::str("Red"));
  EXPECT_NE(SplitValue::str("1"), SplitValue::numeric(1.0f));
  EXPECT_EQ(SplitValue::numeric(std::nanf("")), SplitValue::numeric(std::nanf("")));
  EXPECT_NE(SplitValue::numeric(0.0f), SplitValue::numeric(-0.0f));  // bit-exact records
}

class NodeArraySize : public ::testing::TestWithParam<std::pair<std::uint64_t, std::uint64_t>> {};

TEST_P(NodeArraySize, IsTwoToTheDepthPlusOneMinusOne) {
  EXPECT_EQ(node_array_size(GetParam().first), GetParam().second);
}
INSTANTIATE_TEST_SUITE_P(Depths, NodeArraySize,
                         ::testing::Values(std::pair<std::uint64_t, std::uint64_t>{0, 1},
                                           std::pair<std::uint64_t, std::uint64_t>{2, 7},
                                           std::pair<std::uint64_t, std::uint64_t>{3, 15},
                                           std::pair<std::uint64_t, std::uint64_t>{
                                               62, 0x7FFFFFFFFFFFFFFFull}));

TEST(NodeArraySizeOverflow, DepthsFrom63DoNotFit) {
  EXPECT_FALSE(node_array_size(63).has_value());
  EXPECT_FALSE(node_array_size(~std::uint64_t{0}).has_value());
}

}  // namespace
}  // namespace quillmarsh
