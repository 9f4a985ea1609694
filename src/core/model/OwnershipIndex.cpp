#include "core/model/OwnershipIndex.h"

#include <algorithm>

namespace korvalane {

uint32_t OwnershipIndex::AddOwner(Owner owner) {
  owners_.push_back(std::move(owner));
  return static_cast<uint32_t>(owners_.size() - 1);
}

void OwnershipIndex::SetOwnerMaker(std::function<Owner(uint32_t lazy)> make) {
  if (!lazy_) lazy_ = std::make_unique<LazyOwners>();
  lazy_->Make = std::move(make);
}

uint32_t OwnershipIndex::AddLazyOwner() { return kLazy | lazyCount_++; }

const Owner& OwnershipIndex::OwnerAt(uint32_t id) const {
  if ((id & kLazy) == 0) return owners_[id];
  const uint32_t number = id & ~kLazy;
  std::lock_guard<std::mutex> hold(lazy_->Lock);
  if (lazy_->Made.size() < lazyCount_) lazy_->Made.resize(lazyCount_);
  std::unique_ptr<Owner>& made = lazy_->Made[number];
  if (!made) made = std::make_unique<Owner>(lazy_->Make ? lazy_->Make(number) : Owner{});
  return *made;
}

void OwnershipIndex::AddRun(uint64_t firstSector, uint64_t sectors, uint32_t owner, std::optional<uint64_t> byteInOwner) {
  if (sectors == 0 || !Known(owner)) return;
  if (firstSector > UINT64_MAX - sectors) sectors = UINT64_MAX - firstSector;
  // A run that continues the last one of the same owner is merged into it: a contiguous
  // file read cluster by cluster makes one run.
  if (!runs_.empty()) {
    Run& last = runs_.back();
    if (last.Owner == owner && last.First + last.Sectors == firstSector && (last.Byte != kNoByte) == byteInOwner.has_value() &&
        (last.Byte == kNoByte || last.Byte + last.Sectors * bytesPerSector_ == *byteInOwner)) {
      last.Sectors += sectors;
      return;
    }
  }
  runs_.push_back(Run{firstSector, sectors, byteInOwner.value_or(kNoByte), owner});
}

void OwnershipIndex::AddProblem(std::string problem) {
  ++problemCount_;
  if (problems_.size() < kMaxProblems) problems_.push_back(std::move(problem));
}

void OwnershipIndex::Begin(uint64_t volumeSectors, uint32_t bytesPerSector) {
  volumeSectors_ = volumeSectors;
  bytesPerSector_ = bytesPerSector;
}

void OwnershipIndex::Finish() {
  const auto byFirst = [](const Run& a, const Run& b) { return a.First < b.First; };
  if (!std::is_sorted(runs_.begin(), runs_.end(), byFirst)) std::stable_sort(runs_.begin(), runs_.end(), byFirst);
  runs_.shrink_to_fit();
  maxEnd_.resize(runs_.size());
  uint64_t highest = 0;
  for (size_t i = 0; i < runs_.size(); ++i) {
    highest = std::max(highest, runs_[i].First + runs_[i].Sectors);
    maxEnd_[i] = highest;
  }
}

std::vector<SectorUse> OwnershipIndex::Lookup(uint64_t sector) const {
  std::vector<SectorUse> uses;
  auto it = std::upper_bound(runs_.begin(), runs_.end(), sector, [](uint64_t s, const Run& run) { return s < run.First; });
  // Runs that start at or before the sector, scanned backwards only as far as one of them
  // can still reach it.
  for (size_t i = static_cast<size_t>(it - runs_.begin()); i-- > 0;) {
    if (maxEnd_[i] <= sector) break;
    const Run& run = runs_[i];
    if (sector - run.First >= run.Sectors) continue;
    SectorUse use{&OwnerAt(run.Owner), std::nullopt};
    if (run.Byte != kNoByte) use.Byte = run.Byte + (sector - run.First) * bytesPerSector_;
    uses.push_back(use);
  }
  std::reverse(uses.begin(), uses.end());
  // What uses the sector now is said first, then the deleted files that used it, then
  // "free".
  const auto rank = [](const SectorUse& use) { return use.Of->Kind == OwnerKind::Free ? 2 : use.Of->Kind == OwnerKind::Deleted ? 1 : 0; };
  std::stable_sort(uses.begin(), uses.end(), [&](const SectorUse& a, const SectorUse& b) { return rank(a) < rank(b); });
  return uses;
}

void OwnershipIndex::ForEachRunIn(uint64_t firstSector, uint64_t endSector,
                                  const std::function<void(const RunView&)>& visit) const {
  size_t i = static_cast<size_t>(std::upper_bound(maxEnd_.begin(), maxEnd_.end(), firstSector) - maxEnd_.begin());
  for (; i < runs_.size() && runs_[i].First < endSector; ++i) {
    const Run& run = runs_[i];
    if (run.First + run.Sectors <= firstSector) continue;
    visit(RunView{&OwnerAt(run.Owner), run.First, run.Sectors, run.Byte != kNoByte ? std::optional<uint64_t>(run.Byte) : std::nullopt});
  }
}

namespace {

// Where an owner is: as the walk said, or for an NTFS record its number (made only when
// asked, so a walk of a million records makes no million strings).
std::string WhereOf(const Owner& owner) {
  if (!owner.Where.empty() || !owner.HasMftRecord) return owner.Where;
  return (owner.Kind == OwnerKind::Deleted ? "deleted, MFT record " : "MFT record ") + std::to_string(owner.MftRecord);
}

}  // namespace

std::string DescribeOwner(const OwnershipIndex& index, const Owner& owner) {
  std::string text;
  switch (owner.Kind) {
    case OwnerKind::Free:
      return "free";
    case OwnerKind::Lost:
      text = "allocated, no file";
      break;
    case OwnerKind::Metadata:
      text = owner.HasMftRecord ? "file-system metadata: " + index.NameOf(owner) : index.NameOf(owner);
      break;
    default:
      text = index.NameOf(owner);
      break;
  }
  const std::string where = WhereOf(owner);
  if (!where.empty()) text += "  (" + where + ")";
  return text;
}

namespace {

std::string DescribeUse(const OwnershipIndex& index, const SectorUse& use) {
  const Owner& owner = *use.Of;
  if (!use.Byte || owner.Part.empty()) return DescribeOwner(index, owner);
  std::string text = DescribeOwner(index, owner);
  const std::string at = "byte " + std::to_string(*use.Byte) + " of the " + owner.Part;
  if (WhereOf(owner).empty()) return text + "  (" + at + ")";
  text.insert(text.size() - 1, ", " + at);
  return text;
}

}  // namespace

const char* OwnerKindName(OwnerKind kind) {
  switch (kind) {
    case OwnerKind::Free:
      return "free";
    case OwnerKind::Metadata:
      return "metadata";
    case OwnerKind::File:
      return "file";
    case OwnerKind::Directory:
      return "directory";
    case OwnerKind::Deleted:
      return "deleted";
    case OwnerKind::Lost:
      return "lost";
  }
  return "";
}

std::string DescribeSector(const OwnershipIndex& index, uint64_t sector) {
  if (sector >= index.VolumeSectors()) return "beyond the volume";
  const std::vector<SectorUse> uses = index.Lookup(sector);
  if (uses.empty()) return "not in any cluster";
  std::string line;
  for (const SectorUse& use : uses) {
    if (!line.empty()) line += " | ";
    line += DescribeUse(index, use);
  }
  return line;
}

Json DescribeSectorJson(const OwnershipIndex& index, uint64_t sector) {
  Json object = Json::Object();
  object.Set("sector", sector);
  Json owners = Json::Array();
  if (sector < index.VolumeSectors()) {
    for (const SectorUse& use : index.Lookup(sector)) {
      const Owner& owner = *use.Of;
      Json item = Json::Object();
      item.Set("kind", OwnerKindName(owner.Kind));
      if (owner.Kind != OwnerKind::Free && owner.Kind != OwnerKind::Lost) item.Set("name", index.NameOf(owner));
      if (owner.HasMftRecord) item.Set("mftRecord", owner.MftRecord);
      if (owner.HasFirstCluster) item.Set("firstCluster", owner.FirstCluster);
      if (owner.HasSize) item.Set("size", owner.Size);
      if (use.Byte && !owner.Part.empty()) {
        item.Set("part", owner.Part);
        item.Set("byte", *use.Byte);
      }
      item.Set("text", DescribeUse(index, use));
      owners.Push(std::move(item));
    }
  }
  object.Set("owners", std::move(owners));
  object.Set("text", DescribeSector(index, sector));
  return object;
}

}  // namespace korvalane
