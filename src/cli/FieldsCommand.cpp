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
  for (const Check& check : s.Checks) {
    add(check.Name + ": " + (check.Holds ? "holds" : "fails") + " (stored " + check.Stored + ", computed " +
        check.Computed + ")");
  }
  return lines;
}

Json StructureJson(const Structure& s, uint64_t sector) {
  Json fields = Json::Array();
  for (const Field& field : s.Fields) {
    Json item = Json::Object();
    item.Set("offset", field.Offset).Set("size", field.Size).Set("group", field.Group).Set("name", field.Name);
    item.Set("value", field.Value);
    if (field.Number) item.Set("number", *field.Number);
    fields.Push(std::move(item));
  }
  Json checks = Json::Array();
  for (const Check& check : s.Checks) {
    checks.Push(Json::Object()
                    .Set("name", check.Name)
                    .Set("holds", check.Holds)
                    .Set("stored", check.Stored)
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

int CompareBackupCopies(bool json) {
  const std::vector<BackupComparison> comparisons = CompareBackups();
  int status = kOk;
  if (json) {
    Json list = Json::Array();
    for (const BackupComparison& c : comparisons) {
      Json differences = Json::Array();
      for (const FieldDifference& d : c.Differences) {
        differences.Push(Json::Object()
                             .Set("offset", d.Offset)
                             .Set("size", d.Size)
                             .Set("group", d.Group)
                             .Set("name", d.Name)
                             .Set("primary", d.Primary)
                             .Set("backup", d.Backup));
      }
      Json item = Json::Object();
      item.Set("structure", c.Id).Set("title", c.Title).Set("primarySector", c.PrimarySector);
      item.Set("backupSector", c.BackupSector);
      if (!c.Error.empty()) item.Set("error", c.Error);
      item.Set("differences", std::move(differences));
      list.Push(std::move(item));
      if (!c.Error.empty()) status = kFailure;
    }
    PrintJson(Json::Object().Set("comparisons", std::move(list)).Dump());
    return status;
  }
  ViewText lines;
  const auto add = [&](const std::string& line) { lines.push_back(FromUtf8(line)); };
  if (comparisons.empty()) add("No structure of this drive keeps a backup copy");
  for (const BackupComparison& c : comparisons) {
    add(c.Title + ": sector " + std::to_string(c.PrimarySector) + " and its backup at sector " +
        std::to_string(c.BackupSector));
    if (!c.Error.empty()) {
      add("Not compared: " + c.Error);
      status = kFailure;
      continue;
    }
    if (c.Differences.empty()) add("No field differs");
    for (const FieldDifference& d : c.Differences) {
      add(Offset(d.Offset) + "  " + std::to_string(d.Size) + "  " + (d.Group.empty() ? "" : d.Group + ": ") + d.Name +
          "  " + d.Primary + "  |  " + d.Backup);
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
