#include "core/fs/ext/ExtFiles.h"

#include <algorithm>

#include "core/fs/ext/Directory.h"
#include "core/fs/ext/Inode.h"
#include "core/fs/ext/ExtVolume.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane::ext {
namespace {

// A folder's blocks read to list it, at most: far beyond any real folder (an htree of
// millions of names), and a bound for a damaged one.
constexpr uint64_t kMaxFolderBytes = uint64_t{256} << 20;

FileTime TimeOf(const InodeTime& t) {
  return t.Seconds * 1000000000 + static_cast<int64_t>(t.Nanoseconds.value_or(0));
}

FileEntry ToFileEntry(const Inode& inode, const std::string& path, const std::string& name, bool deletedName) {
  FileEntry f;
  f.Path = path;
  f.Name = name;
  f.Record = inode.Number;
  f.RecordText = "inode " + std::to_string(inode.Number);
  f.Folder = inode.Type() == kTypeDirectory;
  f.Symlink = inode.Type() == kTypeSymlink;
  f.Size = f.Folder ? 0 : inode.Size;
  f.Deleted = deletedName || inode.Deleted();
  f.Times.Modified = TimeOf(inode.Modify);
  f.Times.Accessed = TimeOf(inode.Access);
  f.Times.Changed = TimeOf(inode.Change);
  if (inode.Create) f.Times.Created = TimeOf(*inode.Create);
  f.Attributes = ModeText(inode.Mode) + " uid " + std::to_string(inode.Uid) + " gid " + std::to_string(inode.Gid);
  return f;
}

class Files {
 public:
  explicit Files(const Superblock& sb) : sb_(sb), groups_(ReadCurrentDescriptors(sb).Groups), read_(CurrentBlockReader(sb)) {}

  std::optional<Inode> Read(uint64_t number) const {
    if (number == 0 || number > sb_.InodesCount) return std::nullopt;
    return ReadInode(sb_, groups_, static_cast<uint32_t>(number));
  }

  InodeData Map(const Inode& inode) const { return MapInode(sb_, inode, read_); }

  // The entries of the folder `inode` at `path`.
  std::vector<FileEntry> List(const Inode& folder, const std::string& path, bool deleted) const {
    std::vector<FileEntry> entries;
    const InodeData data = Map(folder);
    const auto visit = [&](const DirectoryBlock& block) {
      for (const DirectoryEntry& e : block.Entries) {
        if (e.Inode == 0 || e.Name == "." || e.Name == "..") continue;
        if (e.Deleted && !deleted) continue;
        const std::optional<Inode> inode = Read(e.Inode);
        if (!inode || inode->AllZero) continue;
        // A deleted name whose inode is a live file's now names another file.
        if (e.Deleted && !inode->Unused() && !inode->Deleted()) continue;
        entries.push_back(ToFileEntry(*inode, JoinPath(path, e.Name), e.Name, e.Deleted));
      }
    };
    if (data.Kind == DataKind::Inline) {
      const std::vector<uint8_t> bytes(data.InlineBytes.begin(), data.InlineBytes.end());
      visit(ParseInlineDirectory(sb_, bytes, folder.BlockArea.size()));
      return entries;
    }
    std::vector<uint8_t> block(sb_.BlockBytes);
    uint64_t readBytes = 0;
    const auto readRun = [&](uint64_t physical, uint64_t count) {
      for (uint64_t i = 0; i < count && readBytes < kMaxFolderBytes; ++i, readBytes += sb_.BlockBytes) {
        if (physical + i >= sb_.BlocksCount || !read_(physical + i, block)) continue;
        visit(ParseDirectoryBlock(sb_, block));
      }
    };
    for (const Extent& e : data.Extents) {
      if (!e.Uninitialised) readRun(e.Physical, e.Count);
    }
    for (const BlockRun& r : data.Runs) readRun(r.Physical, r.Count);
    return entries;
  }

 private:
  const Superblock& sb_;
  std::vector<GroupDescriptor> groups_;
  BlockReader read_;
};

}  // namespace

