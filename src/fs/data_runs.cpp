#include "fs/data_runs.h"

#include <algorithm>

namespace qelda::fs::ntfs {

platform::Parsed<std::vector<Extent>> runsToExtents(const std::vector<RunEntry>& runs) {
  std::vector<Extent> out;
  out.reserve(runs.size());
  std::int64_t position = 0;
  std::uint64_t vcn = 0;
  for (const RunEntry& r : runs) {
    if (r.kind == 'S') position = 0;
    Extent e;
    e.vcn = vcn;
    e.length = r.length;
    if (r.sparse()) {
      e.hole = true;
    } else {
      position += r.signedOffset();
      if (position < 0) return platform::ParseError::OutOfRange;
      e.lcn = std::uint64_t(position);
    }
    vcn += r.length;
    if (e.length != 0) out.push_back(e);
  }
  return out;
}

std::uint64_t runClusterCount(const std::vector<RunEntry>& runs) {
  std::uint64_t n = 0;
  for (const RunEntry& r : runs) n += r.length;
  return n;
}

ClusterTally tallyClusters(const std::vector<Extent>& extents, std::uint64_t volumeClusters) {
  ClusterTally t;
  for (const Extent& e : extents) {
    if (e.hole) t.holes += e.length;
    else if (e.lcn < volumeClusters) t.inside += std::min(e.length, volumeClusters - e.lcn);
  }
  return t;
}

std::optional<MappedCluster> mapVcn(const std::vector<Extent>& extents, std::uint64_t vcn) {
  // Extents are in VCN order; find the last one starting at or before vcn.
  auto it = std::upper_bound(extents.begin(), extents.end(), vcn,
                             [](std::uint64_t v, const Extent& e) { return v < e.vcn; });
  if (it == extents.begin()) return std::nullopt;
  --it;
  if (vcn - it->vcn >= it->length) return std::nullopt;
  MappedCluster m;
  m.hole = it->hole;
  m.lcn = it->hole ? 0 : it->lcn + (vcn - it->vcn);
  m.runRemaining = it->length - (vcn - it->vcn);
  return m;
}

}  // namespace qelda::fs::ntfs
