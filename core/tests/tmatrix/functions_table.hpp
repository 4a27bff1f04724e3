#pragma once
// Reader of core/tests/data/tmatrix_functions.txt (gen_tmatrix_functions.py):
// every reference value is a double-double pair.

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

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

inline std::vector<DD> read_pairs(std::istringstream& in) {
  std::vector<DD> out;
  std::string a, b;
  while (in >> a >> b) out.push_back({std::strtod(a.c_str(), nullptr), std::strtod(b.c_str(), nullptr)});
  return out;
}

inline std::vector<FunctionRecord> load_function_records() {
  const std::string path = std::string(VANTOK_TEST_DATA_DIR) + "/tmatrix_functions.txt";
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot open " + path);
  std::vector<FunctionRecord> out;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream ls(line);
    std::string tag;
    ls >> tag;
    if (tag == "scales" || tag == "angular" || tag == "exps") {
      FunctionRecord r;
      r.kind = tag;
      std::string a;
      while (ls >> a) r.args.push_back(a);
      out.push_back(r);
    } else {
      if (out.empty()) throw std::runtime_error("data before a header");
      out.back().rows.push_back(read_pairs(ls));
    }
  }
  return out;
}

inline double num(const std::string& s) { return std::strtod(s.c_str(), nullptr); }

}  // namespace vantok::test
