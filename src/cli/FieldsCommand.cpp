// fields: the structure a sector holds, field by field, and its checks; or each structure
// with a backup copy compared with it.
#include <iostream>
#include <string>
#include <vector>

#include "cli/Cli.h"
#include "core/structures/Catalog.h"
#include "core/text/Json.h"
#include "core/text/SectorField.h"
#include "core/text/Utf.h"
#include "core/volume/DriveSelection.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane::cli {
namespace {

std::string KindNames() {
  std::string names;
  for (const StructureKind& kind : StructureKinds()) names += (names.empty() ? "" : ", ") + std::string(kind.Id);
  return names;
}

std::string Offset(size_t offset) { return HexText(offset, 3); }

ViewText StructureLines(const Structure& s, uint64_t sector) {
  ViewText lines;
  const auto add = [&](const std::string& line) { lines.push_back(FromUtf8(line)); };
  add(s.Title + " at sector " + std::to_string(sector));
  std::string group;
  for (const Field& field : s.Fields) {
    if (field.Group != group) {
      group = field.Group;
      if (!group.empty()) add(group);
    }
    add(Offset(field.Offset) + "  " + std::to_string(field.Size) + "  " + field.Name + "  " + field.Value);
  }
  if (s.CutAt) add("Cut short at " + Offset(*s.CutAt) + ": the bytes read end there or before");
  for (const std::string& note : s.Notes) add(note);
  if (!s.Checks.empty()) add("Checks:");
  for (const Check& check : s.Checks) add(CheckLine(check));
  return lines;
}

Json StructureJson(const Structure& s, uint64_t sector) {
  Json fields = Json::Array();
  for (const Field& field : s.Fields) {
    Json item = Json::Object();
    item.Set("offset", field.Offset).Set("size", field.Size).Set("group", field.Group).Set("name", field.Name);
    item.Set("value", ScriptValue(field));
    if (field.Number) item.Set("number", *field.Number);
    if (field.BytesHex) item.Set("bytes", *field.BytesHex);
    if (field.IsTime) item.Set("time", field.Time ? Json(*field.Time) : Json());
    fields.Push(std::move(item));
  }
  Json checks = Json::Array();
  for (const Check& check : s.Checks) {
    checks.Push(Json::Object()
                    .Set("name", check.Name)
                    .Set("holds", check.Holds)
                    .Set("stored", check.StoredText ? *check.StoredText : check.Stored)
                    .Set("computed", check.Computed));
  }
  Json notes = Json::Array();
  for (const std::string& note : s.Notes) notes.Push(note);
  Json out = Json::Object();
  out.Set("sector", sector).Set("structure", s.Id).Set("title", s.Title).Set("fields", std::move(fields));
  out.Set("checks", std::move(checks)).Set("notes", std::move(notes));
  out.Set("cutAt", s.CutAt ? Json(*s.CutAt) : Json());
  return out;
}

// A field longer than this shows only its first bytes, so its differing runs are named.
constexpr size_t kShortField = 16;
// How many runs of differing bytes a line names.
constexpr size_t kRunsNamed = 4;

std::string RunText(const ByteRun& run) {
  return run.Size == 1 ? Offset(run.Offset) : Offset(run.Offset) + "-" + Offset(run.Offset + run.Size - 1);
}

// "0x030  8  Name  PRIMARY  |  BACKUP": the values where they show the difference;
// otherwise (values that read alike, a long field) the differing bytes, and where they lie.
std::string DifferenceLine(const FieldDifference& d) {
  const std::string head =
      Offset(d.Offset) + "  " + std::to_string(d.Size) + "  " + (d.Group.empty() ? "" : d.Group + ": ") + d.Name + "  ";
  const bool valuesDiffer = d.Primary != d.Backup;
  if (valuesDiffer && d.Size <= kShortField) return head + d.Primary + "  |  " + d.Backup;
  std::string primary = d.Primary;
  std::string backup = d.Backup;
  std::string where;
  for (size_t i = 0; i < d.Runs.size() && i < kRunsNamed; ++i) {
    where += (i == 0 ? "" : ", ") + RunText(d.Runs[i]);
    if (!valuesDiffer) {
      primary = (i == 0 ? "" : primary + ", ") + d.Runs[i].Primary;
      backup = (i == 0 ? "" : backup + ", ") + d.Runs[i].Backup;
    }
  }
  std::string count = std::to_string(d.DifferingBytes) + (d.DifferingBytes == 1 ? " byte differs" : " bytes differ");
  if (d.RunCount > kRunsNamed) {
    count += " in " + std::to_string(d.RunCount) + " places, the first at ";
  } else {
    count += ", at ";
  }
  return head + primary + "  |  " + backup + "  (" + count + where + ")";
}

Json ComparisonJson(const BackupComparison& c) {
  Json differences = Json::Array();
  for (const FieldDifference& d : c.Differences) {
    Json runs = Json::Array();
    for (const ByteRun& run : d.Runs) {
      runs.Push(Json::Object()
                    .Set("offset", run.Offset)
                    .Set("size", run.Size)
                    .Set("primary", run.PrimaryBytes)
                    .Set("backup", run.BackupBytes));
    }
    Json item = Json::Object();
    item.Set("offset", d.Offset).Set("size", d.Size).Set("group", d.Group).Set("name", d.Name);
    // A field's values as scripts read them; bytes no field shows keep their hex.
    const bool field = d.PrimaryText || d.BackupText;
    item.Set("primary", d.PrimaryText ? Json(*d.PrimaryText) : field ? Json() : Json(d.Primary));
    item.Set("backup", d.BackupText ? Json(*d.BackupText) : field ? Json() : Json(d.Backup));
    item.Set("differingBytes", d.DifferingBytes).Set("runCount", d.RunCount).Set("runs", std::move(runs));
    item.Set("expected", d.Expected);
    item.Set("relation", d.Expected ? Json(d.Relation) : Json());
    item.Set("relationHolds", d.Expected ? Json(d.RelationHolds) : Json());
    differences.Push(std::move(item));
  }
  Json failed = Json::Array();
  for (const std::string& relation : c.FailedRelations) failed.Push(relation);
  Json item = Json::Object();
  item.Set("structure", c.Id).Set("title", c.Title).Set("primarySector", c.PrimarySector);
  item.Set("backupSector", c.BackupSector).Set("sectors", c.Sectors);
  if (!c.Error.empty()) item.Set("error", c.Error);
  item.Set("agrees", c.Agrees());
  item.Set("differences", std::move(differences)).Set("failedRelations", std::move(failed));
  return item;
}

std::string Sectors(uint64_t first, uint64_t count) {
  return count <= 1 ? "sector " + std::to_string(first)
                    : "sectors " + std::to_string(first) + "-" + std::to_string(first + count - 1);
}

int CompareBackupCopies(bool json) {
  const std::vector<BackupComparison> comparisons = CompareBackups();
  int status = kOk;
  for (const BackupComparison& c : comparisons) {
    if (!c.Error.empty()) status = kFailure;
  }
  if (json) {
    Json list = Json::Array();
    for (const BackupComparison& c : comparisons) list.Push(ComparisonJson(c));
    PrintJson(Json::Object().Set("comparisons", std::move(list)).Dump());
    return status;
  }
  ViewText lines;
  const auto add = [&](const std::string& line) { lines.push_back(FromUtf8(line)); };
  if (comparisons.empty()) add("No structure of this drive keeps a backup copy");
  for (const BackupComparison& c : comparisons) {
    add(c.Title + ": " + Sectors(c.PrimarySector, c.Sectors) + " and its backup at " + Sectors(c.BackupSector, c.Sectors));
    if (!c.Error.empty()) {
      add("Not compared: " + c.Error);
      continue;
    }
    // What is damaged first, then what differs as the format lets it.
    size_t designed = 0;
    for (const FieldDifference& d : c.Differences) {
      if (d.AsDesigned()) {
        ++designed;
      } else if (d.Expected) {
        add(DifferenceLine(d) + "  (differs by design only where " + d.Relation + "; here it does not)");
      } else {
        add(DifferenceLine(d));
      }
    }
    for (const std::string& relation : c.FailedRelations) add("Fails: " + relation);
    if (c.Differences.empty() && c.FailedRelations.empty()) {
      add("No field differs");
      continue;
    }
    if (designed == 0) continue;
    add(c.Agrees() ? "The backup agrees; these fields differ by design:" : "These fields differ by design:");
    for (const FieldDifference& d : c.Differences) {
      if (d.AsDesigned()) add(DifferenceLine(d) + "  (" + d.Relation + ")");
    }
  }
  PrintLines(lines);
  return status;
}

}  // namespace

