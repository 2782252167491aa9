#include "fetch/tar_guard.hpp"

#include "fetch/paths.hpp"

#include <algorithm>
#include <cerrno>
#include <deque>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace quillo::fetch {

namespace {

// Link hops before giving up, as the kernel does (ELOOP).
constexpr int kMaxLinkHops = 40;

std::string joined(const std::vector<std::string> &parts) {
    std::string path;
    for (const std::string &part : parts)
        path += "/" + part;
    return path.empty() ? "/" : path;
}

// Resolves `rest` from the directory `parts`, following the links on disk
// component by component as the kernel would. Past a component that does not
// exist (or is no directory) the rest is taken as text. In strict mode a ".."
// there is refused (nullopt): whatever appears at that name later decides where
// ".." leads, so no answer given now would hold.
std::optional<std::vector<std::string>> resolve(std::vector<std::string> parts, std::string_view rest, bool strict) {
    if (!rest.empty() && rest.front() == '/')
        parts.clear();
    std::deque<std::string> pending;
    for (std::string_view part : components(rest))
        pending.emplace_back(part);
    bool on_disk = true;
    int hops = 0;
    while (!pending.empty()) {
        std::string part = std::move(pending.front());
        pending.pop_front();
        if (part == "..") {
            if (!on_disk && strict)
                return std::nullopt;
            if (!parts.empty())
                parts.pop_back();
            continue;
        }
        parts.push_back(std::move(part));
        if (!on_disk)
            continue;
        std::string path = joined(parts);
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) {
            if (strict && errno != ENOENT && errno != ENOTDIR)
                return std::nullopt;
            on_disk = false;
            continue;
        }
        if (S_ISLNK(st.st_mode)) {
            if (++hops > kMaxLinkHops)
                return std::nullopt;
            std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
            ssize_t n;
            while ((n = readlink(path.c_str(), target.data(), target.size())) == static_cast<ssize_t>(target.size()))
                target.resize(target.size() * 2);
            if (n < 0)
                return std::nullopt;
            target.resize(static_cast<std::size_t>(n));
            parts.pop_back();
            if (!target.empty() && target.front() == '/')
                parts.clear();
            std::vector<std::string_view> inner = components(target);
            for (auto it = inner.rbegin(); it != inner.rend(); ++it)
                pending.emplace_front(*it);
        } else if (!S_ISDIR(st.st_mode) && !pending.empty()) {
            on_disk = false;
        }
    }
    return parts;
}

} // namespace

bool stays_below(std::string_view name) {
    std::size_t depth = 0;
    for (std::string_view part : components(name)) {
        if (part != "..")
            ++depth;
        else if (depth-- == 0)
            return false;
    }
    return true;
}

Destination::Destination(std::string path) : path_(std::move(path)) {
    std::string absolute = abspath(path_);
    prefix_ = absolute + "/";
    std::optional<std::vector<std::string>> real = resolve({}, absolute, false);
    if (real) {
        real_ = std::move(*real);
    } else {
        for (std::string_view part : components(absolute))
            real_.emplace_back(part);
    }
}

bool Destination::name_inside(std::string_view name) const {
    std::string member = abspath(path_join(path_, name));
    return member.compare(0, prefix_.size(), prefix_) == 0;
}

bool Destination::free_of_links(std::string_view name) const {
    std::string path = path_;
    for (std::string_view part : components(name)) {
        path = path_join(path, part);
        struct stat st;
        if (lstat(path.c_str(), &st) != 0)
            return errno == ENOENT || errno == ENOTDIR;
        if (S_ISLNK(st.st_mode))
            return false;
    }
    return true;
}

bool Destination::occupied(std::string_view name) const {
    std::string path = path_join(path_, name);
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return lexists(path);
}

bool Destination::regular_file_at(std::string_view name) const {
    std::vector<std::string_view> parts = components(name);
    if (parts.empty())
        return false;
    std::string path = path_;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        path = path_join(path, parts[i]);
        struct stat st;
        if (lstat(path.c_str(), &st) != 0)
            return false;
        if (i + 1 < parts.size() ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode))
            return false;
    }
    // The name as written ("f/", "f/.") must lead there too.
    struct stat st;
    return stat(path_join(path_, name).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool Destination::link_target_inside(std::string_view name, std::string_view target) const {
    // The link's own directory: below the destination by the name check, and
    // made only of real directories (existing, or created as such).
    std::string member = abspath(path_join(path_, name));
    std::vector<std::string> start = real_;
    std::vector<std::string_view> below = components(std::string_view(member).substr(prefix_.size()));
    if (below.empty())
        return false;
    below.pop_back();
    for (std::string_view part : below)
        start.emplace_back(part);

    std::optional<std::vector<std::string>> resolved = resolve(std::move(start), target, true);
    if (!resolved || resolved->size() < real_.size())
        return false;
    for (std::size_t i = 0; i < real_.size(); ++i)
        if ((*resolved)[i] != real_[i])
            return false;
    return true;
}

} // namespace quillo::fetch

