#include "model_file/json_reader.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <variant>

#include "model_file/json_writer.hpp"

namespace quillmarsh {
namespace {

// A valid untrained forest, and a forest of one tree around a node given as text.
const std::string kUntrained =
    R"({"n_estimators":1,"max_features":1,"max_depth":1,"min_sample_leaf":1,"eval_func":"KL",)"
    R"("max_bins":2,"treatment_col":"t","outcome_col":"y","balance":false,)"
    R"("regularization":false,"alpha":0.5,"trees":[]})";

std::string tree_doc(const std::string& tree_fields) {
  return R"([1,1,1,1,"KL",2,"t","y",false,false,0.5,[{)" + tree_fields + "}]]";
}

const std::string kTreeRest =
    R"("max_depth":0,"min_sample_leaf":1,"max_features":1,"eval_func":"KL","max_bins":2,)"
    R"("treatment_col":"t","outcome_col":"y","feature_cols":["a"],"balance":false,)"
    R"("regularization":false,"alpha":0.5)";

std::string node_doc(const std::string& node_fields) {
  return tree_doc(R"("nodes":[{)" + node_fields + "}]," + kTreeRest);
}

const std::string kNodeRest = R"("prob":[0.5],"gain":0.0)";

JsonError parse_error(const std::string& text) {
  auto result = read_model_json(text);
  if (auto* e = std::get_if<JsonError>(&result)) return *e;
  return JsonError{"<parsed>", 0, 0};
}

UpliftRandomForestModel parse_ok(const std::string& text) {
  auto result = read_model_json(text);
  if (auto* e = std::get_if<JsonError>(&result)) {
    ADD_FAILURE() << render_json_error(*e) << " in " << text;
    return {};
  }
  return std::get<UpliftRandomForestModel>(std::move(result));
}

// The column right after the first occurrence of marker (on line 1).
std::uint64_t after(const std::string& text, const std::string& marker) {
  const std::size_t at = text.find(marker);
  EXPECT_NE(at, std::string::npos) << marker;
  return at + marker.size();
}

struct ErrorCase {
  const char* name;
  std::string text;
  std::string message;
  std::uint64_t line;
  std::uint64_t column;
};

void PrintTo(const ErrorCase& c, std::ostream* os) { *os << c.name; }

}  // namespace

void PrintTo(const JsonError& e, std::ostream* os) { *os << render_json_error(e); }

namespace {

class ReaderError : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(ReaderError, ReportsMessageLineAndColumn) {
  const ErrorCase& c = GetParam();
  EXPECT_EQ(parse_error(c.text), (JsonError{c.message, c.line, c.column})) << c.text;
}

ErrorCase at_marker(const char* name, const std::string& text, const std::string& message,
                    const std::string& marker) {
  return {name, text, message, 1, after(text, marker)};
}

std::string nested(int arrays) {
  return R"({"x":)" + std::string(static_cast<std::size_t>(arrays), '[') +
         std::string(static_cast<std::size_t>(arrays), ']') + "}";
}

const std::string kMissingTrees = kUntrained.substr(0, kUntrained.find(R"(,"trees")")) + "}";

INSTANTIATE_TEST_SUITE_P(
    Document, ReaderError,
    ::testing::Values(
        ErrorCase{"Empty", "", "EOF while parsing a value", 1, 0},
        ErrorCase{"OnlyWhitespace", " \n ", "EOF while parsing a value", 2, 1},
        ErrorCase{"ByteOrderMark", "\xEF\xBB\xBF" + kUntrained, "expected value", 1, 1},
        ErrorCase{"DuplicateField", R"({"n_estimators":1,"n_estimators":2})",
                  "duplicate field `n_estimators`", 1, 32},
        ErrorCase{"MissingTrees", kMissingTrees, "missing field `trees`", 1, kMissingTrees.size()},
        ErrorCase{"MissingFirstField", "{}", "missing field `n_estimators`", 1, 2},
        ErrorCase{"MissingFieldOnLaterLine", "{\n }", "missing field `n_estimators`", 2, 2},
        ErrorCase{"TrailingCharacters", kUntrained + " x", "trailing characters", 1,
                  kUntrained.size() + 2},
        ErrorCase{"SecondDocument", kUntrained + kUntrained, "trailing characters", 1,
                  kUntrained.size() + 1},
        ErrorCase{"NumberAsForest", "5",
                  "invalid type: integer `5`, expected struct "
                  "UpliftRandomForestModel",
                  1, 1},
        ErrorCase{"StringAsForest", R"("a\"b")",
                  R"(invalid type: string "a\"b", expected struct UpliftRandomForestModel)", 1, 6},
        ErrorCase{"NullAsForest", "null",
                  "invalid type: null, expected struct "
                  "UpliftRandomForestModel",
                  1, 4},
        ErrorCase{"NestingAtTheLimit", nested(127), "missing field `n_estimators`", 1,
                  nested(127).size()},
        ErrorCase{"NestingBeyondTheLimit", nested(128), "recursion limit exceeded", 1, 133},
        ErrorCase{"ArrayFormTooShort", "[1,2,3]",
                  "invalid length 3, expected struct UpliftRandomForestModel with 12 elements", 1,
                  7},
        ErrorCase{"ArrayFormTooLong", R"([1,1,1,1,"KL",2,"t","y",false,false,0.5,[],7])",
                  "trailing characters", 1, 44},
        ErrorCase{"ArrayFormTrailingComma", R"([1,1,1,1,"KL",2,"t","y",false,false,0.5,[],])",
                  "trailing comma", 1, 44},
        ErrorCase{"FloatForI32", R"({"n_estimators":1.5})",
                  "invalid type: floating point `1.5`, expected i32", 1, 19},
        ErrorCase{"ExponentForUsize", R"({"max_depth":2e3})",
                  "invalid type: floating point `2000.0`, expected usize", 1, 16},
        ErrorCase{"NegativeZeroForI32", R"({"n_estimators":-0})",
                  "invalid type: floating point `-0.0`, expected i32", 1, 18},
        ErrorCase{"I32TooLarge", R"({"n_estimators":2147483648})",
                  "invalid value: integer `2147483648`, expected i32", 1, 26},
        ErrorCase{"I32TooSmall", R"({"n_estimators":-2147483649})",
                  "invalid value: integer `-2147483649`, expected i32", 1, 27},
        ErrorCase{"NegativeUsize", R"({"max_bins":-1})",
                  "invalid value: integer `-1`, expected usize", 1, 14},
        ErrorCase{"UsizeBeyond64Bits", R"({"max_bins":18446744073709551616})",
                  "invalid type: floating point `18446744073709552000.0`, expected usize", 1, 32},
        ErrorCase{"NullForI32", R"({"n_estimators":null})", "invalid type: null, expected i32", 1,
                  20},
        ErrorCase{"StringForBool", R"({"balance":"yes"})",
                  R"(invalid type: string "yes", expected a boolean)", 1, 16},
        ErrorCase{"NumberForString", R"({"eval_func":5})",
                  "invalid type: integer `5`, expected a string", 1, 14},
        ErrorCase{"MapForSequence", R"({"trees":{}})", "invalid type: map, expected a sequence", 1,
                  9},
        ErrorCase{"BooleanForFloat", R"({"alpha":true})",
                  "invalid type: boolean `true`, expected f64", 1, 13},
        ErrorCase{"OutOfRange", R"({"alpha":1e400})", "number out of range", 1, 14},
        ErrorCase{"NegativeOutOfRange", R"({"alpha":-1.8e308})", "number out of range", 1, 17},
        ErrorCase{"ExponentBeyond32Bits", R"({"alpha":1e9999999999})", "number out of range", 1,
                  21},
        ErrorCase{"OutOfRangeIntoInteger", R"({"max_depth":1e400})", "number out of range", 1, 18},
        ErrorCase{"LeadingZero", R"({"alpha":01})", "invalid number", 1, 11},
        ErrorCase{"PointWithoutDigit", R"({"alpha":1.})", "invalid number", 1, 12},
        ErrorCase{"PointBeforeExponent", R"({"alpha":1.e5})", "invalid number", 1, 12},
        ErrorCase{"ExponentWithoutDigit", R"({"alpha":1e+})", "invalid number", 1, 13},
        ErrorCase{"LoneMinus", R"({"alpha":-})", "invalid number", 1, 11},
        ErrorCase{"EofInNumber", R"({"alpha":1.)", "EOF while parsing a value", 1, 11},
        ErrorCase{"EofInObject", R"({"n_estimators":1)", "EOF while parsing an object", 1, 17},
        ErrorCase{"EofInKey", R"({"n_est)", "EOF while parsing a string", 1, 7},
        ErrorCase{"EofInList", R"({"trees":[)", "EOF while parsing a list", 1, 10},
        ErrorCase{"EofAfterColon", R"({"trees":)", "EOF while parsing a value", 1, 9},
        ErrorCase{"KeyNotAString", "{1:2}", "key must be a string", 1, 2},
        ErrorCase{"MissingColon", R"({"a" 1})", "expected `:`", 1, 6},
        ErrorCase{"MissingCommaInObject", R"({"n_estimators":1 "x":2})", "expected `,` or `}`", 1,
                  19},
        ErrorCase{"TrailingCommaInObject", R"({"n_estimators":1,})", "trailing comma", 1, 19},
        ErrorCase{"TrailingCommaInList", R"({"x":[1,]})", "trailing comma", 1, 9},
        ErrorCase{"MissingCommaInList", R"({"x":[1 2]})", "expected `,` or `]`", 1, 9},
        ErrorCase{"BadLiteral", R"({"balance":tru})", "expected ident", 1, 15},
        ErrorCase{"BadSkippedLiteral", R"({"x":nul})", "expected ident", 1, 9},
        ErrorCase{"BadValue", R"({"x":+1})", "expected value", 1, 6},
        ErrorCase{"FloatOnLaterLine", "{\n  \"n_estimators\": 1.5\n}",
                  "invalid type: floating point `1.5`, expected i32", 2, 21}));

INSTANTIATE_TEST_SUITE_P(
    Strings, ReaderError,
    ::testing::Values(
        at_marker("InvalidEscape", R"({"eval_func":"a\qb"})", "invalid escape", R"(\q)"),
        at_marker("BadHexDigit", R"({"eval_func":"\u12g4"})", "invalid escape", R"(\u12g)"),
        at_marker("ShortHexAtEnd", R"({"eval_func":"\u12)", "EOF while parsing a string",
                  R"(\u12)"),
        at_marker("LoneTrailingSurrogate", R"({"eval_func":"\udc00"})",
                  "lone leading surrogate in hex escape", R"(\udc00)"),
        at_marker("LeadingSurrogateThenText", R"({"eval_func":"\ud800x"})",
                  "unexpected end of hex escape", R"(\ud800x)"),
        at_marker("LeadingSurrogateThenOtherEscape", R"({"eval_func":"\ud800\n"})",
                  "unexpected end of hex escape", R"(\ud800\n)"),
        at_marker("LeadingSurrogateThenBmp", R"({"eval_func":"\ud800\u0041"})",
                  "lone leading surrogate in hex escape", R"(\u0041)"),
        at_marker("ControlCharacter", "{\"eval_func\":\"a\tb\"}",
                  "control character (\\u0000-\\u001F) found while parsing a string", "\"a\t"),
        at_marker("EofInString", R"({"eval_func":"abc)", "EOF while parsing a string", R"("abc)"),
        at_marker("EofAfterBackslash", R"({"eval_func":"abc\)", "EOF while parsing a string",
                  R"(abc\)")));

