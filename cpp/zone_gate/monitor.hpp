// Entries, exits and dwell times of tracks in zones, one frame after another,
// independent of Python.
//
// Rules:
// - A track enters a zone after `min_frames` consecutive updates in which it
//   is seen inside, and exits after `min_frames` consecutive updates in which
//   it is seen outside. An update that does not see the track breaks both
//   streaks.
// - A track inside some zone that has not been seen for `lost_after` seconds
//   (or more) exits every zone it is in. Such an exit carries the timestamp of
//   the update that notices it; its dwell ends when the track was last seen.
// - A track is forgotten once an update does not see it and it is inside no
//   zone, so the state held is bounded by the tracks of recent frames.
// - Events of one update: exits before entries, then zones in order, then
//   tracks in the order they were last seen (this update's in input order).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace quillo::zone_monitor {

using Slot = std::uint32_t;

enum class EventKind : std::uint8_t { exit, enter };  // in report order

struct Event {
    EventKind kind;
    std::uint32_t zone;
    Slot track;
    double timestamp;
    double dwell;  // seconds of the stay that ended; 0 for an entry
};

struct Totals {
    std::uint64_t entered = 0, exited = 0;
};

// One frame: the tracks seen, each once and in input order, with one flag per
// zone, and per zone the number of items without identity inside it.
struct Frame {
    double timestamp = 0;
    std::vector<Slot> tracks;
    std::vector<std::uint8_t> inside;      // tracks.size() rows of zone flags
    std::vector<std::uint32_t> untracked;  // one count per zone

    void clear(std::size_t zones);
};

class Monitor {
public:
    Monitor(std::size_t zones, std::uint32_t min_frames, double lost_after);

    std::size_t zone_count() const { return zones_; }

    // A slot for a track without history. Until an update sees it, it is
    // indistinguishable from a track never seen, and the next update that
    // does not see it frees it.
    Slot add_track();

    // Applies `frame`, whose timestamp must not precede the last one. Appends
    // the frame's events in report order, and the slots it freed.
    void update(const Frame &frame, std::vector<Event> &events, std::vector<Slot> &freed);

    // Tracks inside `zone` plus the latest frame's items without identity in it.
    std::uint64_t occupancy(std::size_t zone) const;
    const Totals &totals(std::size_t zone) const { return totals_[zone]; }
    // Seconds from the entry of `track` into `zone` to its last sighting, when it is inside.
    std::optional<double> dwell(Slot track, std::size_t zone) const;

    std::optional<double> last_timestamp() const { return last_timestamp_; }

    // Forgets every track, the totals and the last timestamp.
    void reset();

private:
    struct ZoneState {
        double entered_at = 0;
        std::uint32_t streak = 0;  // consecutive updates seen on the other side
        bool inside = false;
    };

    struct Track {
        double last_seen = 0;
        std::uint64_t last_update = 0;  // 0: never seen
        std::uint32_t position = 0;     // in the input of that update
        std::uint32_t zones_inside = 0;
        bool live = false;
    };

    ZoneState &state(Slot track, std::size_t zone) { return states_[track * zones_ + zone]; }
    const ZoneState &state(Slot track, std::size_t zone) const { return states_[track * zones_ + zone]; }
    void observe(Slot track, std::uint32_t position, const std::uint8_t *inside, double t, std::vector<Event> &events);
    void leave(Slot track, std::size_t zone, double t, double until, std::vector<Event> &events);
    void free_track(Slot track, std::vector<Slot> &freed);

    std::size_t zones_;
    std::uint32_t min_frames_;
    double lost_after_;
    std::vector<Track> tracks_;
    std::vector<ZoneState> states_;  // tracks_.size() rows of zones_ states
    std::vector<Slot> free_slots_;
    std::vector<std::uint64_t> inside_;  // tracks inside, per zone
    std::vector<std::uint32_t> untracked_;
    std::vector<Totals> totals_;
    std::uint64_t updates_ = 0;
    std::optional<double> last_timestamp_;
};

} // namespace quillo::zone_monitor
