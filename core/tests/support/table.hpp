#pragma once
// Reader of the generated reference tables in core/tests/data: one record per
// line, whitespace-separated tokens, '#' starts a comment line. Numbers are
// read with strtod, which takes both the hex floats of exact inputs and the
// 17-digit decimals of reference values.

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace vantok::test {

struct Record {
  std::string tag;
  std::vector<std::string> fields;

  double num(std::size_t i) const { return std::strtod(fields.at(i).c_str(), nullptr); }
  std::size_t count(std::size_t i) const { return std::stoull(fields.at(i)); }
};

inline std::vector<Record> read_table(const std::string& name) {
  const std::string path = std::string(VANTOK_TEST_DATA_DIR) + "/" + name;
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot open " + path);
  std::vector<Record> out;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream words(line);
    Record r;
    words >> r.tag;
    for (std::string w; words >> w;) r.fields.push_back(w);
    out.push_back(std::move(r));
  }
  return out;
}

/// Splits a table into blocks that start with a record of tag `head` and end
/// with "end".
inline std::vector<std::vector<Record>> blocks(const std::vector<Record>& table,
                                               const std::string& head) {
  std::vector<std::vector<Record>> out;
  bool inside = false;
  for (const Record& r : table) {
    if (r.tag == head) {
      out.emplace_back();
      inside = true;
    }
    if (!inside) continue;
    if (r.tag == "end") {
      inside = false;
      continue;
    }
    out.back().push_back(r);
  }
  return out;
}

}  // namespace vantok::test
