// Fuzz target of the float text: the written text of any finite double or float reads back
// as the same value, through the same reader path a model document takes.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <variant>

#include "model_file/float_text.hpp"
#include "model_file/json_reader.hpp"
#include "model_file/json_writer.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 12) return 0;
  std::uint64_t bits64 = 0;
  std::uint32_t bits32 = 0;
  std::memcpy(&bits64, data, 8);
  std::memcpy(&bits32, data + 8, 4);
  const double d = std::bit_cast<double>(bits64);
  const float f = std::bit_cast<float>(bits32);
  quillmarsh::UpliftRandomForestModel forest;
  forest.alpha = d;
  quillmarsh::UpliftTreeModel tree;
  quillmarsh::TreeNode node;
  node.split_value = quillmarsh::SplitValue::numeric(f);
  tree.nodes.push_back(node);
  forest.trees.push_back(tree);
  const std::string doc = quillmarsh::write_model_json(forest);
  auto back = quillmarsh::read_model_json(doc);
  if (!std::holds_alternative<quillmarsh::UpliftRandomForestModel>(back)) std::abort();
  const auto& model = std::get<quillmarsh::UpliftRandomForestModel>(back);
  const double d2 = model.alpha;
  const float f2 = model.trees.at(0).nodes.at(0).split_value.as_numeric();
  if (std::isfinite(d) ? std::bit_cast<std::uint64_t>(d2) != bits64 : !std::isnan(d2)) std::abort();
  if (std::isfinite(f) ? std::bit_cast<std::uint32_t>(f2) != bits32 : !std::isnan(f2)) std::abort();
  if (std::isfinite(d)) (void)quillmarsh::f64_plain_text(d);
  return 0;
}
