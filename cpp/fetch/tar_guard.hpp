// Where an archive member may be written, judged against the destination
// directory as it stands on disk. Plain C++; paths are file-system bytes.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quillo::fetch {

// No ".." of `name` climbs above its start, not even on a way back down: above
// the destination a path follows the real parent, and where the destination is
// reached through a link the way back down leads elsewhere.
bool stays_below(std::string_view name);

class Destination {
public:
    explicit Destination(std::string path);

    // The member's path, made absolute and normalised as text, lies strictly
    // below the destination (the destination itself does not count).
    bool name_inside(std::string_view name) const;

    // No part of destination/name below the destination that exists on disk,
    // the last one included, is a symbolic link: nothing is written, created or
    // linked through a link.
    bool free_of_links(std::string_view name) const;

    // Something (even a dangling link) already exists at destination/name.
    bool occupied(std::string_view name) const;

    // destination/name is an existing regular file, reached through real
    // directories only: a hard link to it can be made as it stands.
    bool regular_file_at(std::string_view name) const;

    // A symbolic link at `name` pointing to `target` resolves inside the
    // destination (or to it), following the links already on disk.
    bool link_target_inside(std::string_view name, std::string_view target) const;

private:
    std::string path_;      // as given; the tar library joins member names to it
    std::string prefix_;    // absolute, normalised, with "/" appended
    std::vector<std::string> real_;  // the destination with its links resolved
};

} // namespace quillo::fetch