INSTANTIATE_TEST_SUITE_P(
    Records, ReaderError,
    ::testing::Values(
        at_marker("UnknownSplitVariant",
                  node_doc(R"("col_name":"","col_idx":0,"split_value":{"Num":1},)" + kNodeRest),
                  "unknown variant `Num`, expected `Numeric` or `Str`", R"({"Num")"),
        at_marker("UnknownSplitVariantString",
                  node_doc(R"("col_name":"","col_idx":0,"split_value":"Foo",)" + kNodeRest),
                  "unknown variant `Foo`, expected `Numeric` or `Str`", R"("Foo")"),
        at_marker("SplitVariantWithoutValue",
                  node_doc(R"("col_name":"","col_idx":0,"split_value":"Str",)" + kNodeRest),
                  "invalid type: unit variant, expected newtype variant", R"("split_value":"Str")"),
        at_marker("SplitVariantWithoutValueLastField",
                  node_doc(kNodeRest + R"(,"split_value":"Str" })"),
                  "invalid type: unit variant, expected newtype variant", R"("Str" })"),
        at_marker("SplitValueOfOtherKind",
                  node_doc(R"("col_name":"","col_idx":0,"split_value":[1],)" + kNodeRest),
                  "expected value", R"("split_value":[)"),
        at_marker("SplitValueWithTwoKeys",
                  node_doc(R"("col_name":"","col_idx":0,"split_value":{"Numeric":1,"Str":"a"},)" +
                           kNodeRest),
                  "expected value", R"({"Numeric":1)"),
        at_marker("SplitValueEmptyObject",
                  node_doc(R"("col_name":"","col_idx":0,"split_value":{},)" + kNodeRest),
                  "expected value", R"("split_value":{})"),
        at_marker("StrWithNumber",
                  node_doc(R"("col_name":"","col_idx":0,"split_value":{"Str":1},)" + kNodeRest),
                  "invalid type: integer `1`, expected a string", R"({"Str":1)"),
        at_marker("NumericWithString",
                  node_doc(R"("col_name":"","col_idx":0,"split_value":{"Numeric":"1"},)" +
                           kNodeRest),
                  R"(invalid type: string "1", expected f32)", R"({"Numeric":"1")"),
        at_marker("UnknownEvalFunc",
                  tree_doc(R"("nodes":[],)" + kTreeRest.substr(0, kTreeRest.find("\"eval_func\"")) +
                           R"("eval_func":"ED")"),
                  "unknown variant `ED`, expected one of `Euclidean`, `KL`, `Chi`",
                  R"("eval_func":"ED")"),
        at_marker("EvalFuncOfOtherKind", tree_doc(R"("eval_func":5)"), "expected value",
                  R"("eval_func":5)"),
        at_marker("EvalFuncObjectWithValue", tree_doc(R"("eval_func":{"KL":5})"),
                  "invalid type: integer `5`, expected unit", R"({"KL":5)"),
        at_marker("NodeArrayTooShort", tree_doc(R"("nodes":[["a",0]])"),
                  "invalid length 2, expected struct TreeNode with 5 elements", R"(["a",0])"),
        at_marker("UnitVariantInNodeArray", tree_doc(R"("nodes":[["",0,"Str" , [],0.0]])"),
                  "invalid type: unit variant, expected newtype variant", R"("Str" , )"),
        at_marker("TreeOfOtherKind", R"([1,1,1,1,"KL",2,"t","y",false,false,0.5,[true]])",
                  "invalid type: boolean `true`, expected struct UpliftTreeModel", "[true"),
        at_marker("NullInFeatureCols", tree_doc(R"("feature_cols":["a",null])"),
                  "invalid type: null, expected a string", R"("a",null)"),
        at_marker("DuplicateNodeField", node_doc(R"("col_name":"","col_name" :"")"),
                  "duplicate field `col_name`", R"("col_name" )"),
        at_marker("MissingTreeField", tree_doc(R"("nodes":[])"), "missing field `max_depth`",
                  R"("nodes":[]})"),
        at_marker("NodeMissingGain",
                  node_doc(R"("col_name":"","col_idx":0,"split_value":)"
                           R"({"Numeric":1},"prob":[])"),
                  "missing field `gain`", R"("prob":[]})")));

