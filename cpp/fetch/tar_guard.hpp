// Where an archive member may be written, judged against the destination
// directory as it stands on disk, and what a tar stream may announce before
// its members. Plain C++; paths are file-system bytes.
#pragma once

#include <functional>
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

namespace quillo::fetch {

// One 512-byte header block as the tar library reads it.
struct TarHeader {
    enum class Kind {
        end,          // the end-of-archive marker, or a block the library takes for the end
        long_name,    // GNU long name or long link name: a record before a member
        pax,          // pax extended header: records before the next member
        pax_global,   // pax global header: records for every later member
        sparse,       // GNU sparse member: map blocks follow the header
        member,
    };
    Kind kind = Kind::end;
    char type = 0;          // the type flag
    long long size = 0;     // the size field; negative ones as 0, huge ones capped
    bool has_data = false;  // the library skips `size` bytes of data after a member
    std::string name;       // the block's own name, for messages
};

// Follows the block structure of a tar stream on its way to the tar library,
// and judges the records that come before a member (GNU long names, pax
// headers) by their declared sizes, before the library reads them into
// memory whole. Plain bookkeeping; the caller reads header blocks.
class TarStreamWatch {
public:
    // A long name or link name; any pax header, and all global ones together.
    static constexpr long long kMaxNameRecord = 4096;
    static constexpr long long kMaxPaxHeader = 1LL << 20;
    // Records in one pax header (more cost the library far more memory than
    // their bytes).
    static constexpr int kMaxPaxRecords = 1024;

    enum class Problem {
        none,
        oversized,  // a record or header past its cap
        sparse,     // a sparse member, whose map the library reads unbounded
        malformed,  // records the library would read otherwise than this watch
    };

    using ReadHeader = std::function<TarHeader(const char *block)>;
    explicit TarStreamWatch(ReadHeader read_header) : read_header_(std::move(read_header)) {}

    // Follows the next `size` bytes of the stream. After a problem (or the
    // end of the archive) nothing further is judged.
    Problem feed(const char *data, std::size_t size);

    // The name of the header block behind the problem found.
    const std::string &offender() const { return offender_; }
    // Bytes of records before members, and of members' data, announced so far.
    long long record_bytes() const { return record_bytes_; }
    long long member_bytes() const { return member_bytes_; }
    bool ended() const { return phase_ == Phase::ended; }

private:
    enum class Phase { header, skip, pax, ended };

    Problem on_header();
    Problem on_pax();
    Problem refuse(Problem problem, const std::string &name);

    ReadHeader read_header_;
    Phase phase_ = Phase::header;
    std::string block_;        // the header block read so far
    long long skip_ = 0;       // bytes of data (and padding) left to pass
    std::string pax_;          // the pax header's records read so far
    long long pax_size_ = 0;
    bool pax_global_ = false;
    std::string pax_name_;
    unsigned chain_ = 0;       // record kinds seen since the last member
    long long next_size_ = -1; // a pax "size" record for the next member
    long long global_bytes_ = 0, record_bytes_ = 0, member_bytes_ = 0;
    std::string offender_;
};

} // namespace quillo::fetch
