// Replays the fuzzing seed corpus (valid, broken and fuzzer-found model files, and any
// crash input added there) through the reader with the fuzz target's round-trip property.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include "model_file/json_reader.hpp"
#include "model_file/json_writer.hpp"

namespace quillmarsh {
namespace {

std::vector<std::filesystem::path> corpus_files() {
  const auto dir =
      std::filesystem::path(__FILE__).parent_path() / "../../../fuzz/corpus/model_reader";
  std::vector<std::filesystem::path> files;
  if (std::filesystem::is_directory(dir)) {
    for (const auto& entry : std::filesystem::directory_iterator(dir))
      files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

TEST(ReaderCorpus, EveryFileReadsOrFailsInsideItsTextAndValidOnesRoundTrip) {
  const std::vector<std::filesystem::path> files = corpus_files();
  ASSERT_GE(files.size(), 20u) << "fuzz/corpus/model_reader not found next to the sources";
  int valid = 0;
  int with_kit = 0;
  for (const auto& file : files) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    const std::string text = bytes.str();
    auto first = read_model_json(text);
    if (const auto* error = std::get_if<JsonError>(&first)) {
      EXPECT_GE(error->line, 1u) << file;
      EXPECT_LE(error->column, text.size()) << file;
      continue;
    }
    ++valid;
    const std::string doc = write_model_json(std::get<UpliftRandomForestModel>(first));
    auto second = read_model_json(doc);
    ASSERT_TRUE(std::holds_alternative<UpliftRandomForestModel>(second)) << file;
    EXPECT_EQ(write_model_json(std::get<UpliftRandomForestModel>(second)), doc) << file;
    // The toolkit's metadata, when the document has one, comes back byte for byte.
    const ModelDocument read = std::get<ModelDocument>(read_model_document_json(text));
    if (!read.kit) continue;
    ++with_kit;
    const std::string with = write_model_json(read.forest, read.kit);
    auto reread = read_model_document_json(with);
    ASSERT_TRUE(std::holds_alternative<ModelDocument>(reread)) << file;
    EXPECT_EQ(std::get<ModelDocument>(reread).kit, read.kit) << file;
    EXPECT_EQ(write_model_json(std::get<ModelDocument>(reread).forest, read.kit), with) << file;
  }
  EXPECT_GE(valid, 5);
  EXPECT_GE(with_kit, 1);
}

}  // namespace
}  // namespace quillmarsh
