// A log for tests: it keeps every line a component writes, blank lines in
// their place among the others.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "kvclasses.h"

namespace kv::test {

struct TLogLine {
  BYTE Level;
  std::string Text;
  bool operator==(const TLogLine& o) const { return Level == o.Level && Text == o.Text; }
  bool operator!=(const TLogLine& o) const { return !(*this == o); }
};

inline std::ostream& operator<<(std::ostream& os, const TLogLine& l) {
  return os << "{" << int(l.Level) << ", \"" << l.Text << "\"}";
}

class TTestLog : public TkvCustomLogFile {
 public:
  // How a blank line stands in Lines: no level a component writes.
  static inline const TLogLine kBlank{255, ""};

  using TkvCustomLogFile::TkvCustomLogFile;
  std::vector<TLogLine> Lines;
  void WriteBlank() override { Lines.push_back(kBlank); }
  void Write(BYTE level, const std::string& text) override { Lines.push_back({level, text}); }
  void WriteFmt(BYTE level, const std::string& format, const TVarRecs& args) override {
    Lines.push_back({level, Format(format, args)});
  }
};

}  // namespace kv::test
