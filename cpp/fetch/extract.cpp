// _safe_extract: member-by-member unpacking of a tar stream that refuses any
// member which would land, link or write outside the destination.
#include "fetch/fetch.hpp"
#include "fetch/paths.hpp"
#include "fetch/tar_guard.hpp"

#include "common/call_args.hpp"
#include "common/errors.hpp"
#include "common/method.hpp"

#include <climits>

namespace quillo::fetch {

void refuse_member(nb::handle name) {
    note_failure(Failure::unsafe);
    PyErr_SetObject(PyExc_Exception, concat({nb::str("Attempted path traversal in tar archive: "), name}).ptr());
    throw nb::python_error();
}

namespace {

struct OwnModel {
    std::string save_dir, model_name;
};
thread_local const OwnModel *own_model = nullptr;

// A member whose top-level entry, below the models' base directory, belongs
// to another model (or to the fetcher: archives, locks, the key record).
bool reaches_into_other_model(std::string_view name) {
    if (!own_model)
        return false;
    std::string normal = normpath(name);
    std::vector<std::string_view> parts = components(normal);
    if (parts.empty())
        return false;
    std::string top(parts.front());
    return top != own_model->model_name &&
           (top == kModelRecord || lexists(path_join(own_model->save_dir, top)));
}

bool is(nb::handle member, const char *kind) { return truth(member.attr(kind)()); }

// Beyond the name: only files, directories and links; nothing written through
// a link already on disk; links pointing inside only. Device nodes and fifos
// have no place in a model.
bool member_allowed(nb::handle member, std::string_view name, const Destination &dest) {
    bool link = is(member, "issym");
    bool hard = !link && is(member, "islnk");
    if (!link && !hard && !is(member, "isreg") && !is(member, "isdir"))
        return false;
    if (!stays_below(name) || !dest.free_of_links(name))
        return false;
    if (!link && !hard)
        return true;
    // A link never replaces what an earlier member put there.
    if (dest.occupied(name))
        return false;
    std::string target = fs_path(member.attr("linkname"));
    // Relative targets only: a link into the destination by absolute path
    // breaks as soon as the tree is moved.
    if (!target.empty() && target.front() == '/')
        return false;
    // A link the system cannot make as it stands is not skipped by the
    // library: it extracts whichever archive member carries the target's name
    // in the link's place, without any of these checks. So a symbolic link
    // needs a target the system can store, and a hard link a regular file
    // already unpacked.
    if (link)
        return !target.empty() && target.size() < PATH_MAX && dest.link_target_inside(name, target);
    return dest.name_inside(target) && stays_below(target) && dest.regular_file_at(target);
}

// The library keeps every member it has read on the archive object; one
// unpacked is not needed again, and keeping them all makes memory grow with
// the number of members.
void forget_member(nb::handle tar, nb::handle member) {
    nb::object members = tar.attr("members");
    if (!PyList_Check(members.ptr()))
        return;
    Py_ssize_t last = PyList_GET_SIZE(members.ptr()) - 1;
    if (last >= 0 && PyList_GET_ITEM(members.ptr(), last) == member.ptr() &&
        PyList_SetSlice(members.ptr(), last, last + 1, nullptr) != 0)
        throw nb::python_error();
}

nb::object safe_extract(nb::handle tar, nb::handle path) {
    std::string dest_path = fs_path(path);
    Destination dest(dest_path);
    long long unpacked = 0;
    nb::dict options;
    // The library's own "data" filter as a second line where it has one.
    if (nb::hasattr(global("tarfile"), "data_filter"))
        options["filter"] = "data";
    nb::object extract = tar.attr("extract");
    nb::object members = nb::steal(PyObject_GetIter(tar.ptr()));
    if (!members.is_valid())
        throw nb::python_error();
    while (PyObject *item = PyIter_Next(members.ptr())) {
        nb::object member = nb::steal(item);
        nb::object name = member.attr("name");
        std::string name_bytes = fs_path(name);
        if (!dest.name_inside(name_bytes) || !member_allowed(member, name_bytes, dest) ||
            reaches_into_other_model(name_bytes))
            refuse_member(name);
        if (is(member, "isreg")) {
            // Judged on the header, before a byte of the member is written.
            long long size = nb::cast<long long>(member.attr("size"));
            unpacked += size;
            long long total = unpacked + WatchedTarStream::record_bytes(), limit = max_model_bytes();
            if (limit >= 0 && total > limit)
                note_failure(Failure::unsafe);
            check_room(dest_path, size, total, "unpacking " + name_bytes);
        }
        extract(member, path, **options);
        forget_member(tar, member);
    }
    if (PyErr_Occurred())
        throw nb::python_error();
    return nb::none();
}

nb::object safe_extract_impl(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    auto values = bind_call<2>("_safe_extract", {"tar", "path"}, args, nargs, kwnames);
    require_str(values[1], "path");
    return safe_extract(values[0], values[1]);
}

} // namespace

OwnModelOnly::OwnModelOnly(const std::string &save_dir, const std::string &model_name)
    : scope_(new OwnModel{save_dir, model_name}), outer_(own_model) {
    own_model = static_cast<const OwnModel *>(scope_.get());
}

OwnModelOnly::~OwnModelOnly() { own_model = static_cast<const OwnModel *>(outer_); }

void export_extract(nb::module_ &m) {
    m.attr("_safe_extract") = make_method(
        {"_safe_extract", "_safe_extract", kModule,
         "Unpack every member of the open archive ``tar`` below ``path``, in archive order. A member "
         "that would land outside ``path``, a link pointing outside or one the system cannot make as it "
         "stands (a hard link needs a regular file unpacked before it), a member written through a "
         "link and device or fifo members raise Exception(\"Attempted path traversal in tar archive: "
         "<name>\"); members before it stay unpacked. Unpacked members are not kept on ``tar``.",
         "(tar, path)", {{"tar", "tarfile.TarFile"}, {"path", "str"}, {"return", "None"}},
         vectorcall_entry<safe_extract_impl>});
}

} // namespace quillo::fetch
