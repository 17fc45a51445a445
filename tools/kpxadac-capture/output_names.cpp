#include "output_names.h"

#include <filesystem>
#include <system_error>

#include "output_file.h"
#include "sigmf_files.h"

namespace capture {

namespace fs = std::filesystem;

namespace {

std::string folderOf(const fs::path& path) {
  return path.has_parent_path() ? path.parent_path().string() : std::string(".");
}

// Whether the file name of `path` is longer than its folder's file system
// takes: "" or why.
std::string checkLength(const std::string& output, const std::string& path) {
  const fs::path name(path);
  const size_t length = name.filename().string().size();
  const size_t longest = longestFileName(folderOf(name));
  if (longest == 0 || length <= longest) return "";
  return "--output " + output + " is too long: the capture writes " + path + ", a name of " +
         std::to_string(length) + " bytes, where the file system takes up to " +
         std::to_string(longest);
}

}  // namespace

std::string planOutput(const std::string& output, bool sigmf, OutputNames& names) {
  names = OutputNames{};
  if (output == "-" && !sigmf) return "";
  const std::string base = sigmf ? kpx::tools::sigmfBaseName(output) : output;
  std::error_code error;
  if (!fs::path(base).has_filename())
    return "--output " + output + " names a folder, not a file: give a file name in it";
  if (fs::is_directory(base, error))
    return "--output " + output + " is a folder: give a file name in it" +
           (sigmf ? " as the recording's base name" : "");
  names.data = sigmf ? kpx::tools::sigmfDataPath(base) : output;
  if (sigmf) names.metadata = kpx::tools::sigmfMetaPath(base);

  const fs::file_status data = fs::status(names.data, error);  // through links
  if (fs::is_directory(data)) return names.data + " is a folder";
  names.dataInPlace = fs::exists(data) && !fs::is_regular_file(data);
  // A link to a file (or to none yet): the new file replaces its target.
  if (!names.dataInPlace && fs::is_symlink(names.data, error)) {
    const fs::path target = fs::weakly_canonical(names.data, error);
    if (!error) names.data = target.string();
  }
  if (sigmf && fs::is_directory(names.metadata, error)) return names.metadata + " is a folder";

  // The longest names are the temporary ones.
  if (!names.dataInPlace) {
    if (auto reason = checkLength(output, names.dataTemporary()); !reason.empty()) return reason;
    if (fs::exists(fs::symlink_status(names.dataTemporary(), error)))
      return names.dataTemporary() +
             " is in the way: the new data is written there first; move or delete it";
  }
  if (sigmf)
    if (auto reason = checkLength(output, temporaryName(names.metadata)); !reason.empty())
      return reason;
  return "";
}

}  // namespace capture
