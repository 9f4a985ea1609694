#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/fs/FileSystem.h"
#include "core/model/ViewText.h"
#include "core/text/Json.h"

namespace korvalane {

// The three views of the main window.
enum class ViewKind { Text, Hex, FileRecord };

enum class SectorViewResult {
  Shown,         // the view was drawn (it may be empty, as "File record" on an unknown volume)
  NotANumber,    // the sector text is not a number, is negative, or is above TotalSectors
  ReadingError,  // the sector could not be read: the view holds "Reading error"
};

// What a change of the sector field or of the view does after the view has been cleared:
// parse the sector text, check it against TotalSectors, read BytesPerSector bytes there
// and hand them to the renderer of the view.
// `record` says what a "File record" view is asked for beyond its lines (the window: the
// lines that show something deleted; the command line: a FAT directory's later
// clusters).
SectorViewResult ShowSector(std::u16string_view sectorText, ViewKind kind, ViewText& view,
                            const MessagePump& pump, const RecordOptions& record = {});

// The "File record" view of `sector` for scripts, from the same entries or record the
// view shows: {"found": true, "entries"} on FAT and exFAT, {"found": true, ...} and the
// record's fields on NTFS; {"found": false} wherever no listing or record is shown, on
// every kind of volume.
Json FileRecordJson(uint64_t sector, const MessagePump& pump, const RecordOptions& record = {});

// The "<" (direction -1) and ">" (+1) buttons: the sector text to step to, or nothing when
// the text is not a valid sector or the step would leave 0 ... TotalSectors.
std::optional<std::u16string> StepSector(std::u16string_view sectorText, int direction);

// The file name "Save as txt" writes: "Info Drive C.txt" after a details report (the first
// line begins with "Drive"), otherwise "Drive C Sector 63.txt".
std::u16string SavedTextFileName(const ViewText& view, std::string_view drive, std::u16string_view sectorText);

}  // namespace korvalane
