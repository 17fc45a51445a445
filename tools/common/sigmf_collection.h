// A SigMF collection (<base>.sigmf-collection): the recordings of a group of
// boards, one per board, named with the SHA-512 of each one's metadata
// file, and the group's alignment in kpxadac: fields (docs/groups.md).
// collectionText() writes one; readSigmfCollection() reads one back with
// the bounds of the metadata reader (size, depth, a regular file).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kpx::tools {

inline constexpr std::string_view kSigmfCollectionEnding = ".sigmf-collection";

// One recording of the collection: its base name (a file name in the
// collection's folder, no folder part) and the SHA-512 of its .sigmf-meta
// file, 128 lower-case hexadecimal digits.
struct CollectionStream {
  std::string name;
  std::string hash;
};

// The group as the collection tells it: per board (in stream order) its
// index, its offset against the first board and its drift, and the group's
// start skew and alignment method.
struct CollectionGroup {
  std::vector<unsigned> boards;     // kpxadac:boards
  std::vector<double> offsets;      // kpxadac:offsets, samples
  std::vector<double> driftsPpm;    // kpxadac:drifts_ppm
  std::optional<double> startSkew;  // kpxadac:start_skew_samples (an upper bound)
  std::string alignment;            // kpxadac:alignment: none, measure or offsets
};

struct SigmfCollection {
  std::string version;  // core:version
  std::string description;
  std::vector<CollectionStream> streams;  // core:streams, in order
  CollectionGroup group;
};

// The collection's file name for a base name: <base>.sigmf-collection.
inline std::string sigmfCollectionPath(std::string_view base) {
  return std::string(base) + std::string(kSigmfCollectionEnding);
}

// The collection as the file's text (indented, ending with a newline): the
// core fields, core:extensions declaring kpxadac, core:streams as objects
// {"name", "hash"}, and the group's kpxadac: fields.
std::string collectionText(const SigmfCollection& collection);

// Reads a collection's text. Streams may be objects {"name", "hash"} or the
// older tuples [name, hash]; every name must be a plain file name (no
// folder, not "." or ".."), every hash 128 hexadecimal digits (kept in
// lower case), no name twice. The kpxadac: fields, where present, must
// have one entry per stream. Returns "" or the reason.
std::string readSigmfCollection(std::string_view text, SigmfCollection& collection);

// Reads the collection file at `path` (a regular file of at most
// kMaxSigmfMetaBytes). Returns "" or the reason, naming the file.
std::string readSigmfCollectionFile(const std::string& path, SigmfCollection& collection);

}  // namespace kpx::tools