namespace quillo::fetch {

namespace {

constexpr long long kBlock = 512;

// The bytes the library passes for `size` bytes of data: whole blocks.
long long blocks_of(long long size) { return (size + kBlock - 1) / kBlock * kBlock; }

// Plain decimal digits, as every writer puts them; nullopt for anything the
// library's int() might read another way.
std::optional<long long> decimal(std::string_view text) {
    if (text.empty() || text.size() > 18)
        return std::nullopt;
    long long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

unsigned chain_bit(TarHeader::Kind kind, char type) {
    switch (kind) {
    case TarHeader::Kind::long_name: return type == 'K' ? 1u : 2u;
    case TarHeader::Kind::pax: return 4u;
    case TarHeader::Kind::pax_global: return 8u;
    default: return 0u;
    }
}

} // namespace

TarStreamWatch::Problem TarStreamWatch::refuse(Problem problem, const std::string &name) {
    offender_ = name;
    phase_ = Phase::ended;
    return problem;
}

TarStreamWatch::Problem TarStreamWatch::feed(const char *data, std::size_t size) {
    while (size > 0) {
        std::size_t n = 0;
        switch (phase_) {
        case Phase::ended:
            return Problem::none;
        case Phase::header:
            n = std::min(size, static_cast<std::size_t>(kBlock) - block_.size());
            block_.append(data, n);
            break;
        case Phase::skip:
            n = static_cast<std::size_t>(std::min<long long>(skip_, static_cast<long long>(size)));
            skip_ -= static_cast<long long>(n);
            break;
        case Phase::pax:
            n = static_cast<std::size_t>(std::min<long long>(pax_size_ - static_cast<long long>(pax_.size()),
                                                             static_cast<long long>(size)));
            pax_.append(data, n);
            break;
        }
        data += n;
        size -= n;
        Problem problem = Problem::none;
        if (phase_ == Phase::header && block_.size() == static_cast<std::size_t>(kBlock))
            problem = on_header();
        else if (phase_ == Phase::pax && static_cast<long long>(pax_.size()) == pax_size_)
            problem = on_pax();
        else if (phase_ == Phase::skip && skip_ == 0)
            phase_ = Phase::header;
        if (problem != Problem::none)
            return problem;
    }
    return Problem::none;
}

TarStreamWatch::Problem TarStreamWatch::on_header() {
    TarHeader header = read_header_(block_.data());
    block_.clear();
    using Kind = TarHeader::Kind;
    if (header.kind == Kind::end) {
        phase_ = Phase::ended;
        return Problem::none;
    }
    if (header.kind == Kind::sparse)
        return refuse(Problem::sparse, header.name);
    if (header.kind == Kind::member) {
        long long size = next_size_ >= 0 ? next_size_ : header.size;
        chain_ = 0;
        next_size_ = -1;
        skip_ = header.has_data ? blocks_of(size) : 0;
        member_bytes_ += header.has_data ? size : 0;
        phase_ = skip_ > 0 ? Phase::skip : Phase::header;
        return Problem::none;
    }
    // A record before a member: each kind at most once per member, as every
    // writer puts them; the library would read a chain of them nested.
    unsigned bit = chain_bit(header.kind, header.type);
    if (chain_ & bit)
        return refuse(Problem::malformed, header.name);
    chain_ |= bit;
    record_bytes_ += header.size;
    if (header.kind == Kind::long_name) {
        if (header.size > kMaxNameRecord)
            return refuse(Problem::oversized, header.name);
        skip_ = blocks_of(header.size);
        phase_ = skip_ > 0 ? Phase::skip : Phase::header;
        return Problem::none;
    }
    pax_global_ = header.kind == Kind::pax_global;
    if (pax_global_)
        global_bytes_ += header.size;
    if (header.size > kMaxPaxHeader || global_bytes_ > kMaxPaxHeader)
        return refuse(Problem::oversized, header.name);
    pax_.clear();
    pax_size_ = header.size;
    pax_name_ = header.name;
    phase_ = Phase::pax;
    return pax_size_ == 0 ? on_pax() : Problem::none;
}

// Records "<length> <keyword>=<value>\n", the length counting the whole
// record; a NUL where a record would start ends them.
TarStreamWatch::Problem TarStreamWatch::on_pax() {
    std::string_view rest(pax_);
    int records = 0;
    while (!rest.empty() && rest.front() != '\0') {
        std::size_t space = rest.find(' ');
        std::optional<long long> length = decimal(rest.substr(0, std::min(space, rest.size())));
        if (space == std::string_view::npos || !length || *length <= static_cast<long long>(space) + 1 ||
            *length > static_cast<long long>(rest.size()) || rest[static_cast<std::size_t>(*length) - 1] != '\n')
            return refuse(Problem::malformed, pax_name_);
        std::string_view record = rest.substr(space + 1, static_cast<std::size_t>(*length) - space - 2);
        rest.remove_prefix(static_cast<std::size_t>(*length));
        std::size_t equals = record.find('=');
        if (equals == 0 || equals == std::string_view::npos)
            return refuse(Problem::malformed, pax_name_);
        std::string_view keyword = record.substr(0, equals), value = record.substr(equals + 1);
        if (++records > kMaxPaxRecords)
            return refuse(Problem::oversized, pax_name_);
        if (keyword.compare(0, 11, "GNU.sparse.") == 0)
            return refuse(Problem::sparse, pax_name_);
        if (keyword == "size") {
            // The library sizes the next member by it, but not from a global header.
            std::optional<long long> size = decimal(value);
            if (!size || pax_global_)
                return refuse(Problem::malformed, pax_name_);
            // An outer header's record is applied last.
            if (next_size_ < 0)
                next_size_ = *size;
        }
    }
    pax_.clear();
    pax_.shrink_to_fit();
    skip_ = blocks_of(pax_size_) - pax_size_;
    phase_ = skip_ > 0 ? Phase::skip : Phase::header;
    return Problem::none;
}

} // namespace quillo::fetch