TEST(Reader, AcceptsKeysInAnyOrderUnknownKeysAndTheArrayForm) {
  const std::string canonical = node_doc(
      R"("col_name":"a","col_idx":0,"split_value":{"Numeric":2.5},"prob":[0.25],"gain":1.5)");
  const std::string shuffled =
      R"({"x":{"deep":[[{}],"\ud800",1e999,-0.5e-999,null]},"trees":[{"alpha":0.5,)"
      R"("regularization":false,"balance":false,"feature_cols":["a"],"outcome_col":"y",)"
      R"("treatment_col":"t","max_bins":2,"eval_func":{"KL":null},"max_features":1,)"
      R"("min_sample_leaf":1,"max_depth":0,"extra":[],"nodes":[ {"gain":1.5,"more":1,)"
      R"("prob":[ 0.25 ],"split_value":{ "Numeric" : 2.5 },"col_idx":0,"col_name":"a"}]}],)"
      R"("alpha":0.5,"regularization":false,"balance":false,"outcome_col":"y",)"
      "\n\t\r \"treatment_col\":\"t\",\"max_bins\":2,\"eval_func\":\"KL\",\"min_sample_leaf\":1,"
      R"("max_depth":1,"max_features":1,"n_estimators":1} )";
  const std::string arrays =
      R"([1,1,1,1,"KL",2,"t","y",false,false,0.5,[[[["a",0,{"Numeric":2.5},[0.25],1.5]],)"
      R"(0,1,1,"KL",2,"t","y",["a"],false,false,0.5]]])";
  const std::string expected = write_model_json(parse_ok(canonical));
  EXPECT_EQ(write_model_json(parse_ok(shuffled)), expected);
  EXPECT_EQ(write_model_json(parse_ok(arrays)), expected);
  const UpliftRandomForestModel m = parse_ok(canonical);
  ASSERT_EQ(m.trees.size(), 1u);
  ASSERT_EQ(m.trees[0].nodes.size(), 1u);
  EXPECT_EQ(m.trees[0].nodes[0].split_value, SplitValue::numeric(2.5f));
  EXPECT_EQ(m.trees[0].eval_func, EvalFunc::KL);
  EXPECT_EQ(m.trees[0].nodes[0].prob, std::vector<double>{0.25});
}

