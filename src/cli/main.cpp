// korvalane-cli: the command-line viewer. It prints the same lines the desktop program
// shows, for scripts and tests.
#include <clocale>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "cli/Cli.h"
#include "core/text/Utf.h"

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#endif

namespace {

constexpr const char* kHelp = R"help(Usage: korvalane-cli [OPTIONS] COMMAND [OPTIONS] ARGUMENTS

A read-only viewer of the raw sectors of volumes, whole disks and disk images. SOURCE
is a disk image file, a container (E01, VMDK, VHD/VHDX, QCOW2, the first file of a split
raw set such as disk.001; not on Windows) or a block device (on Windows also a drive such
as D:); it is shown as drive C:, as the desktop program would show it. A source that carries a
partition table (MBR or GPT) is shown as the whole disk and then each partition, on
drives of their own; --partition N picks one partition of it as drive C:. Nothing is
ever written to a source.

Commands:
  drives [SOURCE...]           One line per drive: "C: ", the volume label of the
                               main window (file system, size in Mb, sectors), two
                               blanks and what the drive is (the source; for a
                               partition its number, sectors and type), and for
                               a container whose tables point past its end (cut
                               short) " - damaged or cut short: ...". Without
                               sources, the machine's disks and their partitions.
  text SOURCE SECTOR           The "Text" view of a sector.
  hex SOURCE SECTOR            The "Hex" view of a sector.
  record SOURCE SECTOR         The "File record" view: the FAT or exFAT directory
                               listing of the cluster at SECTOR, or the NTFS file
                               record there.
  details SOURCE               The "Details" report of the volume; for a whole disk,
                               its partition table.
  export [--force] [--map MAP] [--sha256] SOURCE START END FILE
                               Copies sectors START to END-1 byte for byte into FILE
                               (START is 0 or at least 1; END at most the volume's
                               sector count). Unreadable sectors are written as
                               zeros and named in a last line on stderr, first-last:
                               "korvalane-cli: unreadable sectors: 1000-1007, 5000
                               (9 sectors written as zeros)" (the first 16 ranges).
                               An existing FILE or MAP is replaced only with
                               --force. On a terminal the percentage is shown on
                               stderr; Ctrl+C stops the copy and keeps the sectors
                               saved so far. --sha256 adds the SHA-256 of the bytes
                               written, computed while writing, in a line that
                               sha256sum -c checks: "SHA256 (FILE) = HEX" (a stopped
                               or failed export: none).
  find [--from SECTOR] [--backward] [--aligned OFFSET] [--ignore-case] [--all]
       SOURCE PATTERN          Searches the drive from sector 0 (or SECTOR) to its
                               end, or with --backward from its end (or SECTOR) to
                               sector 0, and prints "SECTOR OFFSET" of the first
                               match (every match with --all). PATTERN is
                               hex:46494C45 (pairs of hex digits, blanks allowed),
                               text:FILE (a byte per character, up to U+00FF) or
                               utf16:name (UTF-16LE), or a preset: file-record (the
                               text FILE at offset 0 of a sector) or
                               directory-cluster (a sector that starts with the "."
                               and ".." entries of a FAT directory) or
                               directory-block (the "." and ".." records that start
                               an ext directory) or xfs-directory-block (an XFS
                               directory block: XD2B, XDB3, XD2D or XDD3) or
                               xfs-inode (an XFS inode: IN, version 1 to 3). --aligned
                               OFFSET: only matches at that offset of a sector.
                               --ignore-case: ASCII letters of either case. Exit 0
                               when found, 1 when not; unreadable sectors are
                               skipped and counted on stderr.
  locate SOURCE cluster N      The first sector of cluster N (FAT: the data area's
                               cluster 2 on; exFAT: the cluster heap's; NTFS: N x
                               sectors per cluster).
  locate SOURCE mft-record N   The first sector of NTFS MFT record N, through the
                               MFT's own data runs.
  locate SOURCE block N        ext2/3/4: the first sector of block N (cluster N is
                               the same block).
  locate SOURCE inode N        ext2/3/4: the sector that holds inode N, through its
                               group descriptor; XFS: from the AG, block and slot
                               its number names.
  fields [--as NAME] SOURCE SECTOR
                               The structure at SECTOR field by field: offset,
                               size, name and value, one a line, then its checks
                               (signatures, checksums, update sequence) as holds
                               or fails with the stored and computed values. The
                               structure is the one Korvalane knows there (MBR,
                               EBR, GPT header and entries, boot sectors and their
                               backups, FSInfo, exFAT checksum sector, directory
                               clusters, MFT records, ext superblocks, group
                               descriptors, inode tables, directory blocks, an
                               LVM2 PV's label, metadata area header and text);
                               --as NAME decodes it as another (mbr, ebr,
                               gpt-header, gpt-entries, fat-boot, fat32-boot,
                               fsinfo, fat-directory, exfat-boot, exfat-checksum,
                               exfat-directory, ntfs-boot, mft-record,
                               ext-superblock, ext-group-descriptors, ext-inode,
                               ext-directory, xfs-superblock, xfs-agf, xfs-agi,
                               xfs-agfl, xfs-inode, xfs-btree,
                               xfs-directory-leaf, xfs-directory-free,
                               xfs-da-node, xfs-attribute-leaf, luks1-header,
                               luks2-header,
                               bitlocker-header, fve-metadata, lvm-label,
                               lvm-pv-header, lvm-metadata-header, lvm-metadata).
  fields --compare-backup SOURCE
                               Each structure with a backup copy (FAT32, exFAT
                               and NTFS boot sectors, FSInfo, the GPT's headers
                               and entry arrays, the ext and XFS
                               superblocks) compared byte by byte: the fields
                               whose bytes differ (a long field with the
                               offsets that differ), then
                               those that differ by design (a GPT header's own
                               place and CRC32, exFAT's volume flags), each with
                               the relation it keeps instead. "The backup
                               agrees" when every difference is by design.
  hash [--md5] [--sha1] [--sha256] SOURCE START END
                               The digests of sectors START to END-1 (END itself
                               is not read), of the very bytes export writes
                               (unreadable sectors as zeros, named on stderr;
                               status 1): "SHA256 (SOURCE, sectors START-END) =
                               HEX", with ", partition N" after SOURCE for
                               --partition N. SHA-256 when none is asked for.
  verify SOURCE.E01            Reads an EnCase image's media and compares its MD5
                               (and SHA-1, when the image stores one) with the
                               hashes it stores, as ewfverify does; each chunk that
                               fails its checksum is named with its sectors. Ends
                               with "verify: SUCCESS" (status 0) or "verify:
                               FAILURE" (status 1).
  owner SOURCE SECTOR...       What uses each sector, one line each: "SECTOR  PATH
                               (MFT record N, byte B of the file)", "free", "FAT 1",
                               "file-system metadata: $MFT", a deleted file's guessed
                               run ("deleted, guessed"), "allocated, no file";
                               FAT, exFAT, NTFS and ext2/3/4 (a deleted ext inode
                               whose map still points there: "PATH  (deleted, inode
                               N, ...)"). The file system is walked once; its faults
                               (FAT loops and cross-links, MFT parent loops, ext
                               folder loops) are named on stderr. A SECTOR that is
                               no number or past the volume is named on stderr, the
                               others answered (status 2).
  damaged SOURCE MAPFILE       Each file, directory and metadata area with bytes in
                               an unfinished area (-, *, /, ?) of a GNU ddrescue
                               mapfile of the source (or of the whole disk when the
                               source is a partition): "PATH  (first cluster N)
                               size S  bad B"; under it, indented, each file whose
                               MFT record, inode or directory entry stands in the
                               bad bytes ("  MFT record 582: /diary.txt  size 1234
                               (metadata lost; the data lies elsewhere)"); then the
                               bad bytes in the volume. A map out of order,
                               overlapping, cut off or of another size is named in
                               one line on stderr.
  map SOURCE                   The volume's units (clusters, blocks; sectors on FAT
                               and exFAT) by class, one run a line: "START  COUNT
                               CLASS  OWNER" (free, file, folder, boot, table,
                               records, journal, metadata, deleted, lost,
                               unreadable, outside), then each class's units and
                               bytes. --cells N: also the volume cut into N cells,
                               each with its classes' units. --map MAPFILE: the
                               areas a GNU ddrescue map did not finish are
                               unreadable. --png FILE [--width W]: a picture of the
                               cells (4096 without --cells), W pixels wide (512).
                               --json: one document of runs, legend and cells.
  extract [--deleted] [--tree] [--map MAPFILE] [--report FILE] [--force] [--json]
          SOURCE WHAT... DESTDIR
                               Writes files and folders of the volume under DESTDIR
                               (made where missing) at their paths. WHAT is a path
                               from the root (/DOCS/notes.txt, / for all), inode N
                               (ext), mft-record N (NTFS), record N (FAT: the byte
                               of a directory entry) or sector N (the file that
                               uses it). A folder brings its files; --tree all
                               below it; --deleted deleted entries too. Names that
                               cannot stand in DESTDIR are escaped (%2F), a second
                               entry of a name gets " (2)"; each change is named on
                               stderr. Modification and access times are set. One
                               line per file: its path, bytes, grade (exact, chain
                               intact, from the journal, guessed, partial), record
                               and SHA-256. Unreadable bytes (read errors, or not
                               finished in the ddrescue MAPFILE) are written as
                               zeros and named (status 1). --report FILE: the JSON
                               report (runs with their sectors, unreadable and
                               overwritten ranges, times); --json prints it. An
                               existing file is replaced only with --force;
                               Ctrl+C stops cleanly (status 130).
  help, --help                 This text.
  --version                    The program's name and version.

Options (before or after the command, before or between its arguments):
  --sector-size N              Present an image file with N-byte sectors (512, 1024,
                               2048 or 4096). Without it, the size the image declares:
                               4096 for a GPT whose header stands at byte 4096, the
                               boot sector's bytes per sector for a bare FAT, exFAT or
                               NTFS volume, otherwise 512. Devices use their own.
  --partition N                Partition N of the source (as Linux numbers them: 1-4
                               primary, 5 and on logical; GPT entry number) as drive C:.
  --volume VG/LV               The LVM2 logical volume LV of volume group VG (as lvs
                               names it) as drive C:, read through its PVs among the
                               sources: a command of one SOURCE takes a VG's PVs
                               joined by '+' (pv1.img+pv2.img), in any order.
                               --volume md/NAME (or mdN): the md RAID array of
                               that name, assembled from its members.
  --no-prompt                  A disk only an administrator may read (Linux) is opened
                               through UDisks2 when polkit allows it; on a terminal
                               polkit may ask for a password there, otherwise it is
                               refused at once. --no-prompt never asks.
  --force                      export: replace an existing FILE; extract: replace
                               existing files in DESTDIR.
  --md5, --sha1, --sha256      hash: the digests to print (several may be given).
                               export --sha256: the SHA-256 of FILE as written.
  --json                       drives, details, record, find, locate, fields, owner,
                               damaged, extract: one JSON document (UTF-8) with named
                               fields instead of the view's lines: numbers as
                               numbers, times in ISO 8601 UTC
                               ("2026-12-09T06:26:10.1234567Z", null where none is
                               stored), names and labels without their padding,
                               listing entries, partitions, data runs, matches and
                               owners as arrays; a view that shows nothing gives an
                               empty object or array. Every key: man korvalane-cli.
  --deleted                    extract: deleted entries too.
  --tree                       extract: a folder with everything below it.
  --report FILE                extract: the JSON report into FILE.
  --map MAP                    extract: a ddrescue map of SOURCE, whose unfinished
                               areas are written as zeros.
                               export: also write MAP, a GNU ddrescue mapfile of the
                               copy, in byte positions of SOURCE (a partition's
                               first byte P*B on the disk added; a container's: of
                               the disk inside it): "+" copied, "-" unreadable
                               (zeros in FILE), "?" not copied (before START, from
                               END on, after a stop). It lists every unreadable
                               sector. To read them again later into the same FILE
                               (B = sector size, P = 0 for a whole disk):
                               ddrescue -r1 -i (P+START)*B -o 0 -s (END-START)*B
                                 SOURCE FILE MAP

SECTOR, START and END are decimal, or hexadecimal after "$", "x" or "0x", up to
18446744073709551615.

Exit status: 0 done (find: a match found); 1 the volume could not be read (a view
prints "Reading error"), an export or hash met unreadable sectors, an export could
not write its file or map, drives met a source it cannot read (and listed the
others), find found no match, or verify found a difference; 2 a bad command line, a
bad number or pattern, a source that does not exist or can never be read as a disk
(a directory, a FIFO, a socket, a character device, a file without one whole
sector), a partition the source does not have, a cluster, record or sector outside
the volume, a map that cannot be read, a file system whose files are not walked, a
container that cannot be opened (a missing segment, extent or parent file), or an
export file or map that cannot be created; 130 an export stopped by Ctrl+C.
)help";

// The arguments as UTF-8. Windows hands a narrow main its arguments in the ANSI code
// page, which cannot hold every file name; the wide command line can.
std::vector<std::string> CommandLine(int argc, char** argv) {
#ifdef _WIN32
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide != nullptr) {
    std::vector<std::string> args;
    for (int i = 1; i < count; ++i) {
      const std::wstring_view arg(wide[i]);
      args.push_back(korvalane::ToUtf8(std::u16string(arg.begin(), arg.end())));
    }
    LocalFree(wide);
    return args;
  }
#endif
  return std::vector<std::string>(argv + 1, argv + argc);
}

}  // namespace

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  const std::optional<korvalane::cli::Arguments> arguments = korvalane::cli::ParseCommandLine(CommandLine(argc, argv));
  if (!arguments) return korvalane::cli::kUsage;
  const std::string& command = arguments->Command;
  if (arguments->Help || command == "help") {
    std::cout << kHelp;
    return korvalane::cli::kOk;
  }
  if (arguments->Version) {
    std::cout << "korvalane-cli " KORVALANE_VERSION "\n";
    return korvalane::cli::kOk;
  }
  if (command.empty()) {
    std::cerr << "korvalane-cli: no command given (try --help)\n";
    return korvalane::cli::kUsage;
  }
  if (command == "drives") return korvalane::cli::RunDrives(*arguments);
  if (command == "text" || command == "hex" || command == "record" || command == "details") {
    return korvalane::cli::RunView(*arguments);
  }
  if (command == "export") return korvalane::cli::RunExport(*arguments);
  if (command == "find") return korvalane::cli::RunFind(*arguments);
  if (command == "locate") return korvalane::cli::RunLocate(*arguments);
  if (command == "fields") return korvalane::cli::RunFields(*arguments);
  if (command == "hash") return korvalane::cli::RunHash(*arguments);
  if (command == "verify") return korvalane::cli::RunVerify(*arguments);
  if (command == "owner") return korvalane::cli::RunOwner(*arguments);
  if (command == "damaged") return korvalane::cli::RunDamaged(*arguments);
  if (command == "map") return korvalane::cli::RunMap(*arguments);
  if (command == "extract") return korvalane::cli::RunExtract(*arguments);
  return korvalane::cli::UsageError("unknown command '" + command + "' (try --help)");
}
