// download_url: a download URL becomes a model directory under BASE_MODEL_DIR.
//
// Fetches of one model are serialised by a lock file beside it, and the
// archive is unpacked into a staging directory that is moved into place only
// once every member is out, so a model directory that exists is complete.
#include "fetch/fetch.hpp"
#include "fetch/paths.hpp"

#include "common/call_args.hpp"
#include "common/errors.hpp"
#include "common/method.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillo::fetch {

namespace {

// Large copies per member write: fewer trips through the tar library.
constexpr long kCopyBufferSize = 1 << 20;

constexpr std::size_t kNameMax = 255;

// Prefix of the staging directories of `model_name` (mkdtemp adds six characters).
std::string staging_prefix(const std::string &model_name) {
    std::string name = "." + model_name + ".unpack-";
    return name.size() + 6 <= kNameMax ? name : ".unpack-";
}

bool has_shape(const std::string &name, const std::string &prefix, std::size_t middle, const std::string &suffix) {
    return name.size() == prefix.size() + middle + suffix.size() && name.compare(0, prefix.size(), prefix) == 0 &&
           name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// A staging directory, removed with whatever is left in it.
class Staging {
public:
    explicit Staging(std::string path) : path_(std::move(path)) {}
    Staging(const Staging &) = delete;
    Staging &operator=(const Staging &) = delete;
    ~Staging() { remove_tree(path_); }
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

std::vector<std::string> entries(const std::string &dir) {
    DIR *d = opendir(dir.c_str());
    if (!d)
        raise_os_error(errno, dir);
    std::vector<std::string> names;
    while (dirent *entry = readdir(d)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.emplace_back(entry->d_name);
    }
    closedir(d);
    return names;
}

// What a fetch of this model killed half-way left behind: its partial
// download and its staging directory. Called under the model's lock, when no
// other fetch of the model can be using them.
void sweep_leftovers(const std::string &save_dir, const std::string &file_name, const std::string &model_name) {
    std::string part_prefix = "." + file_name + ".", staging = staging_prefix(model_name);
    for (const std::string &name : entries(save_dir)) {
        if (has_shape(name, part_prefix, 8, ".part"))
            unlink(path_join(save_dir, name).c_str());
        else if (staging != ".unpack-" && has_shape(name, staging, 6, ""))
            remove_tree(path_join(save_dir, name));
    }
}

// Puts `from` at `to` the way unpacking there would have: directories merge
// into existing ones, anything else takes the place of what is there.
void move_into_place(const std::string &from, const std::string &to) {
    if (is_real_dir(from) && is_real_dir(to)) {
        for (const std::string &name : entries(from))
            move_into_place(path_join(from, name), path_join(to, name));
        return;
    }
    if (rename(from.c_str(), to.c_str()) != 0)
        raise_os_error(errno, to);
}

// Everything the archive held goes into `save_dir`, the model's own top-level
// entry last, so the model directory appears complete or not at all.
void promote(const std::string &staging, const std::string &save_dir, const std::string &model_name) {
    bool has_model = false;
    for (const std::string &name : entries(staging)) {
        if (name == model_name)
            has_model = true;
        else
            move_into_place(path_join(staging, name), path_join(save_dir, name));
    }
    if (has_model)
        move_into_place(path_join(staging, model_name), path_join(save_dir, model_name));
}

// What may follow the tar's end-of-archive marker and still be read: the
// padding of the last record (10 KiB as most writers block it, up to 1 MiB
// with a large blocking factor) and the xz stream's end.
constexpr long kTailBytes = 2L << 20;

// Reads what follows the tar's end up to kTailBytes: normally to the end of
// the xz stream, whose integrity check of the last block fails there if it is
// cut or broken. Anything longer is not read at all, so the work on an archive
// stays proportional to its members.
void read_tail(nb::handle compressed) {
    nb::object read = compressed.attr("read");
    for (long left = kTailBytes; left > 0;) {
        nb::object piece = read(std::min(left, kCopyBufferSize));
        Py_ssize_t size = PyObject_Length(piece.ptr());
        if (size < 0)
            throw nb::python_error();
        if (size == 0)
            break;
        left -= static_cast<long>(size);
    }
}

// An archive that no download can mend: not xz, or no tar inside.
bool is_bad_archive(nb::handle exc) {
    return PyErr_GivenExceptionMatches(exc.ptr(), global("lzma").attr("LZMAError").ptr()) ||
           PyErr_GivenExceptionMatches(exc.ptr(), global("tarfile").attr("ReadError").ptr());
}

// Steps from opening the archive to deleting it; true on success. A failure is
// logged and leaves neither the archive nor anything unpacked behind.
bool unpack(nb::handle cloud_url, nb::handle tar_xz_file, const std::string &tar_path, const std::string &save_dir,
            const std::string &model_name) {
    nb::object done = catch_ordinary(
        [&]() -> nb::object {
            Staging staging(make_temp_dir(path_join(save_dir, staging_prefix(model_name))));
            // One sequential pass through the xz stream. lzma's reader bounds what
            // each read inflates, so a highly compressible member (zero-filled
            // weights) costs neither memory nor repeated copying.
            nb::object compressed = global("lzma").attr("open")(tar_xz_file);
            ScopedClose close_compressed(compressed);
            WatchedTarStream stream(compressed);
            nb::object archive = global("tarfile").attr("open")(
                nb::arg("fileobj") = stream.reader(), nb::arg("mode") = "r|", nb::arg("copybufsize") = kCopyBufferSize);
            ScopedClose close_archive(archive);
            OwnModelOnly own_model(save_dir, model_name);
            global("_safe_extract")(archive, fs_text(staging.path()));
            read_tail(compressed);
            remove_file(tar_path);
            close_archive.close();
            close_compressed.close();
            promote(staging.path(), save_dir, model_name);
            return nb::bool_(true);
        },
        [&](nb::handle exc) -> nb::object {
            note_failure(is_bad_archive(exc) ? Failure::bad_archive : Failure::failed, nb::none(), cloud_url,
                         tar_xz_file);
            log_warning(concat({nb::str("Failed to extracting tarxz "), tar_xz_file, nb::str(" - "), text_of(exc)}));
            unlink(tar_path.c_str());
            return nb::bool_(false);
        });
    return done.ptr() == Py_True;
}

nb::object retrieve(nb::handle cloud_url, nb::handle progress) {
    nb::object parts = global("urlparse")(cloud_url);
    nb::object save_dir = nb::steal(PyOS_FSPath(global("BASE_MODEL_DIR").ptr()));
    if (!save_dir.is_valid())
        throw nb::python_error();
    if (!PyUnicode_Check(save_dir.ptr())) {
        PyErr_Format(PyExc_TypeError, "BASE_MODEL_DIR must be str, not %.200s", Py_TYPE(save_dir.ptr())->tp_name);
        throw nb::python_error();
    }
    std::string save_path = fs_path(save_dir);
    make_dirs(save_path);

    nb::object file_name = parts.attr("path").attr("rpartition")("/")[2];
    nb::object model_name = file_name.attr("replace")(".tar.xz", "");
    nb::object os_join = global("os").attr("path").attr("join");
    nb::object tar_xz_file = os_join(save_dir, file_name);
    nb::object model_dir = os_join(save_dir, model_name);
    std::string tar_path = fs_path(tar_xz_file), model_path = fs_path(model_dir);

    auto finished = [&] {
        if (!is_dir(model_path))
            return false;
        log_info(concat({nb::str("model dir already exists, skipping download - "), model_dir}));
        return true;
    };
    if (finished())
        return model_dir;
    // Another fetch of this model may be under way: wait for it, then look again.
    FileLock lock(hidden_beside(tar_path, ".lock"));
    if (finished())
        return model_dir;
    sweep_leftovers(save_path, fs_path(file_name), fs_path(model_name));

    if (lexists(model_path)) {
        log_info(concat({nb::str("remove model file (not a directory) - "), model_dir}));
        remove_file(model_path);
    }
    auto download = [&] {
        nb::object download_file = global("download_file");
        nb::object ok = progress.is_none()
                            ? download_file(nb::arg("cloud_url") = cloud_url, nb::arg("local_file") = tar_xz_file)
                            : download_file(nb::arg("cloud_url") = cloud_url, nb::arg("local_file") = tar_xz_file,
                                            nb::arg("progress") = progress);
        return truth(ok);
    };
    if (exists(tar_path)) {
        log_info(concat({nb::str("tar.xz file already exists - "), tar_xz_file}));
        nb::object description = global("fm").attr("from_file")(tar_xz_file);
        int empty = truth(description) ? PySequence_Contains(description.ptr(), nb::str("empty").ptr()) : 1;
        if (empty < 0)
            throw nb::python_error();
        bool valid = empty == 0;
        if (!valid) {
            log_info(concat({nb::str("tar.xz is invalid, re-downloading - "), tar_xz_file}));
            remove_file(tar_path);
            if (!download())
                return nb::none();
        } else if (std::string sha256 = url_sha256(cloud_url); !sha256.empty()) {
            // Checked as a download is: an archive unlike the one named goes.
            std::string actual = file_sha256(tar_path);
            if (actual != sha256)
                remove_file(tar_path);
            check_sha256(sha256, actual, tar_xz_file);
        }
    } else if (!download()) {
        return nb::none();
    }

    log_info(concat({nb::str("Extracting model file - "), tar_xz_file, nb::str(" to "), save_dir}));
    if (!unpack(cloud_url, tar_xz_file, tar_path, save_path, fs_path(model_name)))
        return nb::none();
    log_info(nb::str("Finished the downloading"));
    return model_dir;
}

nb::object download_url_impl(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const char *const names[] = {"cloud_url", "progress"};
    PyObject *values[2] = {};
    if (!bind_arguments({"download_url", names, 2, 1, 1}, args, nargs, kwnames, values))
        throw nb::python_error();
    PyObject *cloud_url = values[0];
    require_str(cloud_url, "cloud_url");
    nb::handle progress = values[1] ? nb::handle(values[1]) : nb::handle(Py_None);
    return catch_ordinary([&] { return retrieve(cloud_url, progress); },
                          [&](nb::handle exc) -> nb::object {
                              note_request_error(exc, cloud_url);
                              log_warning(concat({nb::str("Failed to download from "), cloud_url, nb::str(" - "),
                                                  text_of(exc)}));
                              return nb::none();
                          });
}

} // namespace

void export_archive(nb::module_ &m) {
    m.attr("download_url") = make_method(
        {"download_url", "download_url", kModule,
         "Return the model directory for the archive at ``cloud_url``: an existing one as it is, "
         "otherwise the archive (reused when present and not empty, else downloaded) unpacked into "
         "``BASE_MODEL_DIR`` and deleted. When the URL names the archive's digest (``#sha256=<hex>``), "
         "an archive unlike it, downloaded or reused, is deleted, not unpacked. Failures are logged and "
         "give None. No member may replace what another model has there, nor unpack past "
         "``MAX_MODEL_BYTES`` or 64 MiB short of a full disk. Another fetch of the same model is waited "
         "for up to ``DOWNLOAD_MODEL_TIMEOUT`` s. ``progress`` is handed to download_file.",
         "(cloud_url, *, progress=None)",
         {{"cloud_url", "str"}, {"progress", "Callable[[int, int | None], object] | None"}, {"return", "str | None"}},
         vectorcall_entry<download_url_impl>});
}

} // namespace quillo::fetch
