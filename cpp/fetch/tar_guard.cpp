#include "fetch/tar_guard.hpp"

#include "fetch/paths.hpp"

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
