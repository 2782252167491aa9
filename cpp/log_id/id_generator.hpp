// Session, event and error correlation identifiers (no Python here).
//
//   session  SES-<node>-<source>-<8 chars of [0-9a-f-]>
//   event    EVT-<code>-<node>-<source>-<counter>
//   error    ERR-<code>-<node>-<source>-<counter>
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace quillo::log_id {

class IdGenerator {
public:
    // `node_field` is already cut to the node id's first eight characters.
    IdGenerator(std::string node_field, long long source_idx);

    std::string session_id(bool force);
    std::optional<std::string> cached_session_id() const;
    std::string next_event_id(std::string_view code) { return numbered("EVT-", code, events_); }
    std::string next_error_id(std::string_view code) { return numbered("ERR-", code, errors_); }

private:
    std::string numbered(std::string_view kind, std::string_view code, std::atomic<std::uint64_t> &counter) const;

    std::string node_field_;
    std::string tail_;  // "-<node>-<source>-"
    std::atomic<std::uint64_t> events_{0};
    std::atomic<std::uint64_t> errors_{0};
    mutable std::mutex session_mutex_;
    std::optional<std::string> session_;
};

} // namespace quillo::log_id
