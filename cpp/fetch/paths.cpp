#include "fetch/paths.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillo::fetch {

std::string fs_path(nb::handle obj) {
    PyObject *converted = nullptr;
    if (!PyUnicode_FSConverter(obj.ptr(), &converted))
        throw nb::python_error();
    nb::object bytes = nb::steal(converted);
    return std::string(PyBytes_AS_STRING(bytes.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.ptr())));
}

nb::str fs_text(std::string_view path) {
    PyObject *s = PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size()));
    if (!s)
        throw nb::python_error();
    return nb::steal<nb::str>(s);
}

std::string path_join(std::string_view a, std::string_view b) {
    if (!b.empty() && b.front() == '/')
        return std::string(b);
    std::string result(a);
    if (!result.empty() && result.back() != '/')
        result += '/';
    result += b;
    return result;
}

std::vector<std::string_view> components(std::string_view path) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string_view::npos)
            end = path.size();
        std::string_view part = path.substr(start, end - start);
        if (!part.empty() && part != ".")
            parts.push_back(part);
        start = end + 1;
    }
    return parts;
}

std::string normpath(std::string_view path) {
    if (path.empty())
        return ".";
    int initial_slashes = path.front() == '/' ? 1 : 0;
    // POSIX leaves the meaning of exactly two leading slashes to the system.
    if (initial_slashes && path.substr(0, 2) == "//" && path.substr(0, 3) != "///")
        initial_slashes = 2;
    std::vector<std::string_view> kept;
    for (std::string_view part : components(path)) {
        if (part != ".." || (!initial_slashes && kept.empty()) || (!kept.empty() && kept.back() == ".."))
            kept.push_back(part);
        else if (!kept.empty())
            kept.pop_back();
    }
    std::string result(static_cast<std::size_t>(initial_slashes), '/');
    for (std::size_t i = 0; i < kept.size(); ++i) {
        if (i)
            result += '/';
        result += kept[i];
    }
    return result.empty() ? "." : result;
}

std::string abspath(std::string_view path) {
    if (!path.empty() && path.front() == '/')
        return normpath(path);
    std::string cwd(256, '\0');
    while (!getcwd(cwd.data(), cwd.size())) {
        if (errno != ERANGE)
            raise_os_error(errno, ".");
        cwd.resize(cwd.size() * 2);
    }
    cwd.resize(std::strlen(cwd.c_str()));
    return normpath(path_join(cwd, path));
}

bool is_dir(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

bool lexists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

bool is_real_dir(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void replace_file(const std::string &path, std::string_view data) {
    std::string temp = path + ".XXXXXX";
    int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        raise_os_error(errno, path);
    bool written = ::write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size());
    int err = written ? 0 : (errno ? errno : EIO);
    if (close(fd) != 0 && !err)
        err = errno;
    if (!err && rename(temp.c_str(), path.c_str()) != 0)
        err = errno;
    if (err) {
        unlink(temp.c_str());
        raise_os_error(err, path);
    }
}

std::optional<std::string> read_head(const std::string &path, std::size_t limit) {
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    struct stat st;
    std::optional<std::string> data;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        data.emplace(limit, '\0');
        std::size_t have = 0;
        while (have < limit) {
            ssize_t n = read(fd, data->data() + have, limit - have);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                if (n < 0)
                    data.reset();
                break;
            }
            have += static_cast<std::size_t>(n);
        }
        if (data)
            data->resize(have);
    }
    close(fd);
    return data;
}

void make_dirs(const std::string &path) {
    if (is_dir(path))
        return;
    if (mkdir(path.c_str(), 0777) == 0)
        return;
    int err = errno;
    if (err == ENOENT) {
        std::string_view trimmed(path);
        while (trimmed.size() > 1 && trimmed.back() == '/')
            trimmed.remove_suffix(1);
        std::size_t slash = trimmed.rfind('/');
        if (slash != std::string_view::npos && slash > 0) {
            make_dirs(std::string(trimmed.substr(0, slash)));
            if (mkdir(path.c_str(), 0777) == 0)
                return;
            err = errno;
        }
    }
    if (err == EEXIST && is_dir(path))
        return;
    raise_os_error(err, path);
}

void remove_file(const std::string &path) {
    if (unlink(path.c_str()) != 0)
        raise_os_error(errno, path);
}

namespace {

void remove_tree_at(int parent, const char *name) noexcept {
    if (unlinkat(parent, name, 0) == 0 || (errno != EISDIR && errno != EPERM))
        return;
    int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return;
    if (DIR *dir = fdopendir(fd)) {
        while (dirent *entry = readdir(dir)) {
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                remove_tree_at(dirfd(dir), entry->d_name);
        }
        closedir(dir);
    } else {
        close(fd);
    }
    unlinkat(parent, name, AT_REMOVEDIR);
}

} // namespace

void remove_tree(const std::string &path) noexcept { remove_tree_at(AT_FDCWD, path.c_str()); }

std::string make_temp_dir(const std::string &prefix) {
    std::string name = prefix + "XXXXXX";
    if (!mkdtemp(name.data()))
        raise_os_error(errno, prefix);
    return name;
}

} // namespace quillo::fetch
