#include "sigmf_collection.h"

#include <cmath>
#include <nlohmann/json.hpp>
#include <set>

#include "input_file.h"
#include "json_text.h"
#include "sigmf_json.h"
#include "sigmf_reader.h"

namespace kpx::tools {
namespace {

using nlohmann::json;
using nlohmann::ordered_json;

constexpr size_t kHashDigits = 128;  // SHA-512 in hexadecimal

// A stream's name is a base name in the collection's folder: nothing that
// leads elsewhere.
bool plainFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of("/\\:") == std::string::npos && name.find('\0') == std::string::npos;
}

std::string lowerHash(const std::string& hash, std::string& lowered) {
  if (hash.size() != kHashDigits) return "is not 128 hexadecimal digits";
  lowered = hash;
  for (char& c : lowered) {
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return "is not hexadecimal";
  }
  return "";
}

std::string readStream(const json& entry, CollectionStream& stream) {
  const json* name = nullptr;
  const json* hash = nullptr;
  if (entry.is_object()) {
    const auto n = entry.find("name");
    const auto h = entry.find("hash");
    if (n == entry.end() || h == entry.end()) return "a stream has no name or no hash";
    name = &*n;
    hash = &*h;
  } else if (entry.is_array() && entry.size() == 2) {  // the older tuple form
    name = &entry[0];
    hash = &entry[1];
  } else {
    return "a stream is neither {\"name\", \"hash\"} nor [name, hash]";
  }
  if (!name->is_string() || !hash->is_string()) return "a stream's name or hash is not a text";
  stream.name = name->get<std::string>();
  if (!plainFileName(stream.name))
    return "stream name '" + stream.name + "' is not a file name in the collection's folder";
  if (auto problem = lowerHash(hash->get<std::string>(), stream.hash); !problem.empty())
    return "the hash of stream " + stream.name + " " + problem;
  return "";
}

// A per-stream list of numbers, if present, of `count` finite entries.
std::string numberList(const json& collection, const char* key, size_t count,
                       std::vector<double>& values) {
  const auto found = collection.find(key);
  if (found == collection.end()) return "";
  if (!found->is_array() || found->size() != count)
    return std::string(key) + " is not a list of one number per stream";
  for (const json& value : *found) {
    if (!value.is_number() || !std::isfinite(value.get<double>()))
      return std::string(key) + " holds something that is not a finite number";
    values.push_back(value.get<double>());
  }
  return "";
}

std::string readGroup(const json& collection, size_t count, CollectionGroup& group) {
  const auto boards = collection.find("kpxadac:boards");
  if (boards != collection.end()) {
    if (!boards->is_array() || boards->size() != count)
      return "kpxadac:boards is not a list of one board index per stream";
    for (const json& board : *boards) {
      if (!board.is_number_unsigned() || board.get<uint64_t>() > 255)
        return "kpxadac:boards holds something that is not a board index (0 to 255)";
      group.boards.push_back(board.get<unsigned>());
    }
  }
  if (auto reason = numberList(collection, "kpxadac:offsets", count, group.offsets);
      !reason.empty())
    return reason;
  if (auto reason = numberList(collection, "kpxadac:drifts_ppm", count, group.driftsPpm);
      !reason.empty())
    return reason;
  const auto skew = collection.find("kpxadac:start_skew_samples");
  if (skew != collection.end()) {
    if (!skew->is_number() || !std::isfinite(skew->get<double>()) || skew->get<double>() < 0)
      return "kpxadac:start_skew_samples is not a number from 0";
    group.startSkew = skew->get<double>();
  }
  const auto alignment = collection.find("kpxadac:alignment");
  if (alignment != collection.end()) {
    if (!alignment->is_string()) return "kpxadac:alignment is not a text";
    group.alignment = alignment->get<std::string>();
  }
  return "";
}

}  // namespace

std::string collectionText(const SigmfCollection& collection) {
  ordered_json streams = ordered_json::array();
  for (const CollectionStream& stream : collection.streams)
    streams.push_back({{"name", stream.name}, {"hash", stream.hash}});
  ordered_json body = {
      {"core:version", collection.version},
      {"core:description", collection.description},
      {"core:extensions",
       ordered_json::array({{{"name", "kpxadac"}, {"version", "1.0.0"}, {"optional", true}}})},
      {"core:streams", streams},
  };
  const CollectionGroup& group = collection.group;
  if (!group.boards.empty()) body["kpxadac:boards"] = group.boards;
  if (!group.alignment.empty()) body["kpxadac:alignment"] = group.alignment;
  if (!group.offsets.empty()) body["kpxadac:offsets"] = group.offsets;
  if (!group.driftsPpm.empty()) body["kpxadac:drifts_ppm"] = group.driftsPpm;
  if (group.startSkew) body["kpxadac:start_skew_samples"] = *group.startSkew;
  return jsonText(ordered_json{{"collection", body}}, 2) + '\n';
}

std::string readSigmfCollection(std::string_view text, SigmfCollection& collection) {
  collection = SigmfCollection{};
  std::string reason;
  const json file = parseSigmfJson(text, reason);
  if (!reason.empty()) return reason;
  if (!file.is_object()) return "not a JSON object";
  const auto body = file.find("collection");
  if (body == file.end() || !body->is_object()) return "no collection object";
  const auto version = body->find("core:version");
  if (version == body->end() || !version->is_string()) return "core:version is missing";
  collection.version = version->get<std::string>();
  const auto description = body->find("core:description");
  if (description != body->end() && description->is_string())
    collection.description = description->get<std::string>();
  const auto streams = body->find("core:streams");
  if (streams == body->end() || !streams->is_array() || streams->empty())
    return "core:streams is not a list of recordings";
  std::set<std::string> names;
  for (const json& entry : *streams) {
    CollectionStream stream;
    if (reason = readStream(entry, stream); !reason.empty()) return reason;
    if (!names.insert(stream.name).second) return "stream " + stream.name + " is named twice";
    collection.streams.push_back(std::move(stream));
  }
  return readGroup(*body, collection.streams.size(), collection.group);
}

std::string readSigmfCollectionFile(const std::string& path, SigmfCollection& collection) {
  collection = SigmfCollection{};
  std::string text;
  if (auto reason = readWholeFile(path, kMaxSigmfMetaBytes, text); !reason.empty()) return reason;
  if (auto reason = readSigmfCollection(text, collection); !reason.empty())
    return path + ": " + reason;
  return "";
}

}  // namespace kpx::tools
