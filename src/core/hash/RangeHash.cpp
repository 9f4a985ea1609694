#include "core/hash/RangeHash.h"

#include <memory>

namespace korvalane {

RangeHashOutcome HashSectorRange(SectorRange range, const std::vector<DigestKind>& kinds, CopyHooks hooks) {
  std::vector<std::unique_ptr<Digest>> digests;
  for (const DigestKind kind : kinds) digests.push_back(std::make_unique<Digest>(kind));
  hooks.Sink = [&](std::span<const uint8_t> bytes) {
    for (const std::unique_ptr<Digest>& digest : digests) digest->Update(bytes);
    return true;
  };
  ExportFile unused;  // the sink takes every byte; nothing is written
  CopyOutcome copy = CopySectorRange(range, unused, hooks);

  RangeHashOutcome outcome;
  outcome.End = copy.End;
  outcome.SectorsHashed = copy.SectorsWritten;
  outcome.Unreadable = std::move(copy.Unreadable);
  for (const std::unique_ptr<Digest>& digest : digests) outcome.Digests.emplace_back(digest->Kind(), digest->Hex());
  return outcome;
}

}  // namespace korvalane
