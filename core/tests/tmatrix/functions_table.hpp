#pragma once
// Reader of core/tests/data/tmatrix_functions.txt (gen_tmatrix_functions.py):
// every reference value is a double-double pair.

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/table.hpp"

namespace vantok::test {

struct DD {
  double hi = 0.0;
  double lo = 0.0;
};

struct FunctionRecord {
  std::string kind;                          // "scales", "angular" or "exps"
  std::vector<std::string> args;             // the header's arguments as text
  std::vector<std::vector<DD>> rows;         // the data lines in order
};

inline std::vector<FunctionRecord> load_function_records() {
  std::vector<FunctionRecord> out;
  for (const Record& line : read_table("tmatrix_functions.txt")) {
    if (line.tag == "scales" || line.tag == "angular" || line.tag == "exps") {
      out.push_back({line.tag, line.fields, {}});
      continue;
    }
    // A data line: a label, then (hi, lo) pairs.
    if (out.empty()) throw std::runtime_error("data before a header");
    std::vector<DD> pairs;
    for (std::size_t i = 0; i + 1 < line.fields.size(); i += 2) pairs.push_back({line.num(i), line.num(i + 1)});
    out.back().rows.push_back(std::move(pairs));
  }
  return out;
}

inline double num(const std::string& s) { return std::strtod(s.c_str(), nullptr); }

}  // namespace vantok::test
