#pragma once

#include <string>
#include <vector>

namespace korvalane {

// The drive to open on when the user has named sources. `drives` are the drives made from
// them in order: each source's own drive, followed by its partitions when it carries a
// partition table (the platform says which drives are partitions).
//
// It is the first drive of the first source that holds a volume: a bare volume's own
// drive, or a partitioned disk's first partition that holds one. When no source holds a
// volume it is the first source that can be opened (a partitioned disk itself), so that
// what it does hold can still be browsed; when none can be opened, the first drive, whose
// reason the user is then shown. Empty only for an empty list.
//
// Detection reads boot sectors; the process-wide volume record is left as it was.
std::string FirstVolumeDrive(const std::vector<std::string>& drives);

// What the user is told of the sources behind `drives` that cannot be read, one line
// each in their order ("cannot open 'adir': Is a directory"): once a source, as its
// partitions share its reason. A device that only waits for the user's authorization is
// left out: that is asked for when its drive is chosen.
std::vector<std::string> UnreadableSources(const std::vector<std::string>& drives);

}  // namespace korvalane