// A non-finite float is written as null, so null must read back as NaN at every float field.
TEST(Reader, NullReadsAsNanWhereAFloatIsExpected) {
  const UpliftRandomForestModel m =
      parse_ok(tree_doc(R"("nodes":[{"col_name":"","col_idx":-1,"split_value":{"Numeric":null},)"
                        R"("prob":[null,1,null],"gain":null}],)" +
                        kTreeRest.substr(0, kTreeRest.find("\"alpha\"")) + R"("alpha":null)"));
  const TreeNode& node = m.trees.at(0).nodes.at(0);
  EXPECT_TRUE(std::isnan(node.split_value.as_numeric()));
  EXPECT_TRUE(std::isnan(node.gain));
  ASSERT_EQ(node.prob.size(), 3u);
  EXPECT_TRUE(std::isnan(node.prob[0]));
  EXPECT_EQ(node.prob[1], 1.0);
  EXPECT_TRUE(std::isnan(node.prob[2]));
  EXPECT_TRUE(std::isnan(m.trees[0].alpha));
}

struct NumberCase {
  const char* text;
  double f64;  // read into alpha
};
void PrintTo(const NumberCase& c, std::ostream* os) { *os << c.text; }
class ReaderNumber : public ::testing::TestWithParam<NumberCase> {};

