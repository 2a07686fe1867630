// Small helpers shared by the fuzz targets.
#ifndef QMX_FUZZ_FUZZCOMMON_H
#define QMX_FUZZ_FUZZCOMMON_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace qmxfuzz {

// Splits the input at '\n' into n fields (the last takes the rest); missing
// fields are empty. Seeds and dictionaries use the same layout.
inline std::vector<std::string> Fields(const uint8_t* data, size_t size, size_t n) {
  std::vector<std::string> out(1);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == '\n' && out.size() < n)
      out.emplace_back();
    else
      out.back() += static_cast<char>(data[i]);
  }
  out.resize(n);
  return out;
}

// A broken invariant: report it and let the fuzzer keep the input.
[[noreturn]] inline void Fail(const char* what, const std::string& detail = std::string()) {
  std::fprintf(stderr, "invariant broken: %s %s\n", what, detail.c_str());
  std::abort();
}

#define QMX_FUZZ_CHECK(cond, detail) ((cond) ? (void)0 : ::qmxfuzz::Fail(#cond, (detail)))

}  // namespace qmxfuzz

#endif
