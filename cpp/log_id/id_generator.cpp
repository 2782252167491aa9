#include "log_id/id_generator.hpp"

#include <charconv>
#include <random>

namespace quillo::log_id {

namespace {

std::string random_session_suffix() {
    static constexpr char hex[] = "0123456789abcdef";
    std::random_device source;
    std::uint32_t bits = source();
    std::string out(8, '0');
    for (char &c : out) {
        c = hex[bits & 0xF];
        bits >>= 4;
    }
    return out;
}

} // namespace

IdGenerator::IdGenerator(std::string node_field, long long source_idx)
    : node_field_(std::move(node_field)),
      tail_("-" + node_field_ + "-" + std::to_string(source_idx) + "-") {}

std::string IdGenerator::session_id(bool force) {
    std::lock_guard guard(session_mutex_);
    if (session_ && !force)
        return *session_;
    std::string fresh;
    do {
        fresh = "SES" + tail_ + random_session_suffix();
    } while (session_ && fresh == *session_);
    session_ = fresh;
    return fresh;
}

std::optional<std::string> IdGenerator::cached_session_id() const {
    std::lock_guard guard(session_mutex_);
    return session_;
}

std::string IdGenerator::numbered(std::string_view kind, std::string_view code,
                                  std::atomic<std::uint64_t> &counter) const {
    // One atomic step: no two callers see the same value and none is skipped.
    std::uint64_t n = counter.fetch_add(1, std::memory_order_relaxed) + 1;
    char digits[24];
    auto end = std::to_chars(digits, digits + sizeof digits, n).ptr;
    std::string out;
    out.reserve(kind.size() + code.size() + tail_.size() + (end - digits));
    out.append(kind).append(code).append(tail_).append(digits, end);
    return out;
}

} // namespace quillo::log_id
