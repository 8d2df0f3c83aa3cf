// Serialises the forest record into an in-memory buffer; the file is touched only afterwards.
#include "model_file/json_writer.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <vector>

#include "common/panic.hpp"
#include "model_file/float_text.hpp"

namespace quillmarsh {
namespace {

class Writer {
 public:
  Writer() { out_.reserve(128); }
  std::string take() { return std::move(out_); }

  void raw(std::string_view s) { out_ += s; }
  void key(std::string_view name, bool first = false) {
    if (!first) out_.push_back(',');
    append_json_string(out_, name);
    out_.push_back(':');
  }
  template <class Int>
  void integer(Int v) {
    char buf[24];
    const auto res = std::to_chars(buf, buf + sizeof buf, v);
    out_.append(buf, res.ptr);
  }
  void f64(double v) {
    if (std::isfinite(v)) {
      append_f64_text(out_, v);
    } else {
      out_ += "null";
    }
  }
  void f32(float v) {
    if (std::isfinite(v)) {
      append_f32_text(out_, v);
    } else {
      out_ += "null";
    }
  }
  void boolean(bool v) { out_ += v ? "true" : "false"; }
  void str(std::string_view s) { append_json_string(out_, s); }

  void split_value(const SplitValue& v) {
    if (v.is_numeric()) {
      raw("{\"Numeric\":");
      f32(v.as_numeric());
    } else {
      raw("{\"Str\":");
      str(v.as_str());
    }
    raw("}");
  }

  void node(const TreeNode& n) {
    raw("{");
    key("col_name", true);
    str(n.col_name);
    key("col_idx");
    integer(n.col_idx);
    key("split_value");
    split_value(n.split_value);
    key("prob");
    raw("[");
    for (std::size_t i = 0; i < n.prob.size(); ++i) {
      if (i > 0) raw(",");
      f64(n.prob[i]);
    }
    raw("]");
    key("gain");
    f64(n.gain);
    raw("}");
  }

  void tree(const UpliftTreeModel& t) {
    raw("{");
    key("nodes", true);
    raw("[");
    for (std::size_t i = 0; i < t.nodes.size(); ++i) {
      if (i > 0) raw(",");
      node(t.nodes[i]);
    }
    raw("]");
    key("max_depth");
    integer(t.max_depth);
    key("min_sample_leaf");
    integer(t.min_sample_leaf);
    key("max_features");
    integer(t.max_features);
    key("eval_func");
    str(eval_func_name(t.eval_func));
    key("max_bins");
    integer(t.max_bins);
    key("treatment_col");
    str(t.treatment_col);
    key("outcome_col");
    str(t.outcome_col);
    key("feature_cols");
    raw("[");
    for (std::size_t i = 0; i < t.feature_cols.size(); ++i) {
      if (i > 0) raw(",");
      str(t.feature_cols[i]);
    }
    raw("]");
    key("balance");
    boolean(t.balance);
    key("regularization");
    boolean(t.regularization);
    key("alpha");
    f64(t.alpha);
    raw("}");
  }

  void forest(const UpliftRandomForestModel& f) {
    raw("{");
    key("n_estimators", true);
    integer(f.n_estimators);
    key("max_features");
    integer(f.max_features);
    key("max_depth");
    integer(f.max_depth);
    key("min_sample_leaf");
    integer(f.min_sample_leaf);
    key("eval_func");
    str(f.eval_func);
    key("max_bins");
    integer(f.max_bins);
    key("treatment_col");
    str(f.treatment_col);
    key("outcome_col");
    str(f.outcome_col);
    key("balance");
    boolean(f.balance);
    key("regularization");
    boolean(f.regularization);
    key("alpha");
    f64(f.alpha);
    key("trees");
    raw("[");
    for (std::size_t i = 0; i < f.trees.size(); ++i) {
      if (i > 0) raw(",");
      tree(f.trees[i]);
    }
    raw("]}");
  }

 private:
  // The variant names of the file, in declaration order of EvalFunc.
  static std::string_view eval_func_name(EvalFunc e) {
    switch (e) {
      case EvalFunc::Euclidean:
        return "Euclidean";
      case EvalFunc::KL:
        return "KL";
      case EvalFunc::Chi:
        return "Chi";
    }
    panic("EvalFunc out of range");
  }

  std::string out_;
};

}  // namespace

void append_json_string(std::string& out, std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  std::size_t plain_from = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(s.substr(plain_from, i - plain_from));
    plain_from = i + 1;
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case 0x08:
        out += "\\b";
        break;
      case 0x09:
        out += "\\t";
        break;
      case 0x0A:
        out += "\\n";
        break;
      case 0x0C:
        out += "\\f";
        break;
      case 0x0D:
        out += "\\r";
        break;
      default:
        out += "\\u00";
        out.push_back(kHex[c >> 4]);
        out.push_back(kHex[c & 0xF]);
    }
  }
  out.append(s.substr(plain_from));
  out.push_back('"');
}

std::string write_model_json(const UpliftRandomForestModel& forest) {
  Writer w;
  w.forest(forest);
  return w.take();
}

}  // namespace quillmarsh