int RunFields(const Arguments& arguments) {
  const std::vector<std::string>& words = arguments.Positional;
  if (arguments.CompareBackup ? words.size() != 1 : words.size() != 2) {
    return UsageError("usage: fields SOURCE SECTOR [--as NAME] or fields --compare-backup SOURCE");
  }
  if (!arguments.As.empty() && FindStructureKind(arguments.As) == nullptr) {
    return UsageError("--as takes one of " + KindNames() + ", not '" + arguments.As + "'");
  }
  const std::unique_ptr<Platform> platform = UsePlatform({words[0]}, arguments);
  SelectDrive(FirstDrive());
  if (!CurrentPlatform().IsDriveAccessible(FirstDrive())) return CannotOpen(words[0], FirstDrive());
  if (arguments.CompareBackup) return CompareBackupCopies(arguments.Json);

  const std::string& sectorText = words[1];
  const std::optional<FieldNumber> number = ParseSectorNumber(sectorText);
  if (!number) return UsageError("sector '" + sectorText + "' is not a number");
  if (number->Negative) return UsageError("sector " + sectorText + " is negative");
  const uint64_t sector = number->Magnitude;
  if (sector > Geometry().TotalSectors) {
    return UsageError("sector " + sectorText + " is beyond the volume's last sector, " +
                      std::to_string(Geometry().TotalSectors));
  }
  std::optional<StructureChoice> choice;
  if (!arguments.As.empty()) {
    choice = StructureChoice{arguments.As};
  } else {
    choice = KnownStructureAt(sector);
  }
  if (!choice) {
    std::cerr << "korvalane-cli: no structure is known at sector " << sectorText << " (--as NAME picks one: "
              << KindNames() << ")\n";
    return kFailure;
  }
  const std::optional<Structure> structure = ReadStructureAt(sector, *choice);
  if (!structure) {
    if (!arguments.Json) PrintLines({u"Reading error"});
    std::cerr << "korvalane-cli: cannot read sector " << sectorText << " of '" << words[0] << "'\n";
    return kFailure;
  }
  if (arguments.Json) {
    PrintJson(StructureJson(*structure, sector).Dump());
  } else {
    PrintLines(StructureLines(*structure, sector));
  }
  return kOk;
}

}  // namespace korvalane::cli
