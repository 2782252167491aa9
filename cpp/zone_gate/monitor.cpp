#include "zone_gate/monitor.hpp"

#include <algorithm>
#include <stdexcept>
#include <tuple>

namespace quillo::zone_monitor {

void Frame::clear(std::size_t zones) {
    tracks.clear();
    inside.clear();
    untracked.assign(zones, 0);
}

Monitor::Monitor(std::size_t zones, std::uint32_t min_frames, double lost_after)
    : zones_(zones), min_frames_(min_frames), lost_after_(lost_after), inside_(zones), untracked_(zones),
      totals_(zones) {
    if (min_frames < 1)
        throw std::invalid_argument("min_frames must be at least 1");
    if (!(lost_after >= 0))
        throw std::invalid_argument("lost_after must be a non-negative number of seconds");
}

Slot Monitor::add_track() {
    Slot slot;
    if (!free_slots_.empty()) {
        slot = free_slots_.back();
        free_slots_.pop_back();
    } else {
        slot = static_cast<Slot>(tracks_.size());
        tracks_.emplace_back();
        states_.resize(states_.size() + zones_);
    }
    tracks_[slot] = Track{};
    tracks_[slot].live = true;
    std::fill_n(states_.begin() + static_cast<std::ptrdiff_t>(slot * zones_), zones_, ZoneState{});
    return slot;
}

void Monitor::leave(Slot track, std::size_t zone, double t, double until, std::vector<Event> &events) {
    ZoneState &st = state(track, zone);
    st.inside = false;
    st.streak = 0;
    --tracks_[track].zones_inside;
    --inside_[zone];
    ++totals_[zone].exited;
    events.push_back({EventKind::exit, static_cast<std::uint32_t>(zone), track, t, until - st.entered_at});
}

void Monitor::observe(Slot track, std::uint32_t position, const std::uint8_t *inside, double t,
                      std::vector<Event> &events) {
    Track &tr = tracks_[track];
    bool consecutive = tr.last_update != 0 && tr.last_update + 1 == updates_;
    for (std::size_t z = 0; z < zones_; ++z) {
        ZoneState &st = state(track, z);
        if (!consecutive)
            st.streak = 0;
        bool in = inside[z] != 0;
        if (in == st.inside) {
            st.streak = 0;
            continue;
        }
        if (++st.streak < min_frames_)
            continue;
        if (in) {
            st.inside = true;
            st.streak = 0;
            st.entered_at = t;
            ++tr.zones_inside;
            ++inside_[z];
            ++totals_[z].entered;
            events.push_back({EventKind::enter, static_cast<std::uint32_t>(z), track, t, 0.0});
        } else {
            leave(track, z, t, t, events);
        }
    }
    tr.last_seen = t;
    tr.last_update = updates_;
    tr.position = position;
}

void Monitor::free_track(Slot track, std::vector<Slot> &freed) {
    tracks_[track].live = false;
    free_slots_.push_back(track);
    freed.push_back(track);
}

void Monitor::update(const Frame &frame, std::vector<Event> &events, std::vector<Slot> &freed) {
    double t = frame.timestamp;
    if (last_timestamp_ && !(t >= *last_timestamp_))
        throw std::invalid_argument("timestamp went backwards");
    ++updates_;
    std::size_t first_event = events.size();
    for (std::size_t i = 0; i < frame.tracks.size(); ++i)
        observe(frame.tracks[i], static_cast<std::uint32_t>(i), frame.inside.data() + i * zones_, t, events);

    for (Slot s = 0; s < tracks_.size(); ++s) {
        Track &tr = tracks_[s];
        if (!tr.live || tr.last_update == updates_)
            continue;
        if (tr.zones_inside == 0) {
            free_track(s, freed);
        } else if (t - tr.last_seen >= lost_after_) {
            for (std::size_t z = 0; z < zones_; ++z)
                if (state(s, z).inside)
                    leave(s, z, t, tr.last_seen, events);
            free_track(s, freed);
        }
    }

    // A freed slot keeps its last sighting until add_track reuses it, so lost
    // tracks sort by it too.
    auto key = [this](const Event &e) {
        const Track &tr = tracks_[e.track];
        return std::make_tuple(e.kind, e.zone, tr.last_update, tr.position);
    };
    std::sort(events.begin() + static_cast<std::ptrdiff_t>(first_event), events.end(),
              [&](const Event &a, const Event &b) { return key(a) < key(b); });
    untracked_ = frame.untracked;
    last_timestamp_ = t;
}

std::uint64_t Monitor::occupancy(std::size_t zone) const { return inside_[zone] + untracked_[zone]; }

std::optional<double> Monitor::dwell(Slot track, std::size_t zone) const {
    if (track >= tracks_.size() || !tracks_[track].live || !state(track, zone).inside)
        return std::nullopt;
    return tracks_[track].last_seen - state(track, zone).entered_at;
}

void Monitor::reset() {
    tracks_.clear();
    states_.clear();
    free_slots_.clear();
    std::fill(inside_.begin(), inside_.end(), 0);
    std::fill(untracked_.begin(), untracked_.end(), 0);
    std::fill(totals_.begin(), totals_.end(), Totals{});
    updates_ = 0;
    last_timestamp_.reset();
}

} // namespace quillo::zone_monitor