FileLookup FindExtFiles(const VolumeState& state, const FileQuery& query) {
  FileLookup lookup;
  if (!state.Sb) {
    lookup.Why = state.Problem.empty() ? "the volume has no superblock that can be used" : state.Problem;
    return lookup;
  }
  const Files files(*state.Sb);
  if (query.Kind == FileQuery::By::Children) {
    const std::optional<Inode> folder = files.Read(query.Record);
    if (folder && folder->Type() == kTypeDirectory) lookup.Entries = files.List(*folder, query.Path, query.Deleted);
    return lookup;
  }
  if (query.Kind == FileQuery::By::Record) {
    const std::optional<Inode> inode = files.Read(query.Record);
    if (!inode || inode->Unused()) {
      lookup.Why = "inode " + std::to_string(query.Record) + " is not in use";
      return lookup;
    }
    if (inode->Deleted() && !query.Deleted) {
      lookup.Why = "inode " + std::to_string(query.Record) + " is deleted (use --deleted)";
      return lookup;
    }
    const bool root = query.Record == kRootInode;
    const std::string name = root ? "" : "inode " + std::to_string(query.Record);
    lookup.Entries.push_back(ToFileEntry(*inode, root ? "/" : "/" + name, name, false));
    return lookup;
  }
  std::optional<Inode> root = files.Read(kRootInode);
  if (!root) {
    lookup.Why = "the root folder (inode 2) cannot be read";
    return lookup;
  }
  std::vector<FileEntry> current{ToFileEntry(*root, "/", "", false)};
  for (const std::string& part : PathParts(query.Path)) {
    const FileEntry folder = current.front();
    const std::optional<Inode> inode = files.Read(folder.Record);
    if (!folder.Folder || !inode) {
      lookup.Why = "'" + folder.Path + "' is not a folder";
      return lookup;
    }
    std::vector<FileEntry> named;
    for (FileEntry& e : files.List(*inode, folder.Path, query.Deleted)) {
      if (e.Name == part) named.push_back(std::move(e));
    }
    std::stable_partition(named.begin(), named.end(), [](const FileEntry& e) { return !e.Deleted; });
    if (named.empty()) {
      lookup.Why = "no '" + part + "' in '" + folder.Path + "'";
      return lookup;
    }
    current = std::move(named);
  }
  if (!current.front().Deleted) current.resize(1);
  lookup.Entries = std::move(current);
  return lookup;
}

FileData ReadExtFileData(const VolumeState& state, const FileEntry& file) {
  FileData data;
  if (!state.Sb || file.Folder) return data;
  const Superblock& sb = *state.Sb;
  const Files files(sb);
  const std::optional<Inode> inode = files.Read(file.Record);
  if (!inode) {
    data.Grade = DataGrade::Partial;
    data.Problems.push_back("inode " + std::to_string(file.Record) + " cannot be read");
    return data;
  }
  const InodeData map = files.Map(*inode);
  data.Problems = map.Problems;
  const uint64_t size = inode->Size;
  const uint64_t blockBytes = sb.BlockBytes;
  const uint32_t sectorBytes = Geometry().BytesPerSector > 0 ? static_cast<uint32_t>(Geometry().BytesPerSector) : 512;
  const uint64_t sectorsPerBlock = std::max<uint64_t>(1, blockBytes / sectorBytes);
  if (map.Kind == DataKind::Inline || map.Kind == DataKind::FastSymlink) {
    DataPiece piece;
    piece.Type = DataPiece::Kind::Bytes;
    piece.Bytes.assign(map.InlineBytes.begin(), map.InlineBytes.end());
    piece.Length = std::min<uint64_t>(size, piece.Bytes.size());
    piece.Bytes.resize(static_cast<size_t>(piece.Length));
    if (piece.Length != 0) data.Pieces.push_back(std::move(piece));
  } else {
    // Extents and block-map runs alike; uninitialised extents read as zeros.
    std::vector<MappedRun> runs;
    const auto add = [&](uint64_t logical, uint64_t physical, uint64_t count, bool zeros) {
      if (logical > UINT64_MAX / blockBytes / 2 || count > UINT64_MAX / blockBytes / 2) return;
      runs.push_back({logical * blockBytes, count * blockBytes, physical * sectorsPerBlock, zeros});
    };
    for (const Extent& e : map.Extents) add(e.Logical, e.Physical, e.Count, e.Uninitialised);
    for (const BlockRun& r : map.Runs) add(r.Logical, r.Physical, r.Count, false);
    AddMappedPieces(std::move(runs), size, data);
  }
  if (file.Deleted) {
    // A deleted inode whose map still stands: the blocks are those it had, unless given
    // to another file since.
    data.Grade = data.Pieces.empty() && size != 0 ? DataGrade::Partial : DataGrade::ChainIntact;
    if (data.Pieces.empty() && size != 0) data.Problems.push_back("its map was cleared when it was deleted");
  } else if (!map.Problems.empty()) {
    data.Grade = DataGrade::Partial;
  }
  return data;
}

}  // namespace korvalane::ext