TEST_P(ReaderNumber, ConvertsToTheNearestDouble) {
  std::string doc = kUntrained;
  doc.replace(doc.find("0.5"), 3, GetParam().text);
  const double got = parse_ok(doc).alpha;
  EXPECT_EQ(std::bit_cast<std::uint64_t>(got), std::bit_cast<std::uint64_t>(GetParam().f64))
      << GetParam().text;
}
INSTANTIATE_TEST_SUITE_P(
    Texts, ReaderNumber,
    ::testing::Values(NumberCase{"1", 1.0}, NumberCase{"-7", -7.0}, NumberCase{"-0", -0.0},
                      NumberCase{"-0.0", -0.0}, NumberCase{"0e0", 0.0},
                      NumberCase{"18446744073709551615", 18446744073709551615.0},
                      NumberCase{"123456789012345678901234567890", 1.2345678901234568e29},
                      NumberCase{"4.9e-324", 4.9e-324}, NumberCase{"2e-324", 0.0},
                      NumberCase{"-1e-400", -0.0}, NumberCase{"1e-9999999999", 0.0},
                      NumberCase{"0e9999999999", 0.0},
                      NumberCase{"1.7976931348623157e308", 1.7976931348623157e308},
                      NumberCase{"0.1E+1", 1.0}, NumberCase{"2.5e-3", 0.0025},
                      NumberCase{"9007199254740993", 9007199254740992.0}));

TEST(Reader, IntegersIntoFloatRoundOnceToSinglePrecision) {
  // 16777217 lies halfway between two floats; 2^63 + 2^39 + 1 just above a halfway point
  // is rounded up directly but down when it first goes through a double.
  const std::string doc = node_doc(
      R"("col_name":"","col_idx":0,"split_value":{"Numeric":9223372586610589697},)" + kNodeRest);
  EXPECT_EQ(parse_ok(doc).trees.at(0).nodes.at(0).split_value.as_numeric(),
            static_cast<float>(9223372586610589697ull));
  const std::string half =
      node_doc(R"("col_name":"","col_idx":0,"split_value":{"Numeric":16777217},)" + kNodeRest);
  EXPECT_EQ(parse_ok(half).trees.at(0).nodes.at(0).split_value.as_numeric(), 16777216.0f);
}

struct F32Case {
  const char* text;
  float value;
};
void PrintTo(const F32Case& c, std::ostream* os) { *os << c.text; }
class ReaderFloat32 : public ::testing::TestWithParam<F32Case> {};

