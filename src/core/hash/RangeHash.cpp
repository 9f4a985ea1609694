#include "core/hash/RangeHash.h"

#include <memory>

namespace korvalane {

RangeHashOutcome HashSectorRange(SectorRange range, const std::vector<DigestKind>& kinds, CopyHooks hooks) {
  std::vector<std::unique_ptr<Digest>> digests;
  std::vector<Digest*> taken;
  for (const DigestKind kind : kinds) taken.push_back(digests.emplace_back(std::make_unique<Digest>(kind)).get());
  // The copy's own digest pipe takes the bytes on threads of their own while it reads on,
  // as it takes an export's; the sink only swallows them.
  hooks.Digests = std::move(taken);
  // In chunks at every length: the digests take one while the next is read.
  hooks.OneRead = false;
  hooks.Sink = [](std::span<const uint8_t>) { return true; };
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
