// The names of a SigMF recording's two files, for every tool: <base>.sigmf-meta
// and <base>.sigmf-data. A name given with one of the SigMF endings
// (.sigmf-meta, .sigmf-data, or the archive's .sigmf) stands for its base.
#pragma once

#include <string>
#include <string_view>

namespace kpx::tools {

inline constexpr std::string_view kSigmfMetaEnding = ".sigmf-meta";
inline constexpr std::string_view kSigmfDataEnding = ".sigmf-data";

// Whether `path` ends with a SigMF ending (and has a base before it).
inline bool hasSigmfEnding(std::string_view path) {
  for (std::string_view ending : {kSigmfMetaEnding, kSigmfDataEnding, std::string_view(".sigmf")})
    if (path.size() > ending.size() && path.ends_with(ending)) return true;
  return false;
}

// The recording's base name: `path` without its SigMF ending, if any.
inline std::string sigmfBaseName(std::string_view path) {
  for (std::string_view ending : {kSigmfMetaEnding, kSigmfDataEnding, std::string_view(".sigmf")})
    if (path.size() > ending.size() && path.ends_with(ending))
      return std::string(path.substr(0, path.size() - ending.size()));
  return std::string(path);
}

inline std::string sigmfMetaPath(std::string_view base) {
  return std::string(base) + std::string(kSigmfMetaEnding);
}

inline std::string sigmfDataPath(std::string_view base) {
  return std::string(base) + std::string(kSigmfDataEnding);
}

}  // namespace kpx::tools