// The decimal value rounds once, straight to the nearest float: through a double,
// 7.038531e-26 (the shortest text of float 0x15ae43fd) would become 0x15ae43fe. Beyond the
// float range a value rounds to the largest float below the halfway point to 2^128, and to
// infinity from there on.
TEST_P(ReaderFloat32, RoundsTheNearestDoubleToTheNearestFloat) {
  const std::string doc = node_doc(R"("col_name":"","col_idx":0,"split_value":{"Numeric":)" +
                                   std::string(GetParam().text) + "}," + kNodeRest);
  const float got = parse_ok(doc).trees.at(0).nodes.at(0).split_value.as_numeric();
  EXPECT_EQ(std::bit_cast<std::uint32_t>(got), std::bit_cast<std::uint32_t>(GetParam().value))
      << GetParam().text;
}
constexpr float kFloatInf = std::numeric_limits<float>::infinity();
INSTANTIATE_TEST_SUITE_P(
    Texts, ReaderFloat32,
    ::testing::Values(F32Case{"2.5", 2.5f}, F32Case{"0.1", 0.1f}, F32Case{"-0.0", -0.0f},
                      F32Case{"1e-46", 0.0f}, F32Case{"1e-45", 1e-45f},
                      F32Case{"3.4028235e38", std::numeric_limits<float>::max()},
                      F32Case{"-3.40282356e38", -std::numeric_limits<float>::max()},
                      F32Case{"3.4028235677973366e38", std::numeric_limits<float>::max()},
                      F32Case{"3.4028235677973367e38", kFloatInf},
                      F32Case{"7.038531e-26", std::bit_cast<float>(0x15ae43fdu)},
                      F32Case{"1e39", kFloatInf}, F32Case{"-1e300", -kFloatInf}));

TEST(Reader, IntegerFieldsTakeTheirWholeRange) {
  const UpliftRandomForestModel lo =
      parse_ok(R"([-2147483648,18446744073709551615,0,1,"",0,"","",true,true,0,[]])");
  EXPECT_EQ(lo.n_estimators, std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(lo.max_features, std::numeric_limits<std::uint64_t>::max());
  EXPECT_TRUE(lo.balance);
  const UpliftRandomForestModel hi = parse_ok(R"([2147483647,0,0,0,"",0,"","",false,false,0,[]])");
  EXPECT_EQ(hi.n_estimators, std::numeric_limits<std::int32_t>::max());
}

TEST(Reader, DecodesEscapesIntoUtf8) {
  std::string doc = kUntrained;
  doc.replace(doc.find(R"("t")"), 3, R"("\"\\\/\b\f\n\r\t\u0001\u00e9\u20ac\ud83d\ude00é")");
  EXPECT_EQ(parse_ok(doc).treatment_col,
            "\"\\/\b\f\n\r\t\x01\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xC3\xA9");
}

// The first bad byte is found wherever it falls against the eight-byte ASCII steps.
TEST(FirstInvalidUtf8, FindsTheFirstBadSequenceAtEveryAlignment) {
  const std::string tail(9, 'b');
  for (std::size_t at = 0; at < 20; ++at) {
    const std::string ascii(at, 'a');
    EXPECT_EQ(first_invalid_utf8(ascii + "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80" + tail),
              std::nullopt)
        << at;
    EXPECT_EQ(first_invalid_utf8(ascii + "\xC3\xA9\xE2\x82" + tail), at + 2) << at;
    EXPECT_EQ(first_invalid_utf8(ascii + "\x80" + tail), at) << at;
    EXPECT_EQ(first_invalid_utf8(ascii + "\xF0\x9F\x98"), at) << at;
  }
}

TEST(RenderJsonError, QuotesAndEscapesTheMessage) {
  EXPECT_EQ(render_json_error({"missing field `trees`", 1, 2345}),
            R"(Error("missing field `trees`", line: 1, column: 2345))");
  EXPECT_EQ(render_json_error({R"(invalid type: string "a\b", expected i32)", 3, 7}),
            R"(Error("invalid type: string \"a\\b\", expected i32", line: 3, column: 7))");
  EXPECT_EQ(
      render_json_error({"unknown variant `a\nb\x01`, expected `Numeric` or `Str`", 1, 9}),
      R"(Error("unknown variant `a\nb\u{1}`, expected `Numeric` or `Str`", line: 1, column: 9))");
}

}  // namespace
}  // namespace quillmarsh
