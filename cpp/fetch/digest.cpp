// The archive digest a download URL may name, and hashing a body while it
// streams.
#include "fetch/fetch.hpp"
#include "fetch/paths.hpp"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillo::fetch {

namespace {

constexpr std::size_t kHexDigits = 64;
constexpr Py_ssize_t kFileChunk = 1 << 20;

[[noreturn]] void raise_value_error(const char *message, nb::handle url) {
    PyErr_SetObject(PyExc_ValueError, concat({nb::str(message), url}).ptr());
    throw nb::python_error();
}

bool is_hex_digest(std::string_view text) {
    if (text.size() != kHexDigits)
        return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')))
            return false;
    return true;
}

} // namespace

std::string url_sha256(nb::handle url) {
    nb::object fragment = nb::str(url).attr("partition")("#")[2];
    std::string named;
    for (nb::handle item : nb::iter(fragment.attr("split")("&"))) {
        nb::object parts = item.attr("partition")("=");
        if (!parts[0].equal(nb::str("sha256")))
            continue;
        std::string value = fs_path(parts[2].attr("lower")());
        if (!is_hex_digest(value))
            raise_value_error("the sha256 named must be 64 hex digits: ", url);
        if (!named.empty() && named != value)
            raise_value_error("the URL names two sha256 digests: ", url);
        named = value;
    }
    return named;
}

nb::object url_without_fragment(nb::handle url) { return nb::str(url).attr("partition")("#")[0]; }

nb::object url_naming_sha256(nb::handle url, nb::handle sha256) {
    if (!PyUnicode_Check(sha256.ptr()) || !is_hex_digest(fs_path(sha256))) {
        PyErr_Format(PyExc_ValueError, "sha256 must be 64 hex digits, not %R", sha256.ptr());
        throw nb::python_error();
    }
    int has_fragment = PySequence_Contains(url.ptr(), nb::str("#").ptr());
    if (has_fragment < 0)
        throw nb::python_error();
    return concat({url, nb::str(has_fragment ? "&sha256=" : "#sha256="), sha256.attr("lower")()});
}

void check_sha256(const std::string &expected, const std::string &actual, nb::handle file) {
    if (expected == actual)
        return;
    note_failure(Failure::integrity, nb::none(), nb::none(), file);
    PyErr_Format(PyExc_OSError, "sha256 mismatch: expected %s, got %s", expected.c_str(), actual.c_str());
    throw nb::python_error();
}

StreamDigest::StreamDigest() : hasher_(global("hashlib").attr("sha256")()), update_(hasher_.attr("update")) {}

void StreamDigest::add(nb::handle piece) { update_(piece); }

void StreamDigest::add_file(const std::string &path, long long size) {
    if (size <= 0)
        return;
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        raise_os_error(errno, path);
    struct Closer {
        int fd;
        ~Closer() { close(fd); }
    } closer{fd};
    while (size > 0) {
        Py_ssize_t want = static_cast<Py_ssize_t>(std::min<long long>(size, kFileChunk));
        nb::object piece = take(PyBytes_FromStringAndSize(nullptr, want));
        ssize_t n;
        {
            nb::gil_scoped_release unlocked;
            do
                n = read(fd, PyBytes_AS_STRING(piece.ptr()), static_cast<std::size_t>(want));
            while (n < 0 && errno == EINTR);
        }
        if (n < 0)
            raise_os_error(errno, path);
        if (n != want) {
            PyErr_Format(PyExc_OSError, "%s changed while it was read", path.c_str());
            throw nb::python_error();
        }
        add(piece);
        size -= n;
    }
}

std::string StreamDigest::hexdigest() { return fs_path(hasher_.attr("hexdigest")()); }

std::string file_sha256(const std::string &path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        raise_os_error(errno, path);
    StreamDigest digest;
    digest.add_file(path, st.st_size);
    return digest.hexdigest();
}

} // namespace quillo::fetch
