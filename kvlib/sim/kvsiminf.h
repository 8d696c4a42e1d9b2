// A reader of INF files as Windows' setup reads them, for the simulated
// machine's driver update and for the tests of the driver package: sections,
// one entry a line ("key = value, value" or a bare value list), comments
// after ';', quoted strings with "" for a quote, %key% references to the
// [Strings] section and %% for a percent sign.
//
// The reader is strict where Windows would misread a file: an unbalanced
// quote, a lone '%', a reference to a string key that [Strings] lacks, an
// entry before the first section or a section header with text after it are
// errors.
#pragma once

#include <string>
#include <vector>

namespace kv {

struct TkvInfEntry {
  int Line = 0;                     // 1-based
  std::string Key;                  // empty for a bare value list; references resolved
  std::vector<std::string> Values;  // fields, quotes removed, references resolved
};

struct TkvInfSection {
  std::string Name;
  std::vector<TkvInfEntry> Entries;
};

class TkvInf {
 public:
  // Reads Text; false with a message naming the line when it is not a sound
  // INF.
  bool Parse(const std::string& text, std::string& error);

  const std::vector<TkvInfSection>& Sections() const { return FSections; }
  // The section of that name (letter case ignored), or nullptr.
  const TkvInfSection* Section(const std::string& name) const;
  // Number of sections of that name (letter case ignored).
  int SectionCount(const std::string& name) const;

 private:
  std::vector<TkvInfSection> FSections;
};

}  // namespace kv
