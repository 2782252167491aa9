// POSIX paths as byte strings (the file-system encoding of the host's text),
// path arithmetic as posixpath does it, and the few file-system operations the
// fetcher needs. Failures raise the host's OSError.
#pragma once

#include "fetch/fetch.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillo::fetch {

// os.fspath + os.fsencode: str, bytes or path-like to bytes; an embedded NUL
// raises ValueError as the os module does.
std::string fs_path(nb::handle obj);
// os.fsdecode of bytes.
nb::str fs_text(std::string_view path);

// posixpath.join(a, b), normpath(p), abspath(p).
std::string path_join(std::string_view a, std::string_view b);
std::string normpath(std::string_view path);
std::string abspath(std::string_view path);
// Components of a path, empty ones and "." dropped ("a//./b/" -> a, b).
std::vector<std::string_view> components(std::string_view path);

bool is_dir(const std::string &path);   // os.path.isdir
bool exists(const std::string &path);   // os.path.exists
bool lexists(const std::string &path);  // os.path.lexists
bool is_real_dir(const std::string &path);  // a directory itself, not a link to one

// Writes `data` to `path` through a fresh private name beside it (created
// exclusively, so never through a link planted there) renamed over `path`:
// the file is whole or as it was.
void replace_file(const std::string &path, std::string_view data);
// Up to `limit` bytes from the start of the regular file at `path`, not
// followed through a link; nullopt when it cannot be read.
std::optional<std::string> read_head(const std::string &path, std::size_t limit);

// os.makedirs(path, exist_ok=True)
void make_dirs(const std::string &path);
// os.remove
void remove_file(const std::string &path);
// rm -r that never follows links; errors ignored.
void remove_tree(const std::string &path) noexcept;
// A new directory `prefix` + six random characters, mode 0700.
std::string make_temp_dir(const std::string &prefix);

} // namespace quillo::fetch
